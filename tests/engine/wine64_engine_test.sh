#!/usr/bin/env bash
# The patch engine on its Win32 file layer, under 64-bit Wine: the same
# results as the native engine for the same causes, names beyond the ANSI
# code page and paths longer than MAX_PATH inside the install folder, a
# file held open by another program, no file left open, and a process
# killed in the middle of its commit that the next run completes.
# Machines that run no 32-bit program cannot load patcheng.dll; these
# tests keep the engine's Windows side covered there.
#   wine64_engine_test.sh WIN64_BUILD_DIR NATIVE_OLKPACK
# WINEPREFIX defaults to build/wine64-prefix (made on first use, ~20 s).
# Prints "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail
win64_dir=$(cd "$1" && pwd)
olkpack=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine64" ] || { echo "wine64_engine_test: $wine64 not found" >&2; exit 1; }
export WINEDEBUG=-all
# Wine takes the charset of file names and arguments from the locale.
export LC_ALL=C.UTF-8
export WINEPREFIX=${WINEPREFIX:-$root/build/wine64-prefix}
mkdir -p "$WINEPREFIX"
work=$(mktemp -d)
paused=""
cleanup() {
  [ -n "$paused" ] && kill -9 "$paused" 2>/dev/null
  "$wineserver" -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# One server for every run (and the prefix made once, here), instead of
# one started and stopped per program.
"$wineserver" -p
"$wine64" wineboot.exe >/dev/null 2>&1

passed=0
failed=0
check() {  # name expected actual
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $1: expected $2, got $3"; fi
}
winpath() { echo "Z:$1" | tr / '\\'; }
probe() {  # exe folder patch [--hold file]: notifications on $work/notes; prints the result
  local exe=$1 folder=$2 patch=$3; shift 3
  "$wine64" "$win64_dir/$exe" "$(winpath "$folder")" "$(winpath "$patch")" "$@" >"$work/notes" 2>"$work/notes.err"
  sed -n 's/^result \(-\?[0-9]*\)$/\1/p' "$work/notes"
}
snapshot() {  # folder: every entry, and every file's contents
  (cd "$1" && find . | sort && find . -type f -exec md5sum {} + | sort)
}

# The tree pair: a delta, a text change, a removed file and folder, added
# files and folders, a few changed files (so that a commit has a middle),
# names beyond any ANSI code page (Cyrillic, Japanese, one outside the
# BMP), and a path of more than 300 characters inside the install folder.
seg=$(printf 'segment%.0s' 1 2 3 4 5 6 7)                          # 49 characters
deep="deep/$seg-1/$seg-2/$seg-3/$seg-4/$seg-5/$seg-6"               # 5 + 6 * 52
old=$work/old new=$work/new
mkdir -p "$old/data/levels" "$old/retired" "$old/données" "$old/$deep"
mkdir -p "$new/data/levels" "$new/data/sub" "$new/données" "$new/日本語" "$new/$deep"
head -c 300000 /dev/urandom >"$old/olk.exe"
{ head -c 1000 "$old/olk.exe"; printf 'grown'; tail -c +1001 "$old/olk.exe"; } >"$new/olk.exe"
# Two builds of one 64-bit program: an executable delta, whose apply
# predicts its references on a second thread (Win32 threads and locks).
mkdir -p "$old/bin" "$new/bin"
cp "$win64_dir/engine_probe.exe" "$old/bin/game.exe"
cp "$win64_dir/engine_probe_commit_pause.exe" "$new/bin/game.exe"
printf 'build=3550\r\n' >"$old/zorp.ini"
printf 'build=3551\r\n' >"$new/zorp.ini"
printf 'bye' >"$old/data/gone.txt"
printf 'bye' >"$old/retired/old.txt"
printf 'new' >"$new/data/sub/new.txt"
for i in 1 2 3 4 5 6; do
  printf 'level %s, old\n' "$i" >"$old/data/levels/l$i.dat"
  printf 'level %s, new\n' "$i" >"$new/data/levels/l$i.dat"
done
printf 'старый\n' >"$old/données/Привет мир.txt"
printf 'новый\n' >"$new/données/Привет мир.txt"
printf 'ファイル\n' >"$new/日本語/ファイル 🎮.dat"
printf 'depth=old\n' >"$old/$deep/config.txt"
printf 'depth=new\n' >"$new/$deep/config.txt"
printf 'added deep\n' >"$new/$deep/added.txt"
# A file far apart from its old version (short pieces of it, each after a
# new byte): a windowed LZ payload.
python3 "$root/tests/far_apart_pair.py" "$old/data/far.bin" "$new/data/far.bin" 200000 5
# A large added file, compressed whole: its stream is decoded on a thread
# of its own, ahead of the writing (named to come after the files the
# kill cases below look at).
seq 1 120000 >"$new/data/sub/big.txt"
"$olkpack" diff "$old" "$new" -o "$work/p.pat" --quiet || { echo "cannot build the patch"; exit 1; }
check "the large file is compressed whole" 1 "$("$olkpack" info "$work/p.pat" | grep -cE '(lzma2|zstd) .*big\.txt')"
check "the program is an executable delta" 1 "$("$olkpack" info "$work/p.pat" | grep -c 'x86 delta.*game\.exe')"
check "the far file is a windowed LZ" 1 "$("$olkpack" info "$work/p.pat" | grep -c 'windowed lz.*far\.bin')"

# One case: a fresh copy of the old tree and the patch, spoilt by $spoil
# (called with the folder and the patch path), applied by the native
# engine and under Wine. With --hold, Wine's run has a file of its copy
# held open; the native engine cannot be made to see that, so only the
# expected result counts.
run_case() {  # name expected spoil [--hold relative-path]
  local name=$1 expected=$2 spoil=$3 hold=${5:-}
  for side in native wine; do
    rm -rf "${work:?}/$side" && cp -r "$old" "$work/$side" && cp "$work/p.pat" "$work/$side.pat"
    $spoil "$work/$side" "$work/$side.pat"
    snapshot "$work/$side" >"$work/$side.before"
  done
  local args=()
  if [ -n "$hold" ]; then
    args=(--hold "$(winpath "$work/wine/$hold")")
  else
    "$olkpack" apply --quiet "$work/native" "$work/native.pat" >/dev/null 2>&1
    check "$name: native result" "$expected" "$?"
  fi
  local had_patch=no
  [ -e "$work/wine.pat" ] && had_patch=yes
  check "$name: result" "$expected" "$(probe engine_probe.exe "$work/wine" "$work/wine.pat" "${args[@]}")"
  if [ "$had_patch" = yes ]; then
    check "$name: notifications start with id 22" 22 "$(head -n1 "$work/notes")"
    check "$name: patch file released" 0 "$(grep -c 'still held' "$work/notes")"
  fi
  if [ "$expected" = 0 ]; then
    diff -r "$work/wine" "$new" >/dev/null && same=yes || same=no
    check "$name: folder is the new build" yes "$same"
  else
    snapshot "$work/wine" | cmp -s "$work/wine.before" - && same=yes || same=no
    check "$name: folder as it was" yes "$same"
    [ "$had_patch" = no ] ||
      check "$name: an error line" yes "$(grep -q '^3 ' "$work/notes" && echo yes || echo no)"
  fi
}
ok() { :; }
already_new() { rm -rf "$1" && cp -r "$new" "$1"; }
corrupt() { printf 'X' | dd of="$2" bs=1 seek=200 conv=notrunc 2>/dev/null; }
missing() { rm "$1/zorp.ini"; }
edited() { printf 'build=9999\r\n' >"$1/zorp.ini"; }
edited_unicode() { printf 'changed by hand\n' >"$1/données/Привет мир.txt"; }
edited_deep() { printf 'depth=mine\n' >"$1/$deep/config.txt"; }
folder_in_way() { mkdir -p "$1/data/sub/new.txt"; }
no_patch() { rm "$2"; }

run_case "applies" 0 ok
run_case "already the new build" 0 already_new
run_case "damaged patch (9)" 9 corrupt
run_case "file missing (15)" 15 missing
run_case "file edited (36)" 36 edited
run_case "file beyond the ANSI code page edited (36)" 36 edited_unicode
check "the error names it in UTF-8" 1 "$(grep -c '^3 .*données\\Привет мир\.txt$' "$work/notes")"
run_case "file beyond MAX_PATH edited (36)" 36 edited_deep
run_case "folder in the way (18)" 18 folder_in_way
run_case "no patch file (7)" 7 no_patch
run_case "file to change held open (38)" 38 ok --hold olk.exe

# Killed in its commit: the folder holds a journal and only old or new
# files, and the next run completes the patch. The test build stops
# before the step it is given, or at the middle one for a step past the
# last; step 20 of this tree's 27 or so comes after the first new files
# are in place, so that the roll-back has placements to undo.
is_old_or_new() {  # folder: every file outside the staging folder is its old or its new version
  local f
  while IFS= read -r -d '' f; do
    cmp -s "$1/$f" "$old/$f" 2>/dev/null || cmp -s "$1/$f" "$new/$f" 2>/dev/null || { echo "$f"; return; }
  done < <(cd "$1" && find . -path ./.olkpatch -prune -o -type f -printf '%P\0')
  echo yes
}
new_in_place=0
kill_case() {  # step
  local name="killed at commit step $1" dir=$work/killed marker=$work/paused
  rm -rf "$dir" "$marker" && cp -r "$old" "$dir" && cp "$work/p.pat" "$work/killed.pat"
  OLK_PAUSE_AT_COMMIT_STEP=$1 OLK_PAUSE_MARKER=$(winpath "$marker") \
    "$wine64" "$win64_dir/engine_probe_commit_pause.exe" "$(winpath "$dir")" "$(winpath "$work/killed.pat")" \
    >"$work/paused.out" 2>&1 &
  paused=$!
  for _ in $(seq 300); do
    [ -e "$marker" ] || ! kill -0 "$paused" 2>/dev/null && break
    sleep 0.1
  done
  check "$name: paused in its commit" yes "$([ -e "$marker" ] && echo yes || echo no)"
  kill -9 "$paused" 2>/dev/null
  wait "$paused" 2>/dev/null
  paused=""
  check "$name: a commit in progress" yes "$([ -f "$dir/.olkpatch/journal" ] && echo yes || echo no)"
  check "$name: only old or new files" yes "$(is_old_or_new "$dir")"
  diff -r --exclude=.olkpatch "$dir" "$new" >/dev/null && same=yes || same=no
  check "$name: not yet the new build" no "$same"
  cmp -s "$dir/data/levels/l1.dat" "$new/data/levels/l1.dat" && new_in_place=$((new_in_place + 1))
  check "$name, run again: result" 0 "$(probe engine_probe.exe "$dir" "$work/killed.pat")"
  diff -r "$dir" "$new" >/dev/null && same=yes || same=no
  check "$name, run again: folder is the new build, no staging folder left" yes "$same"
}
kill_case 1000000  # the middle step
kill_case 20
check "killed: new files were in place at one of the kill points" yes "$([ $new_in_place -gt 0 ] && echo yes || echo no)"

# The file layer itself: a Unix link to a folder (a reparse point to
# Wine) is reported and never followed; renames and deletes of a file that
# another handle holds for a moment are retried (fs_win32_probe.cpp).
mkdir -p "$work/probe/root" "$work/probe/outside" && printf 'keep' >"$work/probe/outside/keep.txt"
ln -s "$work/probe/outside" "$work/probe/root/ldir"
"$wine64" "$win64_dir/fs_win32_probe.exe" "$(winpath "$work/probe/root")" >"$work/probe.out" 2>&1
check "file layer probe: no failures" 0 "$?"
while read -r verdict name; do
  if [ "$verdict" = PASS ] || [ "$verdict" = FAIL ]; then check "file layer: $name" PASS "$verdict"; fi
done < <(tr -d '\r' <"$work/probe.out")
check "file layer: outside untouched" keep "$(cat "$work/probe/outside/keep.txt")$(ls "$work/probe/outside" | grep -v '^keep.txt$')"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
