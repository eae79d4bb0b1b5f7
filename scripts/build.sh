#!/usr/bin/env bash
# Builds everything from one tree:
#   build/native       host tools (olkpack) and the unit tests
#   build/native-asan  the unit tests again under AddressSanitizer and UBSan
#   build/win32        olkpatch.exe and the Win32 test programs (i686)
#   build/win64        olkpack.exe, and the engine's probes for tests under
#                      64-bit Wine (x86_64)
# Usage: scripts/build.sh [native|asan|win32|win64|fuzz]...   (default: native asan win32)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# ccache, when present, keeps compiled objects between clean clones (CI
# builds a fresh clone each time on the same machine).
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths below the clone count as relative, so a clone in another folder
  # still finds its objects.
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi
configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native asan win32)
for t in "${targets[@]}"; do
  case "$t" in
    native)
      configure build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
      cmake --build build/native -j "$jobs" ;;
    asan)
      configure build/native-asan -DCMAKE_BUILD_TYPE=Debug -DOLK_SANITIZE=ON
      cmake --build build/native-asan -j "$jobs" ;;
    win32)
      bash scripts/win32-deps.sh  # the engine's libraries, cross-built once
      configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
      cmake --build build/win32 -j "$jobs" ;;
    win64)
      bash scripts/win32-deps.sh --arch x86_64
      # A build made before the toolchain took the POSIX threads compilers
      # starts afresh (CMake keeps the compilers it first found).
      grep -qs 'CMAKE_CXX_COMPILER_AR:.*-posix' build/win64/CMakeCache.txt || rm -rf build/win64
      configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
      cmake --build build/win64 -j "$jobs" --target olkpack engine_probe engine_probe_commit_pause fs_win32_probe ;;
    fuzz)
      # OLK_SANITIZE: AddressSanitizer and UBSan watch the libraries' own
      # reads too, not only the fuzz targets' files.
      configure build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOLK_FUZZ=ON -DOLK_SANITIZE=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
      cmake --build build/fuzz -j "$jobs" ;;
    *) echo "build.sh: unknown build '$t'" >&2; exit 2 ;;
  esac
done
