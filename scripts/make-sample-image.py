#!/usr/bin/env python3
"""Writes the demo's sample firmware image: an operating-system image for a 46xx device as
an H86 (Intel HEX) file.

The image is made up here, byte for byte, from a fixed seed, so every run writes the same
file. It looks enough like an operating system for the tool: the operating-system signature
word 0xA55A at 0x200, a name block, code-like filler, an unused (erased) stretch in the
middle, and data up to about 0x4C000, which puts its end in sector 7 (end sector 8).

    scripts/make-sample-image.py OUTPUT.h86
"""
import argparse
import random
import struct
import sys

IMAGE_END = 0x4C000            # exclusive end of the data
GAP = (0x30000, 0x34000)       # left erased, like an unused area of a real image
SIGNATURE_OFFSET = 0x200
SIGNATURE = 0xA55A
RECORD = 32


def build_image():
    rng = random.Random(0x46A5)
    image = bytearray(rng.getrandbits(8) for _ in range(IMAGE_END))
    # A jump-table-like start, then the signature and a readable name block.
    for i in range(0, 0x200, 4):
        image[i:i + 4] = struct.pack('<HH', 0xEA00 | (i >> 2), 0x0010 + i)
    image[SIGNATURE_OFFSET:SIGNATURE_OFFSET + 2] = struct.pack('<H', SIGNATURE)
    name = b'VMC 46xx sample operating system (simulated device demo) V6.0\0'
    image[0x210:0x210 + len(name)] = name
    image[GAP[0]:GAP[1]] = b'\xff' * (GAP[1] - GAP[0])
    # The last word must hold data so that the image ends where intended.
    image[IMAGE_END - 2:IMAGE_END] = b'\x12\x34'
    return bytes(image)


def record(offset, rtype, data):
    body = bytes([len(data), (offset >> 8) & 0xFF, offset & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return ':' + (body + bytes([checksum])).hex().upper()


def to_h86(image):
    lines = []
    upper = -1
    for address in range(0, len(image), RECORD):
        chunk = image[address:address + RECORD]
        if chunk == b'\xff' * len(chunk):
            continue            # erased: nothing to load
        if address >> 16 != upper:
            upper = address >> 16
            lines.append(record(0, 0x04, struct.pack('>H', upper)))
        lines.append(record(address & 0xFFFF, 0x00, chunk))
    lines.append(record(0, 0x01, b''))
    return '\r\n'.join(lines) + '\r\n'


def main():
    parser = argparse.ArgumentParser(
        prog='make-sample-image.py', description=__doc__.split('\n\n')[0].replace('\n', ' '),
        epilog='A file name that starts with "-" comes after "--".')
    parser.add_argument('output', metavar='OUTPUT.h86', help='the H86 file to write')
    # argparse says what is wrong and exits 2 for a missing name or an unknown option, and
    # prints the usage for -h and --help, writing no file for any of them.
    args = parser.parse_args()
    with open(args.output, 'w', newline='') as out:
        out.write(to_h86(build_image()))
    return 0


if __name__ == '__main__':
    sys.exit(main())
