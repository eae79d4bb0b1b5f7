#!/usr/bin/env bash
# patcheng.dll under Wine, called the way the installer calls it: the same
# results as the native engine for the same causes, the notifications in
# order, and no file left open.
#   wine_dll_test.sh WIN32_BUILD_DIR NATIVE_OLKPACK
# Prints "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail
win32_dir=$(cd "$1" && pwd)
olkpack=$2
command -v wine >/dev/null || { echo "wine_dll_test: wine not found" >&2; exit 1; }
export WINEDEBUG=-all
work=$(mktemp -d)
export WINEPREFIX=${WINEPREFIX:-$work/prefix}
trap 'WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # name expected actual
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $1: expected $2, got $3"; fi
}
winpath() { echo "Z:$1" | tr / '\\'; }

mkdir -p "$work/old/data" "$work/new/data/sub"
head -c 300000 /dev/urandom >"$work/old/olk.exe"
{ head -c 1000 "$work/old/olk.exe"; printf 'grown'; tail -c +1001 "$work/old/olk.exe"; } >"$work/new/olk.exe"
printf 'build=3550\r\n' >"$work/old/zorp.ini"
printf 'build=3551\r\n' >"$work/new/zorp.ini"
printf 'bye' >"$work/old/data/gone.txt"
printf 'new' >"$work/new/data/sub/new.txt"
"$olkpack" diff "$work/old" "$work/new" -o "$work/p.pat" --quiet || { echo "cannot build the patch"; exit 1; }

# scenario: a function that spoils a fresh copy of the old tree ($1) and
# the patch path to use ($2)
run_case() {  # name spoil
  local name=$1 spoil=$2
  for side in native wine; do
    rm -rf "$work/$side" && cp -r "$work/old" "$work/$side" && cp "$work/p.pat" "$work/$side.pat"
    $spoil "$work/$side" "$work/$side.pat"
    (cd "$work/$side" && find . -type f -exec md5sum {} + | sort) >"$work/$side.before"
  done
  "$olkpack" apply --quiet "$work/native" "$work/native.pat" >/dev/null 2>&1
  local native=$?
  wine "$win32_dir/patch_probe.exe" "$(winpath "$win32_dir/patcheng.dll")" "$(winpath "$work/wine")" \
    "$(winpath "$work/wine.pat")" >"$work/notes" 2>"$work/notes.err"
  local result
  result=$(sed -n 's/^result \(-\?[0-9]*\)\r\?$/\1/p' "$work/notes")
  check "$name: same result as native" "$native" "$result"
  if [ "$native" = 0 ]; then
    diff -r "$work/wine" "$work/new" >/dev/null && same=yes || same=no
    check "$name: folder is the new build" yes "$same"
    check "$name: starts with id 22" 22 "$(head -n1 "$work/notes" | tr -d '\r')"
    check "$name: patch file released" 0 "$(grep -c 'still held' "$work/notes")"
  else
    (cd "$work/wine" && find . -type f -exec md5sum {} + | sort) >"$work/wine.after"
    cmp -s "$work/wine.before" "$work/wine.after" && same=yes || same=no
    check "$name: folder unchanged" yes "$same"
  fi
}
ok() { :; }
corrupt() { printf 'X' | dd of="$2" bs=1 seek=200 conv=notrunc 2>/dev/null; }
missing() { rm "$1/zorp.ini"; }
edited() { printf 'build=9999\r\n' >"$1/zorp.ini"; }
folder_in_way() { mkdir -p "$1/data/sub/new.txt"; }
no_patch() { rm "$2"; }

run_case "applies" ok
run_case "damaged patch (9)" corrupt
run_case "file missing (15)" missing
run_case "file edited (36)" edited
run_case "folder in the way (18)" folder_in_way
run_case "no patch file (7)" no_patch

# Links planted in the client (Wine shows a Unix link to a folder as a
# reparse point): the result is the native one and the folder behind the
# link is left as it was.
staging_link() { rm -rf "$1.other" && cp -r "$work/staging.ref" "$1.other" && ln -s "$1.other" "$1/.olkpatch"; }
folder_link() { rm -rf "$1.other" && mv "$1/data" "$1.other" && ln -s "$1.other" "$1/data"; }
mkdir -p "$work/staging.ref/sub" && printf 'precious' >"$work/staging.ref/keep.txt"
run_case "staging folder is a link" staging_link
diff -r "$work/wine.other" "$work/staging.ref" >/dev/null && same=yes || same=no
check "staging folder is a link: folder behind it unchanged" yes "$same"
run_case "client folder is a link" folder_link
diff -r "$work/wine.other" "$work/old/data" >/dev/null && same=yes || same=no
check "client folder is a link: folder behind it unchanged" yes "$same"

# The file layer itself: links, and renames and deletes of a file that
# another handle holds for a moment (fs_win32_probe.cpp).
src_dir=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$work/probe/root" "$work/probe/outside" && printf 'keep' >"$work/probe/outside/keep.txt"
ln -s "$work/probe/outside" "$work/probe/root/ldir"
if i686-w64-mingw32-g++ -std=c++17 -O2 -static -I"$src_dir/src/engine/include" "$src_dir/tests/engine/fs_win32_probe.cpp" \
    "$win32_dir/src/engine/libolk_engine.a" -o "$work/fs_win32_probe.exe"; then
  wine "$work/fs_win32_probe.exe" "$(winpath "$work/probe/root")" >"$work/probe.out" 2>&1
  check "file layer probe: no failures" 0 "$?"
  while read -r verdict name; do
    [ "$verdict" = PASS ] || [ "$verdict" = FAIL ] && check "file layer: $name" PASS "$verdict"
  done < <(tr -d '\r' <"$work/probe.out")
  check "file layer: outside untouched" keep "$(cat "$work/probe/outside/keep.txt")$(ls "$work/probe/outside" | grep -v '^keep.txt$')"
else
  check "file layer probe builds" yes no
fi

# Names as the system compares them: the engine's upper-case table
# against the system's ordinal comparison, for every code unit.
wine "$win32_dir/upcase_probe.exe" >"$work/upcase" 2>&1
check "upper case as the system's ($(tail -n1 "$work/upcase" | tr -d '\r'))" 0 "$?"

probe() {  # probe.exe folder patch: the notes in $work/notes, the code page in $work/notes.err
  wine "$win32_dir/$1" "$(winpath "$win32_dir/patcheng.dll")" "$(winpath "$2")" "$(winpath "$3")" \
    >"$work/notes" 2>"$work/notes.err"
  sed -n 's/^result \(-\?[0-9]*\)\r\?$/\1/p' "$work/notes"
}

# A rename that only changes a non-ASCII letter's case applies: to the
# folder, which ignores case for every letter, both are one name.
upper_a=$'\xc3\x84' lower_a=$'\xc3\xa4'
mkdir -p "$work/case-old" "$work/case-new"
printf 'same' >"$work/case-old/${upper_a}.txt"
printf 'same' >"$work/case-new/${lower_a}.txt"
"$olkpack" diff "$work/case-old" "$work/case-new" -o "$work/case.pat" --quiet
cp -r "$work/case-old" "$work/case-wine"
check "rename in case only: result" 0 "$(probe patch_probe.exe "$work/case-wine" "$work/case.pat")"
check "rename in case only: new name" "${lower_a}.txt" "$(ls "$work/case-wine")"

# A path far longer than the callback's 1 KiB text buffer (and than
# MAX_PATH), with letters beyond ASCII: the patch applies, and the line
# that names it shows its beginning, cut after a whole character, in the
# ANSI code page, also when that is UTF-8.
long=data
for i in 1 2 3 4 5 6 7 8; do long="$long/$(printf "\xc3\xa9%.0s" $(seq 100))$(printf 'x%.0s' $(seq 40))"; done
mkdir -p "$work/long-old" "$work/long-new/$long"
printf 'deep' >"$work/long-new/$long/f.txt"
"$olkpack" diff "$work/long-old" "$work/long-new" -o "$work/long.pat" --quiet
name=$(printf '%s' "$long/f.txt" | tr / '\\')
for p in patch_probe.exe patch_probe_utf8.exe; do
  rm -rf "$work/long-wine" && cp -r "$work/long-old" "$work/long-wine"
  result=$(probe "$p" "$work/long-wine" "$work/long.pat")
  acp=$(sed -n 's/^acp \([0-9]*\).*/\1/p' "$work/notes.err")
  if [ "$p" = patch_probe_utf8.exe ] && [ "$acp" != 65001 ]; then
    echo "SKIP long path in UTF-8: this Wine ignores the manifest's code page (acp $acp)"
    continue
  fi
  check "long path, code page $acp: result" 0 "$result"
  check "long path, code page $acp: file written" deep "$(cat "$work/long-wine/$long/f.txt" 2>/dev/null)"
  check "long path, code page $acp: other lines intact" 1 "$(grep -c '^1 Patch data checked: 10 entries' "$work/notes")"
  line=$(grep -a '^7 data' "$work/notes" | head -n1 | tr -d '\r')
  text=${line#7 }
  if [ "$acp" = 65001 ]; then whole=$name; else whole=$(printf '%s' "$name" | iconv -f UTF-8 -t "CP$acp"); fi
  LC_ALL=C
  check "long path, code page $acp: the line is the path's beginning" "${whole:0:${#text}}" "$text"
  check "long path, code page $acp: cut to the buffer" yes "$([ ${#text} -ge 1020 ] && [ ${#text} -le 1023 ] && echo yes)"
  unset LC_ALL
  if [ "$acp" = 65001 ]; then
    printf '%s' "$text" | iconv -f UTF-8 -t UTF-8 >/dev/null 2>&1 && whole_chars=yes || whole_chars=no
    check "long path, code page $acp: cut after a whole character" yes "$whole_chars"
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
