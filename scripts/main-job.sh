#!/usr/bin/env bash
# The main job: set up, build everything, and run the installer end to end
# under Wine on a sample client.
#
# The patch engine is not built yet, so for now the run goes as far as the
# installer does: a sample client in a fresh Wine prefix, an installer packed
# with olkpack, the run driven like a user (boxes read and answered), and the
# transcript printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
bash scripts/build.sh native win32
bash scripts/check-stub.sh build/win32/olkpatch.exe
python3 tests/e2e/run_e2e.py --win32-build build/win32 --native-build build/native --main-job
