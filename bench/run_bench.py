#!/usr/bin/env python3
"""Patch benchmark: olkpack against the public delta tools, on real version
pairs fetched when the benchmark runs (never committed).

For every pair and tool it measures the patch bytes, the build's and the
apply's wall seconds and peak resident MiB (GNU time), and prints our figures
divided by each peer's. Whole commands are timed, each run REPEAT times
(median wall, largest peak).

  bench/run_bench.py --olkpack build/native/olkpack [--repeat 3] [--work DIR]

Apply wall times are medians of hyperfine runs (--apply-runs, after two
warm-up runs, sub-millisecond resolution); their peaks come from one GNU
time run. olkpack's install folder is copied afresh before every run,
outside the timing.

Peers work on single files, so on a tree pair each peer is run once per
changed file (and on each added file against an empty one) and the figures
are summed (peak: the largest). olkpack runs once on the whole trees. Apply
figures for olkpack are given without the flushes to disk that the installer
makes (the peers make none), and separately with them.

Needs: npm, apt-get, dpkg-deb, bsdiff, xdelta3, zstd, xz, GNU time, hyperfine.
"""
import argparse
import filecmp
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile

PAIRS = [
    # name, kind, old version, new version, subpath inside the unpacked package
    ("esbuild win32-ia32 exe", "npm", "@esbuild/win32-ia32@0.28.1", "@esbuild/win32-ia32@0.28.2", "package/esbuild.exe"),
    ("typescript tree", "npm", "typescript@5.8.2", "typescript@5.8.3", "package"),
    ("xvfb tree", "deb", "xvfb=2:21.1.7-3+deb12u12", "xvfb=2:21.1.7-3+deb12u13", "tree"),
    # further real pairs: an x86-64 executable, and a tree of many files
    ("esbuild linux-x64 exe", "npm", "@esbuild/linux-x64@0.28.1", "@esbuild/linux-x64@0.28.2", "package/bin/esbuild"),
    ("prettier tree", "npm", "prettier@3.5.2", "prettier@3.5.3", "package"),
]

TIME = "/usr/bin/time"


def run(cmd, cwd=None):
    """Runs cmd under GNU time; returns (seconds, peak MiB)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as tf:
        p = subprocess.run([TIME, "-f", "%e %M", "-o", tf.name] + cmd, cwd=cwd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if p.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(cmd), p.stderr.decode(errors="replace")[-500:]))
        wall, kb = tf.read().split()[-2:]
        return float(wall), int(kb) / 1024.0


def hyper(cmds, runs, prepare=None):
    """Sum over cmds of each command's median wall seconds, measured with
    hyperfine (sub-millisecond resolution, no shell, warm-up runs first).
    `prepare` is a command list run before every timed run."""
    total = 0.0
    for cmd in cmds:
        with tempfile.NamedTemporaryFile("r", suffix=".json") as jf:
            hcmd = ["hyperfine", "-N", "--style", "none", "--warmup", "2", "--runs", str(runs),
                    "--export-json", jf.name]
            if prepare:
                hcmd += ["--prepare", shlex.join(prepare)]
            p = subprocess.run(hcmd + [shlex.join(cmd)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if p.returncode != 0:
                raise RuntimeError("hyperfine %s failed: %s" % (" ".join(cmd), p.stderr.decode(errors="replace")[-500:]))
            total += json.load(jf)["results"][0]["median"]
    return total


def fetch(work, kind, pkg):
    """Unpacks one package version under work (once); returns its folder."""
    dest = os.path.join(work, pkg.replace("/", "_").replace("@", "_").replace("=", "_").replace(":", "_"))
    if os.path.isdir(dest):
        return dest
    tmp = dest + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    if kind == "npm":
        out = subprocess.run(["npm", "pack", "--silent", pkg], cwd=tmp, check=True, capture_output=True, text=True)
        tgz = os.path.join(tmp, out.stdout.strip().splitlines()[-1])
        subprocess.run(["tar", "xzf", tgz], cwd=tmp, check=True)
        os.remove(tgz)
    else:
        subprocess.run(["apt-get", "download", "-qq", pkg], cwd=tmp, check=True, capture_output=True)
        deb = [f for f in os.listdir(tmp) if f.endswith(".deb")][0]
        subprocess.run(["dpkg-deb", "-x", os.path.join(tmp, deb), os.path.join(tmp, "tree")], check=True)
        os.remove(os.path.join(tmp, deb))
    os.rename(tmp, dest)
    return dest


def as_tree(path, work, name):
    """A single file becomes a one-file tree, so that olkpack sees a folder."""
    if os.path.isdir(path):
        return path
    d = os.path.join(work, "single", name)
    os.makedirs(d, exist_ok=True)
    target = os.path.join(d, os.path.basename(path))
    if not os.path.exists(target):
        shutil.copyfile(path, target)
    return d


def changed_files(old, new):
    """(relative path, old path or None) of every file that is new or changed."""
    out = []
    for root, _, files in os.walk(new):
        for f in sorted(files):
            n = os.path.join(root, f)
            rel = os.path.relpath(n, new)
            o = os.path.join(old, rel)
            if os.path.isfile(o):
                if not filecmp.cmp(o, n, shallow=False):
                    out.append((rel, o))
            else:
                out.append((rel, None))
    return sorted(out)


def median_run(repeat, make_cmds, prepare=None):
    """Runs the command list make_cmds() `repeat` times; returns (median wall, max peak)."""
    walls, peaks = [], []
    for _ in range(repeat):
        if prepare:
            prepare()
        total, peak = 0.0, 0.0
        for cmd in make_cmds():
            w, m = run(cmd)
            total += w
            peak = max(peak, m)
        walls.append(total)
        peaks.append(peak)
    return statistics.median(walls), max(peaks)


def peer_tools(empty):
    """name -> (build command, apply command, patch suffix) for one file."""
    return {
        "bsdiff": (lambda o, n, p: ["bsdiff", o or empty, n, p],
                   lambda o, p, out: ["bspatch", o or empty, out, p]),
        "xdelta3": (lambda o, n, p: ["xdelta3", "-9", "-S", "djw", "-e", "-f"] + (["-s", o] if o else []) + [n, p],
                    lambda o, p, out: ["xdelta3", "-d", "-f"] + (["-s", o] if o else []) + [p, out]),
        "zstd": (lambda o, n, p: ["zstd", "-q", "-f", "-19", "--long=31"] + (["--patch-from=" + o] if o else []) + [n, "-o", p],
                 lambda o, p, out: ["zstd", "-q", "-f", "-d", "--long=31"] + (["--patch-from=" + o] if o else []) + [p, "-o", out]),
        "xz": (lambda o, n, p: ["sh", "-c", 'xz -9e -T1 -c "$0" > "$1"', n, p],
               lambda o, p, out: ["sh", "-c", 'xz -d -c "$0" > "$1"', p, out]),
    }


def bench_pair(args, work, name, old, new):
    res = {}
    tmp = os.path.join(work, "run")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    files = changed_files(old, new)
    empty = os.path.join(tmp, "empty")
    open(empty, "wb").close()

    # olkpack
    pat = os.path.join(tmp, "ours.pat")
    w, m = median_run(args.repeat, lambda: [[args.olkpack, "diff", old, new, "-o", pat, "--quiet"]])
    size = os.path.getsize(pat)
    first = open(pat, "rb").read()
    subprocess.run([args.olkpack, "diff", old, new, "-o", pat + "2", "--quiet"], check=True)
    deterministic = open(pat + "2", "rb").read() == first
    inst = os.path.join(tmp, "install")

    def fresh():
        shutil.rmtree(inst, ignore_errors=True)
        shutil.copytree(old, inst)

    apply_cmd = [args.olkpack, "apply", "--quiet", "--no-sync", inst, pat]
    _, am = median_run(1, lambda: [apply_cmd], fresh)
    ok = subprocess.run(["diff", "-r", inst, new], capture_output=True).returncode == 0
    refresh = ["sh", "-c", 'rm -rf "$0" && cp -r "$1" "$0"', inst, old]
    aw = hyper([apply_cmd], args.apply_runs, refresh)
    dw, dm = median_run(args.repeat, lambda: [[args.olkpack, "apply", "--quiet", inst, pat]], fresh)
    res["olkpack"] = dict(bytes=size, bw=w, bm=m, aw=aw, am=am, ok=ok, det=deterministic, dw=dw, dm=dm)

    for tool, (mk, ap) in peer_tools(empty).items():
        outs = [(rel, o, os.path.join(new, rel), os.path.join(tmp, "%s.%d" % (tool, i))) for i, (rel, o) in enumerate(files)]
        w, m = median_run(args.repeat, lambda: [mk(o, n, p) for _, o, n, p in outs])
        size = sum(os.path.getsize(p) for _, _, _, p in outs)
        _, am = median_run(1, lambda: [ap(o, p, p + ".out") for _, o, _, p in outs])
        ok = all(filecmp.cmp(p + ".out", n, shallow=False) for _, _, n, p in outs)
        aw = hyper([ap(o, p, p + ".out") for _, o, _, p in outs], args.apply_runs)
        res[tool] = dict(bytes=size, bw=w, bm=m, aw=aw, am=am, ok=ok)
    return res, len(files)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--olkpack", required=True)
    ap.add_argument("--repeat", type=int, default=3, help="runs of each build (GNU time; median)")
    ap.add_argument("--apply-runs", type=int, default=20, help="timed runs of each apply (hyperfine; median)")
    ap.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "olk-bench"))
    ap.add_argument("--pairs", default="", help="comma-separated substrings of pair names to run")
    args = ap.parse_args()
    args.olkpack = os.path.abspath(args.olkpack)
    os.makedirs(args.work, exist_ok=True)

    rows = []
    for name, kind, a, b, sub in PAIRS:
        if args.pairs and not any(s in name for s in args.pairs.split(",")):
            continue
        old = as_tree(os.path.join(fetch(args.work, kind, a), sub), args.work, name.replace(" ", "_") + "_old")
        new = as_tree(os.path.join(fetch(args.work, kind, b), sub), args.work, name.replace(" ", "_") + "_new")
        res, nfiles = bench_pair(args, args.work, name, old, new)
        rows.append((name, nfiles, res))
        sys.stderr.write("done: %s\n" % name)

    print("| pair | tool | patch bytes | build s | build MiB | apply s | apply MiB | correct |")
    print("|---|---|---:|---:|---:|---:|---:|---|")
    for name, nfiles, res in rows:
        for tool, r in res.items():
            print("| %s (%d files) | %s | %d | %.2f | %.0f | %.3f | %.0f | %s |" % (
                name, nfiles, tool, r["bytes"], r["bw"], r["bm"], r["aw"], r["am"], "yes" if r["ok"] else "NO"))
        o = res["olkpack"]
        print("| %s | olkpack, flushed to disk | | | | %.3f | %.0f | |" % (name, o["dw"], o["dm"]))
    print()
    print("Ratios, olkpack / peer (targets: bytes <= 0.9 of the smallest peer, build <= 0.5 of bsdiff,")
    print("apply <= 1.0 of zstd; peak apply memory <= 64 MiB):")
    print()
    print("| pair | peer | bytes | build s | build MiB | apply s | apply MiB |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for name, _, res in rows:
        o = res["olkpack"]
        for tool, r in res.items():
            if tool == "olkpack":
                continue
            f = lambda a, b: "%.2f" % (a / b) if b else "-"
            print("| %s | %s | %s | %s | %s | %s | %s |" % (name, tool, f(o["bytes"], r["bytes"]), f(o["bw"], r["bw"]),
                                                          f(o["bm"], r["bm"]), f(o["aw"], r["aw"]), f(o["am"], r["am"])))
        smallest = min(r["bytes"] for t, r in res.items() if t != "olkpack")
        print("| %s | smallest peer | %.2f | | | | |" % (name, o["bytes"] / smallest))
        print("| %s | same bytes twice | %s | | | | |" % (name, "yes" if o["det"] else "NO"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
