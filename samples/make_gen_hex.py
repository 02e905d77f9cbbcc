#!/usr/bin/env python3
"""Writes the sample processor firmware gen.hex (Intel HEX, CR LF line ends).

The image is small so that a run against the emulated device stays quick,
and it holds what the conversion into gn.hex has to cope with: an extended
linear address record, a block of 16-byte records aligned to 16 bytes, a
block whose 16-byte records start 8 bytes off so that every eighth one runs
across a 128-byte boundary, a longer record across a boundary, a short last
record, and the end-of-file record. The data are pseudo-random but fixed, so
the output is the same on every run.

Usage: make_gen_hex.py [OUTPUT]   (default: gen.hex beside this script)
"""
import os
import sys


def record(address, rtype, data):
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = -sum(body) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


_seed = 0x2545F491


def data_bytes(count):
    """The next count bytes of a fixed xorshift32 sequence."""
    global _seed
    out = []
    for _ in range(count):
        _seed ^= _seed << 13 & 0xFFFFFFFF
        _seed ^= _seed >> 17
        _seed ^= _seed << 5 & 0xFFFFFFFF
        out.append(_seed & 0xFF)
    return out


def block(start, size, per_record=16):
    lines = []
    for offset in range(0, size, per_record):
        count = min(per_record, size - offset)
        lines.append(record(start + offset, 0x00, data_bytes(count)))
    return lines


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "gen.hex")
    lines = [record(0x0000, 0x04, [0x00, 0x00])]
    lines += block(0x0000, 0x400)           # aligned: nothing to split
    lines += block(0x0808, 0x280)           # every eighth record crosses a boundary
    lines += block(0x2070, 0x20, 0x20)      # one 32-byte record across 0x2080
    lines += block(0x7FF0, 0x15)            # ends in a short record
    lines.append(record(0x0000, 0x01, []))
    with open(path, "w", newline="") as out:
        out.write("".join(lines))


if __name__ == "__main__":
    main()
