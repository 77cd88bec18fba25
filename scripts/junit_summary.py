#!/usr/bin/env python3
"""Summarises a ctest JUnit report in one line, then one line per skipped test with the
reason the test gave (the text after GoogleTest's "Skipped"), so no skip goes unexplained.

Usage: scripts/junit_summary.py REPORT.xml
"""
import re
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
cases = root.iter("testcase")
passed = failed = 0
skipped = []
for c in cases:
    status = c.get("status", "")
    if c.find("skipped") is not None or status == "notrun" and c.find("failure") is None:
        out = "".join(e.text or "" for e in c.iter("system-out"))
        m = re.search(r"Skipped\s*\n(.*?)\n", out)
        skipped.append((c.get("name"), m.group(1).strip() if m and m.group(1).strip() else
                        "(no reason given)"))
    elif c.find("failure") is not None:
        failed += 1
    else:
        passed += 1
line = "%d tests passed" % passed
if skipped:
    line += ", %d skipped" % len(skipped)
if failed:
    line += ", %d FAILED" % failed
print(line)
for name, why in skipped:
    print("   skipped %s: %s" % (name, why))
