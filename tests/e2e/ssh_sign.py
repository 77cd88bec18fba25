#!/usr/bin/env python3
"""Signs a kelpa archive with ssh-keygen alone, as an outside signer would, independently of
kelpa's builder: the tests check kelpa's verifier against it.

Usage: ssh_sign.py ARCHIVE KEY [--namespace NS] [--hash sha512|sha256] [--keep-slot]
Adds the signature item to an unsigned archive (recomputing its check item's CRC, which takes
the signature's text as 'A'), then signs the file minus the item's text with
`ssh-keygen -Y sign` and writes the text in. --keep-slot signs an archive that already has
the item."""
import argparse
import base64
import subprocess
import zlib

MARKER = b"kelpa+magik"
KEY = b",KELPA_SIG="
TEXT = 244


def preamble(data):
    """Offsets: start of the feature list and end of the four strings."""
    start = data.index(MARKER) + len(MARKER)
    end = start
    for _ in range(4):
        end = data.index(b"\0", end) + 1
    return start, end


def header_len(data, at):
    flg = data[at + 3]
    n = 10
    if flg & 4:  # FEXTRA
        n += 2 + int.from_bytes(data[at + n:at + n + 2], "little")
    for bit in (8, 16):  # FNAME, FCOMMENT
        if flg & bit:
            n = data.index(b"\0", at + n) - at + 1
    return n + (2 if flg & 2 else 0)


def add_item(data):
    start, end = preamble(data)
    strings = data[start:end].split(b"\0")[:4]
    features = strings[0] + KEY + b"A" * TEXT
    d = features.index(b"KELPA_CRC=") + len(b"KELPA_CRC=")
    hdr = data[end:end + header_len(data, end)] if b"NOCOMPR" not in features else b""
    covered = features[:d] + b"00000000" + features[d + 8:] + b"\0"
    covered += b"".join(s + b"\0" for s in strings[1:]) + hdr
    features = features[:d] + b"%08x" % zlib.crc32(covered) + features[d + 8:]
    return data[:start] + features + data[start + len(strings[0]):]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("archive")
    ap.add_argument("key")
    ap.add_argument("--namespace", default="archive@kelpa")
    ap.add_argument("--hash", default="sha512")
    ap.add_argument("--keep-slot", action="store_true")
    a = ap.parse_args()
    data = open(a.archive, "rb").read()
    if not a.keep_slot:
        data = add_item(data)
    start, _ = preamble(data)
    p = data.index(b"\0", start)
    v = p - TEXT
    assert data[v - len(KEY):v] == KEY
    message = data[:v] + data[p:]
    armour = subprocess.run(
        ["ssh-keygen", "-q", "-Y", "sign", "-n", a.namespace, "-f", a.key,
         "-O", "hashalg=" + a.hash],
        input=message, capture_output=True, check=True).stdout
    blob = base64.b64decode(b"".join(armour.split(b"\n")[1:-2]))
    text = base64.b64encode(blob)
    if len(text) != TEXT:  # another key type or namespace: the slot cannot hold it
        raise SystemExit("signature of %d characters" % len(text))
    open(a.archive, "wb").write(data[:v] + text + data[p:])


if __name__ == "__main__":
    main()
