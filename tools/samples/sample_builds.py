#!/usr/bin/env python3
"""Generates two builds of a sample OLK client, 3550 and 3551, for the main
job and the benchmarks: the same bytes on every run (a fixed seed).

Between the builds, as between real client builds:
- the executables' code grows by inserted and removed blocks, so every
  absolute address behind an insertion shifts (what delta tools of
  executables are judged by), and a few functions change;
- data files get changed, inserted and moved blocks;
- files are added and removed, a folder is added and one goes;
- zorp.ini names the build; script\\quandrel.code is rewritten in part;
- a large texture pack stays the same (it must cost nothing);
- a data pack is renamed with the build (data_3550.pak -> data_3551.pak)
  and a folder of music moves into data (both must cost a reference).

Usage: sample_builds.py OUT_DIR   (writes OUT_DIR/3550 and OUT_DIR/3551)
"""
import os
import random
import struct
import sys

IMAGE_BASE = 0x10000000


def code_section(rng, size, targets):
    """x86-like code: opcodes, rel32 calls and jumps, and absolute 32-bit
    addresses of data (into `targets`), as a linker lays them out."""
    out = bytearray()
    while len(out) < size:
        kind = rng.random()
        if kind < 0.15:  # call rel32
            out += b"\xe8" + struct.pack("<i", rng.randrange(-50000, 50000))
        elif kind < 0.30:  # mov eax, [abs32]
            out += b"\xa1" + struct.pack("<I", IMAGE_BASE + rng.choice(targets))
        elif kind < 0.40:  # push imm32 (an address)
            out += b"\x68" + struct.pack("<I", IMAGE_BASE + rng.choice(targets))
        else:
            n = rng.randrange(1, 7)
            out += bytes(rng.choice(b"\x8b\x89\x55\xc3\x83\x85\x0f\x33\xff\x50\x53\x56\x57\x5d")
                         for _ in range(n))
    return out[:size]


def relocate(blob, at, delta):
    """Shifts every absolute address at or past `at` by `delta`, as a new
    link of the program does after an insertion."""
    out = bytearray(blob)
    i = 0
    while i + 5 <= len(out):
        if out[i] in (0xa1, 0x68):
            (addr,) = struct.unpack_from("<I", out, i + 1)
            if IMAGE_BASE + at <= addr < IMAGE_BASE + 0x4000000:
                struct.pack_into("<I", out, i + 1, addr + delta)
            i += 5
        else:
            i += 1
    return out


def executable(rng, code_size, data_size):
    data = bytes(rng.getrandbits(8) if rng.random() < 0.3 else 0 for _ in range(data_size))
    targets = [code_size + rng.randrange(0, data_size) for _ in range(4000)]
    header = b"MZ" + bytes(62) + b"PE\0\0" + bytes(248)
    return header, code_section(rng, code_size, targets), data


def next_executable(rng, header, code, data, inserts):
    """The next build of an executable: blocks of new code inserted (every
    address behind them shifts), a few bytes changed, data grown."""
    new_code = bytearray(code)
    shift_total = 0
    for _ in range(inserts):
        at = rng.randrange(0, len(new_code))
        block = code_section(rng, rng.randrange(200, 4000), [len(code) + 16])
        new_code[at:at] = block
        shift_total += len(block)
    for _ in range(40):  # small fixes
        at = rng.randrange(0, len(new_code) - 8)
        new_code[at:at + 4] = rng.randbytes(4)
    new_code = relocate(new_code, len(code), shift_total)
    new_data = bytearray(data)
    new_data[len(new_data) // 3:len(new_data) // 3] = rng.randbytes(3000)
    return header, bytes(new_code), bytes(new_data)


def text_bundle(rng, lines):
    words = ["quest", "npc", "spawn", "loot", "dialog", "gold", "sword", "quellspire",
             "vorn", "zorp", "guard", "door", "open", "close", "if", "then", "end", "call"]
    return [" ".join(rng.choice(words) for _ in range(rng.randrange(3, 12))) + ";"
            for _ in range(lines)]


def data_file(rng, size):
    return bytes(rng.getrandbits(8) if i % 7 else 0 for i in range(size))


def write(root, rel, data):
    path = os.path.join(root, *rel.split("\\"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    out = sys.argv[1]
    old, new = os.path.join(out, "3550"), os.path.join(out, "3551")
    rng = random.Random(3550)

    # Executables: the client's engine library and the client itself.
    vorn = executable(rng, 900_000, 300_000)
    olk = executable(rng, 350_000, 120_000)
    write(old, "vorn.dll", b"".join(vorn))
    write(old, "olk.exe", b"".join(olk))
    write(new, "vorn.dll", b"".join(next_executable(rng, *vorn, inserts=6)))
    write(new, "olk.exe", b"".join(next_executable(rng, *olk, inserts=3)))

    for build, root in ((3550, old), (3551, new)):
        write(root, "zorp.ini", f"[client]\r\nbuild={build}\r\nserver=quellspire\r\n")

    # The script bundle: a fifth of its lines rewritten, some moved.
    lines = text_bundle(rng, 12000)
    write(old, "script\\quandrel.code", "\n".join(lines))
    changed = list(lines)
    for _ in range(len(changed) // 5):
        changed[rng.randrange(len(changed))] = text_bundle(rng, 1)[0]
    moved = changed[1000:2500]
    del changed[1000:2500]
    changed[6000:6000] = moved
    write(new, "script\\quandrel.code", "\n".join(changed))

    # Data: changed, inserted and moved blocks.
    for name in ("data\\maps\\north.map", "data\\maps\\south.map"):
        blob = bytearray(data_file(rng, 250_000))
        write(old, name, bytes(blob))
        blob[50_000:50_000] = rng.randbytes(8_000)
        block = blob[120_000:150_000]
        del blob[120_000:150_000]
        blob[10_000:10_000] = block
        blob[200_000:200_100] = rng.randbytes(100)
        write(new, name, bytes(blob))

    # Unchanged, added and removed files and folders.
    textures = data_file(rng, 1_000_000)
    write(old, "data\\textures.pak", textures)
    write(new, "data\\textures.pak", textures)
    write(old, "data\\maps\\retired.map", data_file(rng, 40_000))
    write(new, "data\\maps\\east.map", data_file(rng, 60_000))
    write(new, "data\\sounds\\horn.wav", rng.randbytes(30_000))
    os.makedirs(os.path.join(old, "oldlogs"), exist_ok=True)  # an empty folder that goes
    os.makedirs(os.path.join(new, "screenshots"), exist_ok=True)  # and one that comes

    # Renamed and moved files (drawn last, so the files above keep their bytes).
    pack = data_file(rng, 400_000)
    write(old, "data\\data_3550.pak", pack)
    write(new, "data\\data_3551.pak", pack)
    theme = rng.randbytes(120_000)
    write(old, "music\\theme.ogg", theme)
    write(new, "data\\music\\theme.ogg", theme)
    return 0


if __name__ == "__main__":
    sys.exit(main())
