#!/usr/bin/env bash
# Cross-builds, for Windows, what the engine links statically, from
# Debian's own source packages: zstd's and liblzma's decoders, and
# xxHash's header (used inline).
#   scripts/win32-deps.sh [--arch i686|x86_64] [PREFIX]
# i686 (the default) is for patcheng.dll and goes to build/deps-win32;
# it keeps the decoders only, so that the DLL stays small.
# x86_64 is for olkpack.exe and the engine's tests under 64-bit Wine and
# goes to build/deps-win64: the encoders too, libdivsufsort (the builder's
# suffix sorting), and the headers of CLI11 and nlohmann-json (copied from
# Debian's installed -dev packages). Each holds include/ and lib/.
# Needs root (or sudo) for the deb-src entry; idempotent.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
arch=i686
if [ "${1:-}" = --arch ]; then arch=${2:?win32-deps: --arch needs i686 or x86_64}; shift 2; fi
case "$arch" in
  i686) name=deps-win32 ;;
  x86_64) name=deps-win64 ;;
  *) echo "win32-deps: unknown architecture '$arch' (i686 or x86_64)" >&2; exit 2 ;;
esac
prefix=${1:-$root/build/$name}
work=$root/build/$name-src
# The stamp's number changes with what the prefix holds, so that an older
# prefix is built again.
case "$arch" in
  i686) stamp=$prefix/.built-1 ;;
  x86_64) stamp=$prefix/.built-2 ;;
esac
[ -f "$stamp" ] && exit 0

# A copy of the finished prefix is kept outside the tree, keyed by this
# script's own contents, so that a fresh clone (as CI makes one for every
# run) does not cross-build the same libraries again.
cache=${OLK_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/olk-deps}/$name-$(sha256sum "$root/scripts/win32-deps.sh" | cut -c1-16)
if [ -f "$cache/$(basename "$stamp")" ]; then
  mkdir -p "$prefix" && cp -a "$cache/." "$prefix/"
  echo "win32-deps: $arch taken from $cache" >&2
  exit 0
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
host=$arch-w64-mingw32

# Source packages come from the same archive as the binary ones.
# (The main archive only: the security archive's mirror serves no sources.)
src_list=/etc/apt/sources.list.d/olk-deb-src.sources
if [ ! -f "$src_list" ]; then
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    | $SUDO tee "$src_list" >/dev/null
  $SUDO apt-get update -qq
fi
command -v dpkg-source >/dev/null || $SUDO apt-get install -y -qq dpkg-dev >/dev/null

rm -rf "$work"
mkdir -p "$work" "$prefix/include" "$prefix/lib"
cd "$work"
sources="libzstd xz-utils xxhash"
[ "$arch" = x86_64 ] && sources="$sources libdivsufsort"
apt-get source -qq --download-only $sources 2>&1 | grep -v '^W: Download is performed unsandboxed' || true
for dsc in *.dsc; do dpkg-source -x --skip-patches "$dsc" >/dev/null 2>&1 || dpkg-source -x "$dsc" >/dev/null; done

# zstd: no legacy formats, no threads; the decoder only for i686.
zstd_dir=$(find . -maxdepth 1 -type d -name 'libzstd-*' | head -n1)
zstd_compression=0
[ "$arch" = x86_64 ] && zstd_compression=1
make -C "$zstd_dir/lib" -j"$(nproc)" libzstd.a CC=$host-gcc AR=$host-ar \
  ZSTD_LIB_COMPRESSION=$zstd_compression ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0 ZSTD_LEGACY_SUPPORT=0 \
  ZSTD_NO_ASM=1 MOREFLAGS="-O2 -DZSTD_MULTITHREAD=0" >/dev/null
cp "$zstd_dir/lib/libzstd.a" "$prefix/lib/"
cp "$zstd_dir/lib/zstd.h" "$zstd_dir/lib/zstd_errors.h" "$prefix/include/"

# liblzma: LZMA1/2 only, no threads, no tools; decoders only for i686.
xz_dir=$(find . -maxdepth 1 -type d -name 'xz-utils-*' | head -n1)
xz_encoders=--disable-encoders
[ "$arch" = x86_64 ] && xz_encoders=--enable-encoders=lzma1,lzma2
(cd "$xz_dir" &&
  ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static --disable-threads \
    $xz_encoders --enable-decoders=lzma1,lzma2 --disable-xz --disable-xzdec --disable-lzmadec \
    --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
    --disable-microlzma --disable-lzip-decoder CFLAGS=-O2 >/dev/null &&
  make -j"$(nproc)" -C src/liblzma >/dev/null &&
  make -C src/liblzma install >/dev/null)

# xxHash: header only (the engine includes it with XXH_INLINE_ALL).
xxh_dir=$(find . -maxdepth 1 -type d -name 'xxhash-*' | head -n1)
cp "$xxh_dir/xxhash.h" "$prefix/include/"

if [ "$arch" = x86_64 ]; then
  # libdivsufsort: the 32-bit library only (the builder sorts with
  # saidx_t), no OpenMP, no examples.
  sa_dir=$(find . -maxdepth 1 -type d -name 'libdivsufsort-*' | head -n1)
  cmake -S "$sa_dir" -B "$sa_dir/build-$arch" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=$host-gcc \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DIVSUFSORT64=OFF \
    -DUSE_OPENMP=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$sa_dir/build-$arch" -j"$(nproc)" >/dev/null
  cmake --install "$sa_dir/build-$arch" >/dev/null

  # Header-only libraries of olkpack, as Debian installs them.
  for header in /usr/include/CLI /usr/include/nlohmann; do
    [ -d "$header" ] || { echo "win32-deps: $header missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
    cp -r "$header" "$prefix/include/"
  done
fi

touch "$stamp"
mkdir -p "$cache" && cp -a "$prefix/." "$cache/" || echo "win32-deps: could not keep a copy in $cache" >&2
echo "win32-deps: $arch ready in $prefix" >&2
