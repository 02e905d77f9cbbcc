#!/usr/bin/env python3
"""Writes the sample gate-array image GEN.dat.

The device asks for the image in 32-byte blocks and the updater takes a
silence as the end of verification only when its last progress sample (one
every 100 answers) lies at 99 % or beyond. With 1000 blocks the 1000th and
the 2000th answer are both the last block, so the sample passes; lengths
such as 130 blocks end with USB_TIMED_OUT on the same device.

The bytes are a fixed pseudo-random sequence, so every byte value occurs
and the file is the same on every machine.

Usage: make_gen_dat.py [OUTPUT [LENGTH]]   (default: GEN.dat beside this script, 32000)
"""
import os
import sys


def image(length):
    data = bytearray(length)
    state = 0x2545F491
    for i in range(length):
        # xorshift32
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        data[i] = state >> 24
    # A recognisable start: the first answer begins "001FA5".
    data[0:3] = bytes((0x00, 0x1F, 0xA5))[: min(3, length)]
    return bytes(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "GEN.dat")
    length = int(sys.argv[2]) if len(sys.argv) > 2 else 32000
    with open(out, "wb") as f:
        f.write(image(length))


if __name__ == "__main__":
    main()
