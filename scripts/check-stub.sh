#!/usr/bin/env bash
# The installer stub must be a 32-bit GUI program that needs nothing but
# system DLLs (no C++ or gcc runtime DLL beside it on a player's machine),
# and must end before the 64 KiB boundary where its archive starts.
# At load time it may import only kernel32, user32 and the C runtime: every
# other system DLL is loaded from the system folder after the DLL search is
# restricted, so that a DLL planted beside the installer is never loaded.
set -euo pipefail
stub=${1:-build/win32/olkpatch.exe}
dump=$(i686-w64-mingw32-objdump -p "$stub")
grep -q 'Magic.*010b' <<<"$dump" || { echo "check-stub: $stub is not PE32" >&2; exit 1; }
grep -q 'Subsystem.*Windows GUI' <<<"$dump" || { echo "check-stub: $stub is not a GUI program" >&2; exit 1; }
allowed='^(kernel32|user32|msvcrt)\.dll$'
status=0
while read -r dll; do
  if ! tr 'A-Z' 'a-z' <<<"$dll" | grep -Eq "$allowed"; then
    echo "check-stub: $stub imports $dll, which the loader may take from the installer's folder" >&2
    status=1
  fi
done < <(sed -n 's/.*DLL Name: //p' <<<"$dump")
size=$(stat -c %s "$stub")
if [ "$size" -gt 62976 ]; then
  echo "check-stub: $stub is $size bytes, larger than the 62,976 bytes the archive layout leaves it before the 64 KiB boundary" >&2
  status=1
fi
echo "check-stub: $stub: PE32 GUI, system DLLs only, $size bytes"
exit $status
