#!/usr/bin/env python3
"""Writes sample.S7img: a small card image for trying the tool out.

The header holds the block count and its check word (the count less 1236),
both 32-bit little-endian; every 512-byte block after it names itself, so a
block that lands in the wrong place on a card shows at once.

    examples/make-sample.py [BLOCKS] [OUTPUT]
"""
import os
import struct
import sys


def block(index):
    line = "Quenvory sample image, block %06d\n" % index
    data = (line * (512 // len(line) + 1)).encode("ascii")
    return data[:512]


def main():
    blocks = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "sample.S7img")
    with open(out, "wb") as f:
        f.write(struct.pack("<ii", blocks, blocks - 1236))
        for k in range(blocks):
            f.write(block(k))


if __name__ == "__main__":
    main()
