#!/usr/bin/env python3
"""Writes OLD (SIZE pseudo-random bytes) and NEW, a build far apart from it:
short pieces of OLD taken from near the same place, each after a new byte,
so that every match is short. Usage: far_apart_pair.py OLD NEW SIZE SEED"""
import random
import sys

old_path, new_path, size, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
r = random.Random(seed)
old = bytes(r.getrandbits(8) for _ in range(size))
new, pos = bytearray(), 0
while pos < len(old) - 64:
    n = r.randint(8, 40)
    at = max(0, min(len(old) - n, pos + r.randint(-2000, 2000)))
    new += old[at:at + n] + bytes([r.getrandbits(8)])
    pos += n
open(old_path, "wb").write(old)
open(new_path, "wb").write(bytes(new))
