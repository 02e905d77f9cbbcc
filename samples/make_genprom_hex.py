#!/usr/bin/env python3
"""Writes genprom.hex, the sample PROM image: one line per 256-byte page,
each byte as two upper-case hexadecimal digits, each line ended by CR LF.

The content is fixed (the same file on every run): a header page with a
text, pages of deterministic pseudo-random bytes, a page of 0x00 and a last
page that is mostly erased (0xFF), so that both a missing erase and a bit
that could not be cleared show up when the PROM is read back.

Usage: make_genprom_hex.py [OUTPUT]   (default: genprom.hex beside this script)
"""
import hashlib
import os
import sys

PAGE_SIZE = 256
PAGES = 48


def page_bytes(number):
    if number == 0:
        text = b"QVM7316 PROM sample image, 48 pages\x00"
        return text + bytes(range(PAGE_SIZE - len(text)))
    if number == PAGES - 2:
        return bytes(PAGE_SIZE)
    if number == PAGES - 1:
        return b"END OF IMAGE" + b"\xff" * (PAGE_SIZE - 12)
    data = b""
    counter = 0
    while len(data) < PAGE_SIZE:
        data += hashlib.sha256(b"genprom %d %d" % (number, counter)).digest()
        counter += 1
    return data[:PAGE_SIZE]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "genprom.hex")
    with open(path, "wb") as out:
        for number in range(PAGES):
            out.write(page_bytes(number).hex().upper().encode("ascii") + b"\r\n")


if __name__ == "__main__":
    main()
