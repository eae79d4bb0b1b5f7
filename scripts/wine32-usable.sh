#!/usr/bin/env bash
# Exits 0 when this machine can run 32-bit Windows programs under Wine.
# Some virtual machines' kernels run no 32-bit program at all (no IA-32
# emulation); Wine's 32-bit loader then fails with "Exec format error",
# and every Wine test would fail for a reason that is not ours.
[ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
