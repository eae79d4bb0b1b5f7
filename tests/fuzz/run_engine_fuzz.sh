#!/usr/bin/env bash
# Runs the patch data fuzzer from fresh seeds for SECONDS seconds.
#   run_engine_fuzz.sh BUILD_DIR_OF_THE_FUZZ_TARGETS SECONDS [CORPUS_DIR]
set -euo pipefail
bin_dir=$1
seconds=$2
corpus=${3:-$bin_dir/engine_corpus}
mkdir -p "$corpus"
"$bin_dir/engine_fuzz_seeds" "$corpus"
exec "$bin_dir/engine_patch_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
