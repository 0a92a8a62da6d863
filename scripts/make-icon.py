#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws Wendrix's icon: res/wendrix.ico, res/wendrix.png and res/wendrix-16.png.

The .ico holds a 32x32 and a 16x16 image, both 32 bits per pixel, as
uncompressed BMP entries (5,430 bytes in all). The picture: a teal tile with a
white arrow pointing down into a chip, the firmware going into the unit.
The PNGs are the same two pictures for desktop entries (the Debian package
puts them in the icon theme at both sizes). Deterministic: the same script
always writes the same bytes.
"""
import argparse
import os
import struct
import zlib

TEAL = (0x1F, 0x7A, 0x8C, 0xFF)
DARK = (0x12, 0x4E, 0x5A, 0xFF)
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
CHIP = (0xF2, 0xB1, 0x34, 0xFF)
CLEAR = (0, 0, 0, 0)


def draw(size):
    """Returns rows top to bottom of (r, g, b, a) pixels."""
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]
    radius = 5 * s
    for y in range(size):
        for x in range(size):
            # rounded tile with a one-pixel darker rim
            cx = min(max(x + 0.5, radius), size - radius)
            cy = min(max(y + 0.5, radius), size - radius)
            d = ((x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2) ** 0.5
            if d <= radius:
                px[y][x] = DARK if d > radius - 1.2 else TEAL
    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                px[y][x] = colour
    # arrow shaft and head
    rect(14, 4, 18, 13, WHITE)
    for row in range(7):
        half = 7 - row
        rect(16 - half, 13 + row, 16 + half, 14 + row, WHITE)
    # the chip with its pins
    rect(8, 21, 24, 27, CHIP)
    for pin in range(9, 24, 3):
        rect(pin, 27, pin + 1.5, 29, WHITE)
    return px


def bmp_entry(size):
    rows = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4  # AND mask, all zero: alpha decides
    return header + pixels + bytes(mask_row * size)


def png(size):
    rows = draw(size)
    raw = b''.join(b'\0' + bytes(c for pixel in row for c in pixel) for row in rows)
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header)
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def main():
    # An argument it does not understand ends it with its usage and exit 2.
    parser = argparse.ArgumentParser(prog='scripts/make-icon.py',
                                     description=__doc__.splitlines()[0])
    parser.add_argument('res', nargs='?', help='folder to write to (default: res)',
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'res'))
    res = parser.parse_args().res
    for name, size in (('wendrix.png', 32), ('wendrix-16.png', 16)):
        with open(os.path.join(res, name), 'wb') as f:
            f.write(png(size))
    out = os.path.join(res, 'wendrix.ico')
    images = [bmp_entry(32), bmp_entry(16)]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip((32, 16), images):
        data += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    data += b''.join(images)
    assert len(data) == 5430, len(data)
    with open(out, 'wb') as f:
        f.write(data)


if __name__ == '__main__':
    main()
