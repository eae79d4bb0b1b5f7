#!/usr/bin/env bash
# Runs the ELF parser's fuzzer for SECONDS from hand-made seeds.
#   run_elf_image_fuzz.sh BUILD_DIR_OF_THE_FUZZ_TARGETS SECONDS [CORPUS_DIR]
# The corpus folder keeps what the fuzzer learns between runs; findings are
# written as crash-* files into the current folder.
set -euo pipefail
bin_dir=$1
seconds=$2
corpus=${3:-$bin_dir/elf_image_corpus}
mkdir -p "$corpus"
"$bin_dir/elf_image_fuzz_seeds" "$corpus"
exec "$bin_dir/elf_image_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 "$corpus"
