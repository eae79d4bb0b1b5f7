#!/usr/bin/env bash
# Runs the archive fuzzer for SECONDS from a few small well-formed seeds.
# Usage: run_archive_fuzz.sh FUZZER SECONDS [CORPUS_DIR]
# The corpus folder keeps what the fuzzer learns between runs; findings are
# written as crash-* files into the current folder.
set -euo pipefail
fuzzer=$1
seconds=$2
corpus=${3:-$(mktemp -d)}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$corpus"

u32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }
entry() { u32 "$1"; u32 "${#2}"; printf '%s\0' "$2"; }
trailer() { u32 "$1"; printf 'EmbedFs 1.0\0'; }

# An image "MZ" with the directory right after it (D = 2).
{ printf 'MZ'; u32 0; trailer 2; } > "$corpus/seed-empty"
{ printf 'MZ'; u32 1; entry 3 ab; printf 'abc'; trailer 2; } > "$corpus/seed-one"
{
  printf 'MZ'; u32 3
  entry 12 versionInfoFile.txt; entry 4 patcheng.dll; entry 5 OLK.2.06.3550-2.06.3551.pat
  printf '3550\r\n3551\r\nMZ\x90\x00PATCH'
  trailer 2
} > "$corpus/seed-shipped"

# A signed program: PE32 headers whose data directory 4 names a certificate
# table at the end of the file, 8-byte aligned behind the archive.
python3 - "$corpus/seed-signed" <<'PY'
import struct, sys
image = bytearray(b"MZ" + bytes(62))
struct.pack_into("<I", image, 0x3C, 64)
image += b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, 0, 0, 0, 0, 224, 0x102)
optional = bytearray(224)
struct.pack_into("<H", optional, 0, 0x10B)
struct.pack_into("<I", optional, 92, 16)
image += optional
directory = len(image)
archive = struct.pack("<III", 1, 3, 2) + b"ab\0" + b"abc"
archive += struct.pack("<I", directory) + b"EmbedFs 1.0\0"
body = image + archive
body += bytes(-len(body) % 8)
table = struct.pack("<IHH", 16, 0x200, 2) + bytes(8)
struct.pack_into("<II", body, 64 + 24 + 96 + 32, len(body), len(table))
open(sys.argv[1], "wb").write(bytes(body + table))
PY

exec "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
  -dict="$here/archive.dict" "$corpus"
