#!/usr/bin/env bash
# Runs the executable-delta fuzzer for SECONDS from seeds made by the
# engine itself.
#   run_executable_delta_fuzz.sh BUILD_DIR_OF_THE_FUZZ_TARGETS SECONDS [CORPUS_DIR]
set -euo pipefail
bin_dir=$1
seconds=$2
corpus=${3:-$bin_dir/executable_delta_corpus}
mkdir -p "$corpus"
"$bin_dir/executable_delta_fuzz_seeds" "$corpus"
exec "$bin_dir/executable_delta_fuzz" -max_total_time="$seconds" -max_len=262144 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
