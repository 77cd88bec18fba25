#!/usr/bin/env python3
"""Writes the seed corpora of the decoding fuzz targets: members from the gzip command at
several levels, raw streams from python's zlib with every strategy, hand-built damaged
streams, and kelpa's own members. Run from the source tree with the built kelpa as argv[1]
(optional). The outside tools are used as black-box producers of bytes only."""
import os, random, struct, subprocess, sys, zlib

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
rng = random.Random(1)
text = b"".join(rng.choice([b"the ", b"archive ", b"window ", b"match\n", b"block ", b"{ } "])
                for _ in range(400))[:2000]
binary = bytes(rng.randrange(256) for _ in range(600))
runs = b"a" * 300 + b"ab" * 200 + bytes(range(256))
samples = {"text": text, "bin": binary, "runs": runs, "empty": b"", "one": b"x"}


def put(target, name, data):
    d = os.path.join(root, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def raw(data, level=9, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
    return c.compress(data) + c.flush()


def member(body, data, flags=0, extra=b""):
    return (b"\x1f\x8b\x08" + bytes([flags]) + b"\0\0\0\0\0\3" + extra + body +
            struct.pack("<II", zlib.crc32(data), len(data) & 0xffffffff))


def bits(fields):
    """fields: (value, width) pairs, LSB first; returns bytes."""
    acc = n = 0
    for v, w in fields:
        acc |= v << n
        n += w
    return acc.to_bytes((n + 7) // 8, "little")


# Hand-built damaged raw streams (RFC 1951 3.2.3-3.2.7).
bad = {
    "btype3": bits([(1, 1), (3, 2)]),
    "stored_nlen_bad": bits([(1, 1), (0, 2), (0, 5), (5, 16), (5, 16)]) + b"hello",
    "stored_short": bits([(1, 1), (0, 2), (0, 5), (100, 16), (0xffff ^ 100, 16)]) + b"abc",
    "fixed_sym286": bits([(1, 1), (1, 2), (0b00011000, 8)]),  # reversed code of 286: 11000110
    "dyn_nl288": bits([(1, 1), (2, 2), (31, 5), (0, 5), (15, 4)] + [(4, 3)] * 19),
    "dyn_nd32": bits([(1, 1), (2, 2), (0, 5), (31, 5), (15, 4)] + [(4, 3)] * 19),
    "dyn_oversub": bits([(1, 1), (2, 2), (0, 5), (0, 5), (15, 4)] + [(1, 3)] * 19),
    "dyn_incomplete_bl": bits([(1, 1), (2, 2), (0, 5), (0, 5), (15, 4)] + [(5, 3)] * 19),
    "dyn_all_zero": bits([(1, 1), (2, 2), (0, 5), (0, 5), (15, 4)] + [(0, 3)] * 19),
}


def fixed_code(sym):
    if sym < 144: c, l = 0x30 + sym, 8
    elif sym < 256: c, l = 0x190 + sym - 144, 9
    elif sym < 280: c, l = sym - 256, 7
    else: c, l = 0xc0 + sym - 280, 8
    return int(format(c, "0%db" % l)[::-1], 2), l


# Fixed block: 'a', then length 3 at distance 24577+ (code 29) before the start, end.
bad["dist_far"] = bits([(1, 1), (1, 2), fixed_code(ord("a")), fixed_code(257),
                        (int(format(29, "05b")[::-1], 2), 5), (0, 13), fixed_code(256)])
bad["fixed_dist30"] = bits([(1, 1), (1, 2), fixed_code(ord("a")), fixed_code(257),
                            (int(format(30, "05b")[::-1], 2), 5), fixed_code(256)])

streams = {}
for sname, data in samples.items():
    for lv in (1, 6, 9):
        streams["py_l%d_%s" % (lv, sname)] = (raw(data, lv), data)
    for stn, st in (("filtered", zlib.Z_FILTERED), ("huffman", zlib.Z_HUFFMAN_ONLY),
                    ("rle", zlib.Z_RLE), ("fixed", zlib.Z_FIXED)):
        if sname in ("text", "runs"):
            streams["py_%s_%s" % (stn, sname)] = (raw(data, 9, st), data)
streams["py_stored_text"] = (raw(text, 0), text)

for name, (body, data) in streams.items():
    put("fuzz_inflate", name, body)
for name, body in bad.items():
    put("fuzz_inflate", name, body)
    put("fuzz_unzip", "bad_" + name, member(body, b"a"))

# Members from the gzip command.
for lv in (1, 6, 9):
    for sname in ("text", "runs", "empty"):
        out = subprocess.run(["gzip", "-%d" % lv, "-c"], input=samples[sname],
                             capture_output=True, check=True).stdout
        put("fuzz_unzip", "gzip_l%d_%s" % (lv, sname), out)
for name in ("py_rle_runs", "py_huffman_text", "py_stored_text", "py_l9_bin"):
    body, data = streams[name]
    put("fuzz_unzip", name, member(body, data))
good = member(streams["py_l9_text"][0], text)
put("fuzz_unzip", "named", member(streams["py_l6_runs"][0], runs, 0x08, b"runs.txt\0"))
put("fuzz_unzip", "crc_flipped", good[:-8] + bytes([good[-8] ^ 1]) + good[-7:])
put("fuzz_unzip", "len_flipped", good[:-1] + bytes([good[-1] ^ 0x80]))
put("fuzz_unzip", "cut_trailer", good[:-3])
if len(sys.argv) > 1:
    # kelpa's own members: cut out of an archive built by the given kelpa.
    for lv_name, data in (("text", text), ("bin", binary)):
        p = os.path.join(root, "..", lv_name + ".seed")
        with open(p, "wb") as f:
            f.write(data)
        arc = subprocess.run([sys.argv[1], p], capture_output=True, check=True).stdout
        os.remove(p)
        at = arc.index(b"\x1f\x8b\x08\x08", arc.rindex(b"kelpa+" + b"magik"))
        put("fuzz_unzip", "kelpa_" + lv_name, arc[at:])
        put("fuzz_preamble", "kelpa_" + lv_name, arc[arc.rindex(b"kelpa+" + b"magik") - 64:])
        # Listing: first byte 1 = verbose. (signed_archive and signed_archive_verbose, first
        # byte 2 and 3, are tiny archives signed by tests/e2e/ssh_sign.py with the key whose
        # public half fuzz_listing.cpp holds; its secret half was not kept.)
        put("fuzz_listing", "kelpa_" + lv_name, b"\1" + arc[arc.rindex(b"kelpa+" + b"magik") - 64:])

# Header reader: first byte is the mode, then a header.
for mode in (0, 1, 2, 4):
    put("fuzz_header", "plain_%d" % mode, bytes([mode]) + good[:32])
put("fuzz_header", "all_flags",
    b"\0\x1f\x8b\x08\x1e\1\2\3\4\0\3" + b"\1\0" + b"\4\0abcd" + b"../a b;c\0" + b"comment\0")
put("fuzz_header", "name_1023", b"\0\x1f\x8b\x08\x08\0\0\0\0\0\3" + b"n" * 1023 + b"\0")
put("fuzz_header", "name_1024", b"\0\x1f\x8b\x08\x08\0\0\0\0\0\3" + b"n" * 1024 + b"\0")
put("fuzz_header", "name_dotdot", b"\0\x1f\x8b\x08\x08\0\0\0\0\0\3" + b"dir/..\0")
put("fuzz_header", "old_magic", b"\0\x1f\x9e\x08\0\0\0\0\0\0\3")
put("fuzz_header", "method9", b"\0\x1f\x8b\x09\0\0\0\0\0\0\3")
put("fuzz_header", "zip_magic", b"\0PK\3\4\x14\0\0\0\x08\0")
put("fuzz_header", "bzip2_magic", b"\0BZh91AY&SY")

# Round trip: plain inputs.
for sname, data in samples.items():
    put("fuzz_roundtrip", sname, data)
put("fuzz_roundtrip", "long_runs", b"\0" * 3000 + b"z" * 5 + b"\0" * 4000)

# Feature lists: list NUL key.
for name, data in {
    "typical": b"VFYFS=/opt,FSSUB=pkg,NOCOMPR,NAME=x.tar\0NAME=",
    "quoted": b"A=\"x,y\",B=\\,c, C =1 \0B=",
    "bare": b"FLAG,=novalue,,  ,KV_VENDOR=acme\0KV_",
    "long_item": b"K=" + b"v" * 400 + b",NAME=z\0K=",
}.items():
    put("fuzz_features", name, data)

# Encoder against the plain match finder: byte 0 picks the level (bit 1: 9), the input
# routine's pieces (bits 5-7) and, with bit 0, a program of 4-byte steps for generate
# (op % 5, 16-bit x, y): 0 noise, 1 copy, 2 pad to x mod 32768, 3 repeat a unit, 4 chain.
def step(op, x, y):
    return bytes([op]) + struct.pack("<H", x) + bytes([y])


put("fuzz_deflate_plain", "text", b"\x02" + text)
put("fuzz_deflate_plain", "runs_pieces_of_7", bytes([0xa2]) + runs)
# Zeros to 22950 + 32768, then text repeated at a short distance: maximal matches cross the
# first slide.
put("fuzz_deflate_plain", "maximal_across_slide",
    b"\x03" + step(2, 32767, 0) + step(2, 22950, 0) + step(0, 299, 2) + step(3, 299, 255))
# Far more than 4096 strings sharing 3 bytes, then a window slide.
put("fuzz_deflate_plain", "long_chain",
    b"\x03" + step(4, 5000, 0x41) + step(0, 8191, 3) + step(4, 3000, 0x41) + step(2, 0, 1))
# Copies about the largest distance and short copies beyond 4096.
put("fuzz_deflate_plain", "far_copies",
    b"\x03" + step(0, 8191, 3) * 5 + step(1, 20, 0x80) + step(1, 20, 0x87) +
    step(1, 4095, 0) + step(1, 4096, 0) + step(0, 100, 3))
# Inputs read one byte at a time, ending past the first slide.
put("fuzz_deflate_plain", "pieces_of_1",
    bytes([0x83]) + step(0, 8191, 1) * 9 + step(3, 100, 20) + step(2, 32000, 1))
# A repeated unit holding a run of one letter: maximal matches end inside the run, a byte
# read at a time, and (after zeros to 314) just before the first slide.
run_unit = step(0, 99, 1) + step(3, 0, 0) + step(0, 99, 1)
put("fuzz_deflate_plain", "run_unit_pieces_of_1", bytes([0x83]) + run_unit + step(3, 457, 60))
put("fuzz_deflate_plain", "run_unit_across_slide",
    b"\x03" + step(2, 314, 0) + run_unit + step(3, 457, 255))
