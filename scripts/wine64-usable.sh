#!/usr/bin/env bash
# Exits 0 when this machine can run 64-bit Windows programs under Wine
# (scripts/wine32-usable.sh asks the same of 32-bit ones).
[ -x /usr/lib/wine/wine64 ] && /usr/lib/wine/wine64 --version >/dev/null 2>&1
