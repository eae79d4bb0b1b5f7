#!/usr/bin/env bash
# The main job: set up, build everything, and run the installer end to end
# under Wine on a sample client.
#
# Until the patch engine ships inside the installer, the run goes as far as
# the installer does with a stand-in engine: installers packed with olkpack,
# each run driven like a user in a fresh Wine prefix (boxes and dialogs read
# and answered), the outcome checked.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
bash scripts/build.sh native win32
bash scripts/check-stub.sh build/win32/olkpatch.exe
python3 tests/e2e/run_e2e.py --win32-build build/win32 --native-build build/native
