#!/usr/bin/env bash
# olkpack.exe (64-bit Windows) under 64-bit Wine, against the Linux build of
# the same tool on the same trees: the sample client's two builds, with a
# folder and a file named beyond any ANSI code page and a path of more
# than 300 characters added to both. The arguments name folders and files
# beyond the ANSI code page too, and the client folder patched lies deeper
# than MAX_PATH.
#   - diff writes the same patch bytes as the Linux tool, with one thread
#     or several, whether the paths are written with '\' or '/';
#   - info and list print what the Linux tool prints;
#   - installer packs an installer whose patch member is those bytes;
#   - apply on a copy of the old build gives the new build exactly;
#   - mistakes give one line, exit status 1 and no output file.
#   wine64_olkpack_test.sh WIN64_BUILD_DIR NATIVE_BUILD_DIR
# The installer part needs the installer stub and patcheng.dll of the
# 32-bit build beside them (build/win32, as olkpack.exe looks for them).
# WINEPREFIX defaults to build/wine64-prefix. Prints "N passed, N failed";
# exits non-zero on any failure.
set -uo pipefail
win64_dir=$(cd "$1" && pwd)
native_dir=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
exe=$win64_dir/olkpack.exe
linux=$native_dir/olkpack
[ -x "$wine64" ] || { echo "wine64_olkpack_test: $wine64 not found" >&2; exit 1; }
[ -f "$exe" ] || { echo "wine64_olkpack_test: $exe not built (scripts/build.sh win64)" >&2; exit 1; }
[ -x "$linux" ] || { echo "wine64_olkpack_test: $linux not built (scripts/build.sh native)" >&2; exit 1; }
export WINEDEBUG=-all
# Wine takes the charset of file names and arguments from the locale.
export LC_ALL=C.UTF-8
export WINEPREFIX=${WINEPREFIX:-$root/build/wine64-prefix}
mkdir -p "$WINEPREFIX"
work=$(mktemp -d)
cleanup() {
  "$wineserver" -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
"$wineserver" -p
"$wine64" wineboot.exe >/dev/null 2>&1

passed=0
failed=0
check() {  # name expected actual
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $1: expected $2, got $3"; fi
}
winpath() { echo "Z:$1" | tr / '\\'; }
olkpack_exe() { "$wine64" "$exe" "$@"; }
# Wine's console writes "\r\n" at the end of a line.
unix_lines() { tr -d '\r'; }

# The tree pair.
python3 "$root/tools/samples/sample_builds.py" "$work/сборки" >/dev/null
old=$work/сборки/3550 new=$work/сборки/3551
seg=$(printf 'segment%.0s' 1 2 3 4 5 6 7)                          # 49 characters
deep="deep/$seg-1/$seg-2/$seg-3/$seg-4/$seg-5/$seg-6"               # 5 + 6 * 52
mkdir -p "$old/données" "$old/$deep" "$new/données" "$new/日本語" "$new/$deep"
printf 'clé 3550\r\n' >"$old/données/ключ.txt"
printf 'clé 3551\r\n' >"$new/données/ключ.txt"
seq 1 20000 >"$old/$deep/long.txt"
seq 1 21000 >"$new/$deep/long.txt"
printf 'new\r\n' >"$new/日本語/新しい.txt"
# Beyond the sample's sizes: a changed file of several delta segments
# (encoded on several threads) and a large added text.
head -c 5000000 /dev/urandom >"$old/data/большой.bin"
{ head -c 2000000 "$old/data/большой.bin"; head -c 70000 /dev/urandom; tail -c +2000001 "$old/data/большой.bin"; } \
  >"$new/data/большой.bin"
seq 1 600000 >"$new/data/journal.txt"
# A file far apart from its old version, over 2 MiB: a windowed LZ
# payload of two segments, encoded on several threads.
python3 "$root/tests/far_apart_pair.py" "$old/data/far.bin" "$new/data/far.bin" 2200000 7

# diff: the same bytes as the Linux tool.
"$linux" diff "$old" "$new" -o "$work/linux.pat" --quiet
check "linux diff" 0 $?
olkpack_exe diff "$(winpath "$old")" "$(winpath "$new")" -o "$(winpath "$work/win.pat")" --quiet
check "diff exit" 0 $?
cmp -s "$work/linux.pat" "$work/win.pat"
check "diff bytes as on Linux" 0 $?
for threads in 1 8; do
  olkpack_exe diff "Z:$old" "Z:$new" -o "Z:$work/win$threads.pat" --threads $threads --quiet
  check "diff with '/' paths, $threads threads" 0 $?
  cmp -s "$work/linux.pat" "$work/win$threads.pat"
  check "diff bytes with $threads threads" 0 $?
done

# info and list: what the Linux tool prints.
"$linux" info "$work/linux.pat" >"$work/info.linux"
olkpack_exe info "$(winpath "$work/win.pat")" | unix_lines >"$work/info.win"
cmp -s "$work/info.linux" "$work/info.win"
check "info as on Linux" 0 $?
grep -q 'données\\ключ.txt' "$work/info.win"
check "info names beyond the ANSI code page" 0 $?

# installer: the stub and the engine of build/win32, found beside the tool's
# build; its patch member is the diff's bytes.
if [ -f "$win64_dir/../win32/olkpatch.exe" ] && [ -f "$win64_dir/../win32/patcheng.dll" ]; then
  olkpack_exe installer --from 3550 --to 3551 "$(winpath "$old")" "$(winpath "$new")" \
    -o "$(winpath "$work/патч 3551.exe")" --quiet | unix_lines >"$work/list.win"
  check "installer exit" 0 $?
  "$linux" list "$work/патч 3551.exe" >"$work/list.linux"
  cmp -s "$work/list.linux" "$work/list.win"
  check "installer listed as on Linux" 0 $?
  olkpack_exe extract "$(winpath "$work/патч 3551.exe")" OLK.3550-3551.pat -o "$(winpath "$work/member.pat")"
  check "extract exit" 0 $?
  cmp -s "$work/linux.pat" "$work/member.pat"
  check "installer's patch data as on Linux" 0 $?
else
  echo "installer part SKIPPED: build/win32 has no olkpatch.exe and patcheng.dll (scripts/build.sh win32)"
fi

# apply: a copy of the old build, in a folder deeper than MAX_PATH,
# becomes the new build.
client="$work/клиент/$seg-a/$seg-b/$seg-c/$seg-d/$seg-e/3550"
mkdir -p "$(dirname "$client")"
cp -a "$old" "$client"
olkpack_exe apply "$(winpath "$client")" "$(winpath "$work/win.pat")" --quiet
check "apply exit" 0 $?
diff -r "$client" "$new" >/dev/null
check "applied tree equals the new build" 0 $?
olkpack_exe check "$(winpath "$client")" "$(winpath "$work/win.pat")" >/dev/null
check "check after the apply" 0 $?
# A client with a file changed behind the patch's back: the engine's result
# code as the exit status, as on Linux, and nothing changed.
cp -a "$old" "$work/changed"
printf 'edited' >"$work/changed/données/ключ.txt"
cp -a "$work/changed" "$work/changed.linux"
cp -a "$work/changed" "$work/changed.before"
"$linux" apply "$work/changed.linux" "$work/linux.pat" --quiet 2>/dev/null
linux_status=$?
olkpack_exe apply "$(winpath "$work/changed")" "$(winpath "$work/win.pat")" --quiet 2>/dev/null
check "apply to a changed client: exit status as on Linux" "$linux_status" $?
check "apply to a changed client: refused" yes "$([ "$linux_status" -gt 1 ] && echo yes || echo no)"
diff -r "$work/changed" "$work/changed.before" >/dev/null
check "apply to a changed client: nothing changed" 0 $?

# Links to folders (Wine shows a Unix link to a folder as a reparse point;
# one to a file as the file): refused by name by default, left out or
# followed as the Linux tool does, and a link back up refused even when
# followed.
links=$work/links
mkdir -p "$links/old" "$links/new" "$links/shared"
printf 'a' >"$links/old/a.txt" && printf 'b' >"$links/new/a.txt" && printf 'shared' >"$links/shared/s.txt"
ln -s ../shared "$links/new/textures"
for choice in skip follow; do
  "$linux" diff "$links/old" "$links/new" -o "$work/links-$choice.linux" --links $choice --quiet
  olkpack_exe diff "$(winpath "$links/old")" "$(winpath "$links/new")" -o "$(winpath "$work/links-$choice.win")" \
    --links $choice --quiet
  check "links $choice: exit" 0 $?
  cmp -s "$work/links-$choice.linux" "$work/links-$choice.win"
  check "links $choice: bytes as on Linux" 0 $?
done
olkpack_exe diff "$(winpath "$links/old")" "$(winpath "$links/new")" -o "$(winpath "$work/links.win")" 2>"$work/links.err"
check "link refused: exit" 1 $?
grep -q "'textures' in the new tree is a symbolic link" "$work/links.err"
check "link refused: named" 0 $?
ln -s .. "$links/new/up"
olkpack_exe diff "$(winpath "$links/old")" "$(winpath "$links/new")" -o "$(winpath "$work/links.win")" --links follow \
  2>"$work/links.err"
check "link back up refused when followed: exit" 1 $?
grep -q "'up' in the new tree is a symbolic link" "$work/links.err"
check "link back up refused when followed: named" 0 $?
check "links: no output left" "" "$(ls "$work" | grep '^links\.win')"

# Mistakes: one line, exit status 1, nothing written (no output, no
# temporary file beside it).
mkdir -p "$work/out"
while IFS='|' read -r name args; do
  eval "set -- $args"
  olkpack_exe "$@" >"$work/mistake.out" 2>"$work/mistake.err"
  check "$name: exit status" 1 $?
  check "$name: one line" 1 "$(unix_lines <"$work/mistake.err" | wc -l)"
  check "$name: nothing written" "" "$(ls -A "$work/out")"
done <<EOF
diff of a missing tree|diff 'Z:$work\\missing' '$(winpath "$new")' -o '$(winpath "$work/out/x.pat")'
installer with equal builds|installer --from 3551 --to 3551 '$(winpath "$old")' '$(winpath "$new")' -o '$(winpath "$work/out/x.exe")'
sign without osslsigncode|sign '$(winpath "$work/linux.pat")' --cert '$(winpath "$work/info.linux")' -o '$(winpath "$work/out/x.exe")'
EOF
grep -q 'osslsigncode is not installed' "$work/mistake.err"
check "sign names the missing signer" 0 $?

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
