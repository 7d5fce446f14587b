#!/usr/bin/env python3
"""Writes the placeholder firmware image: 60800 bytes, the same every run.

It starts with every byte value once (so the SLIP escapes and the CRC table
see all of them), then fills the rest from a 32-bit linear congruential
generator, so chunks differ and a misplaced chunk shows in a flash compare.
"""
import sys

SIZE = 60800


def image() -> bytes:
    out = bytearray(range(256))
    x = 0x5A4D4B21
    while len(out) < SIZE:
        x = (x * 1664525 + 1013904223) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


if __name__ == "__main__":
    path = sys.argv[1] if len(sys.argv) > 1 else "image.bin"
    with open(path, "wb") as f:
        f.write(image())
