#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's packages.
# Idempotent: a second run only checks that everything is there.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

packages=(
  build-essential cmake ninja-build pkg-config ccache
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  libgtest-dev libgmock-dev libbenchmark-dev
  libzstd-dev liblzma-dev libdivsufsort-dev libxxhash-dev zstd xz-utils dpkg-dev
  bsdiff xdelta3
  osslsigncode openssl libcli11-dev nlohmann-json3-dev
  python3 unicode-data
  wine wine32:i386 wine64 xvfb xauth x11-apps imagemagick
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ "${need_update:-0}" = 1 ]; then
  echo "bootstrap: installing ${missing[*]:-nothing new}" >&2
  $SUDO apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

# patcheng.dll links zstd's and liblzma's decoders, cross-built for
# i686-w64-mingw32 from Debian's own source packages. (Their x86_64 build,
# with the encoders and libdivsufsort for olkpack.exe and the engine's tests
# under 64-bit Wine, is made by `build.sh win64`.)
bash "$(dirname "$0")/win32-deps.sh"

echo "bootstrap: all set up" >&2
