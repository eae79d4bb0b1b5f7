#!/usr/bin/env bash
# The main job: set up, build everything, and run the installer end to end
# under Wine on a sample client.
#
# By default on the sample client (builds 3550 and 3551, generated): the
# installer is made with `olkpack installer`, run under Wine with Xvfb on a
# copy of 3550 and driven like a user (notice acknowledged, folder typed,
# success box), and the folder is checked against 3551 byte for byte.
# Arguments go to scripts/main_job.py: --old DIR --new DIR --from N --to N
# for one's own builds, --installer-only to stop once the installer is made.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
bash scripts/build.sh native win32
bash scripts/check-stub.sh build/win32/olkpatch.exe
python3 scripts/main_job.py "$@"
