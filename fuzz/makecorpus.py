#!/usr/bin/env python3
"""Writes the seed corpus of mavrin_fuzz into fuzz/corpus/: small well-formed
patches of both versions, with and without a FILE_ID.DIZ trailer, each behind
the seven input bytes that choose the image and the answers (see the top of
mavrin_fuzz.cpp)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCKPOS = 16 * 2352 + 32      # the image's bytes compared with the validation block
BLOCKLEN = 1024

SMALL, NEAREND, NEARSTART, STORED = 0, 1, 2, 3
WITHBLOCK = 4


def prefix(how, arg, seed=1, answers=b""):
    return bytes([how, arg, seed, len(answers)]) + answers.ljust(3, b"\0")


def header(method, desc):
    return b"ZEM\0\0" + bytes([method]) + desc.ljust(50, b"\0")


def record(pos, data):
    return struct.pack("<iB", pos, len(data)) + data


def v2(desc, size, block=b"", records=b"", diz=None, dizlen=None):
    p = header(1, desc) + struct.pack("<i", size) + block.ljust(BLOCKLEN, b"\0")
    p += records
    if diz is not None:
        n = len(diz) if dizlen is None else dizlen
        p += b"#" * 18 + diz + b"#" * 12 + b".DIZ" + struct.pack("<i", n)
    return p


def main():
    recs = record(16, b"ABC") + record(0, b"") + record(30, b"\x01\x02") + record(32, b"tail")
    seeds = {
        "v1-one-record": prefix(SMALL, 32) + header(0, b"example") + record(16, b"ABC"),
        "v1-records": prefix(SMALL, 32) + header(0, b"records") + recs,
        "v1-empty": prefix(SMALL, 8) + header(0, b"empty"),
        "v1-past-end": prefix(SMALL, 4) + header(0, b"far") + record(200, b"xy") + record(5000, b"z"),
        "v2-plain": prefix(STORED | WITHBLOCK, 0)
        + v2(b"v2", BLOCKPOS + BLOCKLEN + 16, b"block", recs + record(BLOCKPOS, b"\0\0")),
        "v2-diz": prefix(STORED | WITHBLOCK, 0)
        + v2(b"v2 diz", BLOCKPOS + BLOCKLEN, b"blk", recs, b"fuzz seed text-------"),
        "v2-diz-short-len": prefix(STORED | WITHBLOCK, 0)
        + v2(b"len 3", BLOCKPOS + 512, b"", record(1, b"q"), b"abc"),
        "v2-wrong-image-yes": prefix(NEAREND, 128, 7, b"yY")
        + v2(b"asks twice", 1000, b"other", recs, b"accepted-------"),
        "v2-wrong-image-no": prefix(NEARSTART, 100, 3, b"n")
        + v2(b"refused", 1000, b"", recs),
        "v2-small-image": prefix(SMALL, 40, 9, b"y")
        + v2(b"small", 40, b"", record(39, b"!"), b"t-------"),
    }
    out = os.path.join(HERE, "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
