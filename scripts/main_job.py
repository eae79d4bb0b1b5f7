#!/usr/bin/env python3
"""The main job: makes an installer from two client builds and runs it under
Wine on a copy of the old build, driven as a user would, then checks that the
client folder now equals the new build byte for byte.

By default the two builds are the sample client (3550 and 3551) that
tools/samples/sample_builds.py generates. Options name a user's own builds,
or stop once the installer is built.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import run_e2e  # noqa: E402  (the Wine harness)

CLIENT_FOLDER = "OLK Test"  # under c:\, with a blank, as players' folders often have


def tree(folder):
    """Relative paths of the files and folders under `folder`."""
    out = set()
    for dirpath, dirnames, filenames in os.walk(folder):
        rel = os.path.relpath(dirpath, folder)
        for name in dirnames + filenames:
            out.add(os.path.normpath(os.path.join(rel, name)))
    return out


def compare_trees(got, want, ignore=("patch_log.log",)):
    """Differences between two trees, as lines; none when equal."""
    problems = []
    a, b = tree(got) - set(ignore), tree(want)
    problems += ["missing: " + p for p in sorted(b - a)]
    problems += ["unexpected: " + p for p in sorted(a - b)]
    for rel in sorted(a & b):
        pa, pb = os.path.join(got, rel), os.path.join(want, rel)
        if os.path.isfile(pb) and not (os.path.isfile(pa) and filecmp.cmp(pa, pb, shallow=False)):
            problems.append("differs: " + rel)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--old", help="folder of the old client build (default: sample 3550)")
    parser.add_argument("--new", help="folder of the new client build (default: sample 3551)")
    parser.add_argument("--from", dest="from_build", default="3550", help="build number of --old")
    parser.add_argument("--to", dest="to_build", default="3551", help="build number of --new")
    parser.add_argument("--installer-only", action="store_true",
                        help="stop once the installer is built and checked")
    parser.add_argument("--work", default=str(ROOT / "build" / "main-job"), help="work folder")
    args = parser.parse_args()

    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    native, win32 = ROOT / "build" / "native", ROOT / "build" / "win32"
    if not args.old or not args.new:
        samples = work / "samples"
        if samples.exists():
            shutil.rmtree(samples)
        subprocess.run([sys.executable, str(ROOT / "tools" / "samples" / "sample_builds.py"),
                        str(samples)], check=True)
        old, new = samples / "3550", samples / "3551"
    else:
        old, new = Path(args.old).resolve(), Path(args.new).resolve()

    installer = work / ("olkpatch%s.exe" % args.to_build)
    t0 = time.monotonic()
    subprocess.run([str(native / "olkpack"), "installer", "--from", args.from_build, "--to",
                    args.to_build, str(old), str(new), "-o", str(installer)], check=True)
    print("main job: installer %s (%d bytes) built in %.1f s"
          % (installer, installer.stat().st_size, time.monotonic() - t0))
    if args.installer_only:
        return 0
    if subprocess.run(["bash", str(ROOT / "scripts" / "wine32-usable.sh")]).returncode != 0:
        return native_apply_only(native, old, new, work, installer, "OLK.%s-%s.pat" % (args.from_build, args.to_build))

    h = run_e2e.Harness(win32, native, work / "wine", shots=False)
    h.start()
    try:
        client = h.drive_c / CLIENT_FOLDER
        shutil.copytree(old, client)
        run_dir = h.runs / "main-job"
        run_dir.mkdir(parents=True, exist_ok=True)
        started = time.time()
        folder = "c:\\" + CLIENT_FOLDER
        # The test-patch notice, the folder typed into the folder dialog,
        # and the success box.
        answers = ["press 1", ["set 1000 " + folder, "press 1"], "press 1"]
        t = h.drive(run_dir, installer, None, answers, timeout_ms=180000, window_shots=True)
        problems = t.problems()
        if t.exit_code != 0:
            problems.append("the installer's exit code was %s" % t.exit_code)
        boxes = [(b.caption, b.text) for b in t.boxes()]
        success = ("Patch applied", "OLK client upgraded from %s to %s." % (args.from_build, args.to_build))
        if success not in boxes:
            problems.append("no success box; boxes were: %r" % boxes)
        problems += compare_trees(client, new)
        bundle = client / "script" / "quandrel.code"
        if bundle.exists() and bundle.stat().st_mtime < started - 2:
            problems.append("script\\quandrel.code has no fresh timestamp")
        log = client / "patch_log.log"
        print("main job: the installer's log (%s):" % log)
        if log.exists():
            print(log.read_bytes().decode("latin-1").replace("\r\n", "\n"))
        shots = sorted(run_dir.glob("*.png")) + sorted(run_dir.glob("*.bmp"))
        print("main job: window pictures: %s" % (", ".join(str(s) for s in shots) or "none"))
        if problems:
            print("main job: FAILED\n  " + "\n  ".join(problems), file=sys.stderr)
            return 1
        print("main job: %s now equals build %s byte for byte (%.1f s in all)"
              % (folder, args.to_build, time.monotonic() - t0))
        return 0
    finally:
        h.stop()


def native_apply_only(native, old, new, work, installer, member):
    """On a machine that cannot run 32-bit programs, Wine cannot start the
    installer: apply its patch data natively instead, and say so."""
    print("main job: this machine cannot run 32-bit programs (no IA-32 emulation in its kernel), so Wine "
          "cannot start the installer; applying the same patch data natively with olkpack instead",
          file=sys.stderr)
    client = work / "native-client"
    if client.exists():
        shutil.rmtree(client)
    shutil.copytree(old, client)
    patch = work / member
    subprocess.run([str(native / "olkpack"), "extract", str(installer), member, "-o", str(patch)], check=True)
    subprocess.run([str(native / "olkpack"), "apply", str(client), str(patch)], check=True)
    problems = compare_trees(client, new)
    if problems:
        print("main job: FAILED\n  " + "\n  ".join(problems), file=sys.stderr)
        return 1
    print("main job: %s now equals the new build byte for byte (native apply; the Wine run was skipped)" % client)
    return 0


if __name__ == "__main__":
    sys.exit(main())
