#!/usr/bin/env bash
# Installs what the benchmark needs besides the build, from Debian's
# packages: the peer tools, hyperfine, GNU time, npm to fetch the pairs and
# matplotlib for the chart. Kept apart from scripts/bootstrap.sh: neither
# the build nor the test command needs any of it. Idempotent.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# package: what shows that it is there (npm may come with another nodejs)
packages=(bsdiff:bsdiff xdelta3:xdelta3 zstd:zstd xz-utils:xz hyperfine:hyperfine time:/usr/bin/time npm:npm
          python3-matplotlib:/usr/lib/python3/dist-packages/matplotlib)
missing=()
for entry in "${packages[@]}"; do
  p=${entry%%:*} probe=${entry#*:}
  if ! command -v "$probe" >/dev/null && [ ! -e "$probe" ]; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap-bench: installing ${missing[*]}" >&2
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "bootstrap-bench: all set up" >&2
