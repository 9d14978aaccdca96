#!/usr/bin/env python3
"""Writes the sample card images: small and large images for trying the tool
out, and the images the checks on a real PC need.

The header holds the block count and its check word (the count less 1236),
both 32-bit little-endian; the 512-byte blocks follow it.

    examples/make-sample.py [BLOCKS] [OUTPUT]   sample.S7img, or BLOCKS of it
    examples/make-sample.py --all FOLDER        every image below, into FOLDER

    sample.S7img          400 blocks, each of which names itself, so that a
                          block that lands in the wrong place on a card shows
                          at once
    short.S7img           a header that claims 1000 blocks over 600 blocks
                          and half of one: a write warns at block 600
    large.S7img           256 MiB that compress to almost nothing: the first
                          block of every MiB names itself, the rest are zeros;
                          a write lasts long enough to be stopped, pulled or
                          signed out of
    two-partitions.S7img  a partition table with two empty 8 MiB partitions:
                          the card shows two drive letters, each of which
                          Windows offers to format
    boot-partition.S7img  a partition table whose first partition is an EFI
                          system partition, as a PC's boot disk holds

The same arguments always give the same bytes.
"""
import os
import struct
import sys

BLOCK = 512
MIB_BLOCKS = 1024 * 1024 // BLOCK


def header(blocks):
    return struct.pack("<ii", blocks, blocks - 1236)


def named_block(index):
    line = "Quenvory sample image, block %06d\n" % index
    data = (line * (BLOCK // len(line) + 1)).encode("ascii")
    return data[:BLOCK]


def sample(out, blocks=400):
    with open(out, "wb") as f:
        f.write(header(blocks))
        for k in range(blocks):
            f.write(named_block(k))


def short(out):
    # The file ends half-way through block 600 of the 1000 its header claims.
    with open(out, "wb") as f:
        f.write(header(1000))
        for k in range(600):
            f.write(named_block(k))
        f.write(named_block(600)[: BLOCK // 2])


def large(out, mib=256):
    zeros = bytes(BLOCK * (MIB_BLOCKS - 1))
    with open(out, "wb") as f:
        f.write(header(mib * MIB_BLOCKS))
        for m in range(mib):
            line = ("Quenvory large image, block %07d\n" % (m * MIB_BLOCKS)).encode("ascii")
            f.write(line + bytes(BLOCK - len(line)))
            f.write(zeros)


def partition_entry(kind, first, count):
    # No cylinder-head-sector addresses: every system since long reads the
    # block addresses alone.
    return struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", kind, b"\xfe\xff\xff", first, count)


def partitioned(out, partitions, blocks):
    """`partitions`: (type, first block, block count) of each; every block
    but the partition table's is zeros."""
    table = bytearray(BLOCK)
    # The disk's signature, by which the system tells disks apart.
    table[440:444] = struct.pack("<I", 0x51374D43)
    for k, (kind, first, count) in enumerate(partitions):
        table[446 + 16 * k : 462 + 16 * k] = partition_entry(kind, first, count)
    table[510:512] = b"\x55\xaa"
    zeros = bytes(BLOCK * MIB_BLOCKS)
    with open(out, "wb") as f:
        f.write(header(blocks))
        f.write(table)
        rest = blocks - 1
        while rest > 0:
            n = min(rest, MIB_BLOCKS)
            f.write(zeros[: n * BLOCK])
            rest -= n


FAT32_LBA = 0x0C
EFI_SYSTEM = 0xEF


def two_partitions(out):
    size = 8 * MIB_BLOCKS
    partitioned(
        out,
        [(FAT32_LBA, MIB_BLOCKS, size), (FAT32_LBA, MIB_BLOCKS + size, size)],
        MIB_BLOCKS + 2 * size,
    )


def boot_partition(out):
    partitioned(
        out,
        [(EFI_SYSTEM, MIB_BLOCKS, MIB_BLOCKS), (FAT32_LBA, 2 * MIB_BLOCKS, 8 * MIB_BLOCKS)],
        10 * MIB_BLOCKS,
    )


ALL = {
    "sample.S7img": sample,
    "short.S7img": short,
    "large.S7img": large,
    "two-partitions.S7img": two_partitions,
    "boot-partition.S7img": boot_partition,
}


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--all":
        os.makedirs(sys.argv[2], exist_ok=True)
        for name, make in ALL.items():
            make(os.path.join(sys.argv[2], name))
        return
    blocks = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "sample.S7img")
    sample(out, blocks)


if __name__ == "__main__":
    main()
