#!/usr/bin/env python3
"""The large data pack case: a generated pack (3 GiB by default) and a copy
with scattered changes (5 MiB by default: blocks inserted and blocks
overwritten), diffed and applied by olkpack; prints patch bytes, build and
apply wall seconds and peak resident MiB (GNU time) as one JSON object.

  bench/large_pack.py --olkpack build/native/olkpack [--size-mib 3072]
                      [--changes-mib 5] [--work DIR] [--keep]

The files are made when the script runs (never committed) in a temporary
folder under --work, and removed at the end unless --keep is given. Needs
GNU time (/usr/bin/time) and about four times --size-mib of free disk.
"""
import argparse
import filecmp
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

CHUNK = 1 << 20
PIECE = 64 * 1024  # size of one changed block


def write_pack(path, size, seed):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(CHUNK, left)
            f.write(rng.randbytes(n))
            left -= n


def write_changed(old_path, new_path, size, changes, seed):
    """Copies the old pack with `changes` bytes of new blocks, half
    inserted, half overwriting old bytes, at places spread over the file."""
    rng = random.Random(seed)
    count = max(1, changes // PIECE)
    places = sorted(rng.sample(range(size // PIECE), count))
    with open(old_path, "rb") as src, open(new_path, "wb") as dst:
        at = 0
        for k, piece in enumerate(places):
            offset = piece * PIECE + rng.randrange(PIECE)
            copy_to(src, dst, offset - at)
            at = offset
            dst.write(rng.randbytes(PIECE))
            if k % 2:  # overwrite: skip the old bytes
                src.seek(PIECE, os.SEEK_CUR)
                at += PIECE
        copy_to(src, dst, size - at)


def copy_to(src, dst, n):
    while n > 0:
        b = src.read(min(CHUNK, n))
        if not b:
            break
        dst.write(b)
        n -= len(b)


def timed(cmd):
    """Runs cmd under GNU time; returns (wall seconds, peak MiB)."""
    res = subprocess.run(["/usr/bin/time", "-f", "%e %M"] + cmd, capture_output=True, text=True)
    if res.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), res.stderr))
    wall, kib = res.stderr.strip().splitlines()[-1].split()
    return float(wall), int(kib) / 1024.0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--olkpack", required=True)
    ap.add_argument("--size-mib", type=int, default=3072)
    ap.add_argument("--changes-mib", type=float, default=5)
    ap.add_argument("--work", default=None)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    olkpack = os.path.abspath(args.olkpack)
    size = args.size_mib << 20
    if args.work:
        os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="large-pack-", dir=args.work)
    try:
        old_dir, new_dir = os.path.join(work, "old"), os.path.join(work, "new")
        os.makedirs(old_dir)
        os.makedirs(new_dir)
        old_pack, new_pack = os.path.join(old_dir, "data.pak"), os.path.join(new_dir, "data.pak")
        write_pack(old_pack, size, 1)
        write_changed(old_pack, new_pack, size, int(args.changes_mib * (1 << 20)), 2)
        patch = os.path.join(work, "p.pat")
        build_wall, build_peak = timed([olkpack, "diff", "--quiet", "-o", patch, old_dir, new_dir])
        # Applied to the old folder itself: the pack is not copied again.
        apply_wall, apply_peak = timed([olkpack, "apply", "--quiet", old_dir, patch])
        same = filecmp.cmp(old_pack, new_pack, shallow=False)
        print(json.dumps({
            "pack_mib": args.size_mib,
            "changed_mib": args.changes_mib,
            "patch_bytes": os.path.getsize(patch),
            "build_wall_s": build_wall,
            "build_peak_mib": round(build_peak, 1),
            "apply_wall_s": apply_wall,
            "apply_peak_mib": round(apply_peak, 1),
            "applied_equals_new": same,
        }))
        if not same:
            sys.exit(1)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
