#!/usr/bin/env python3
"""Draws the application icon, a memory card with an arrow writing onto it,
and stores it as quenvory.ico (16 and 32 pixels, 32-bit colour)."""
import os
import struct
import sys


def card_pixel(x, y, size):
    """The colour (r, g, b, a) of one pixel, in a 32-unit design grid."""
    u = x * 32.0 / size + 16.0 / size
    v = y * 32.0 / size + 16.0 / size
    # The card: a slab with its top right corner cut off.
    inside = 5 <= u <= 27 and 2 <= v <= 30 and (u - 19) <= (v - 2)
    if not inside:
        return (0, 0, 0, 0)
    edge = u < 6 or u > 26 or v < 3 or v > 29 or (u - 19) > (v - 3)
    if edge:
        return (20, 40, 70, 255)
    # Gold contacts along the bottom.
    if 24 <= v <= 28 and any(c <= u <= c + 2 for c in (8, 12, 16, 20)):
        return (230, 180, 40, 255)
    # A white arrow pointing down onto the contacts.
    if (14 <= u <= 18 and 6 <= v <= 15) or (v >= 15 and v <= 21 and abs(u - 16) <= 21 - v):
        return (250, 250, 250, 255)
    return (40, 90, 160, 255)


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        for x in range(size):
            r, g, b, a = card_pixel(x, y, size)
            rows.append(struct.pack("<BBBB", b, g, r, a))
    colour = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    mask = b"\0" * (mask_row * size)
    return header + colour + mask


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "quenvory.ico")
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    data = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        data += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(out, "wb") as f:
        f.write(data + b"".join(images))


if __name__ == "__main__":
    main()
