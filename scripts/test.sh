#!/usr/bin/env bash
# All the tests: set-up, build, the native unit tests (plain and under
# ASan/UBSan), short runs of the fuzz targets, the engine under 64-bit Wine,
# the stub's checks, and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
bash scripts/build.sh native asan win32 win64

echo "== unit tests (native)"
ctest --test-dir build/native --output-on-failure -j "$(nproc)"
echo "== unit tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/native-asan --output-on-failure -j "$(nproc)"
echo "== fuzz smoke runs (every libFuzzer target for a few seconds, under ASan/UBSan)"
bash scripts/build.sh fuzz
ctest --test-dir build/fuzz -R '_fuzz_smoke$' --output-on-failure -j "$(nproc)"
awk '/^[0-9]+\/[0-9]+ Testing: /{t=$3} /^stat::number_of_executed_units:/{print "   " t ": " $2 " executions"}' \
  build/fuzz/Testing/Temporary/LastTest.log
if bash scripts/wine64-usable.sh; then
  echo "== patch engine on its Win32 file layer under 64-bit Wine"
  bash tests/engine/wine64_engine_test.sh build/win64 build/native/olkpack
  echo "== olkpack.exe under 64-bit Wine, against the Linux olkpack"
  bash tests/tools/wine64_olkpack_test.sh build/win64 build/native
else
  echo "== 64-bit Wine tests SKIPPED: /usr/lib/wine/wine64 does not run here"
fi
echo "== installer stub"
bash scripts/check-stub.sh build/win32/olkpatch.exe
if bash scripts/wine32-usable.sh; then
  echo "== patch engine DLL under Wine"
  bash tests/engine/wine_dll_test.sh build/win32 build/native/olkpack
  echo "== end-to-end tests under Wine"
  python3 tests/e2e/run_e2e.py --win32-build build/win32 --native-build build/native
else
  echo "== Wine tests SKIPPED: this machine cannot run 32-bit programs (its kernel has no IA-32"
  echo "   emulation: Wine's 32-bit loader fails with 'Exec format error'). The Windows programs"
  echo "   are built and checked above; the DLL and end-to-end tests need a machine that runs them."
fi
