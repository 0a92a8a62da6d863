#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the sample firmware set into samples/firmware/.

Three Intel HEX images, named as the unit's firmware files are named, with
16-byte data records, extended linear address records where the address needs
them, correct checksums and the end record. The bytes are pseudo-random but
deterministic: the same script always writes the same files. Together they
make 3,000 lines for an update (the MIDI image is sent twice), about half a
minute at 100 lines per second.
"""
import argparse
import os

# name, lines up to and including the end record, start address, seed
IMAGES = [
    ('TQR7_GPIO_0-3-1_151102.hex', 400, 0x00000000, 1),
    ('TQR7_MIDI_0-2-0_151102.hex', 500, 0x00004000, 2),
    ('TQR7_MAIN_2-1-4_160315.hex', 1600, 0x0800F000, 3),
]


def record(rtype, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ':' + (body + bytes([checksum])).hex().upper()


def image(line_count, address, seed):
    state = (0x2545F491 + seed * 2654435761) & 0xFFFFFFFF
    lines = []
    upper = None
    while len(lines) < line_count - 1:
        if address >> 16 != upper:
            upper = address >> 16
            lines.append(record(4, 0, [(upper >> 8) & 0xFF, upper & 0xFF]))
            continue
        data = []
        for _ in range(16):
            state = (state * 1103515245 + 12345) & 0xFFFFFFFF
            data.append(state >> 24)
        lines.append(record(0, address & 0xFFFF, data))
        address += 16
    lines.append(record(1, 0, []))
    return lines


def main():
    # An argument it does not understand ends it with its usage and exit 2.
    parser = argparse.ArgumentParser(prog='scripts/make-firmware.py',
                                     description=__doc__.splitlines()[0])
    parser.add_argument('out', nargs='?', help='folder to write to (default: samples/firmware)',
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                             '..', 'samples', 'firmware'))
    out = parser.parse_args().out
    os.makedirs(out, exist_ok=True)
    for name, count, address, seed in IMAGES:
        lines = image(count, address, seed)
        assert len(lines) == count
        with open(os.path.join(out, name), 'w', newline='\n') as f:
            f.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
