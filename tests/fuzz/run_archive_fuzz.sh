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

exec "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
  -dict="$here/archive.dict" "$corpus"
