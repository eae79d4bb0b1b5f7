#!/usr/bin/python3
"""Patch benchmark: olkpack against the public delta tools, on real version
pairs fetched when it runs and pairs generated from them (never committed).

For every pair and tool it measures the patch bytes; the build's wall and
CPU seconds (user + system) and peak resident MiB under GNU time (median of
--repeat runs, largest peak); the apply's wall time with hyperfine (median
of --apply-runs after two warm-up runs) and its peak from one GNU time run;
and whether the apply reproduced the new files. It prints everything as
Markdown: the figures, olkpack's divided by each peer's, and the targets.

olkpack builds with one thread and with two (--threads 1, --threads 2) and
applies with durability on (the installer's way: every new file flushed to
disk before the commit) and off (--no-sync); the headline figures are two
threads and durability on. The peers run as they come (hdiffz with -p-1:
one thread). A peer whose output does not reproduce the new files is
marked FAILED and left out of every ratio.

  bench/run_bench.py --olkpack build/native/olkpack --chart docs/bench.png
  bench/run_bench.py --olkpack build/native/olkpack --large-pack 3

Needs: bench/bootstrap-bench.sh (npm, bsdiff, xdelta3, zstd, xz, GNU time,
hyperfine, matplotlib); HDiffPatch's hdiffz and hpatchz in --peers.
"""
import argparse
import collections
import datetime
import filecmp
import os
import platform
import shlex
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import large_pack  # noqa: E402
import report  # noqa: E402
from measure import CommandFailed, Limits, hyperfine, repeated, timed  # noqa: E402
from peers import HDiffPatch, OlkpackFormat2, file_peers  # noqa: E402

# name, trees, the one file of a one-file pair (else None), and
# (relative path, old path or None) of every new or changed file
Pair = collections.namedtuple("Pair", "name old new single changed")


def log(line):
    sys.stderr.write(line + "\n")
    sys.stderr.flush()


def changed_files(old, new):
    out = []
    for root, _, files in os.walk(new):
        for f in files:
            n = os.path.join(root, f)
            rel = os.path.relpath(n, new)
            o = os.path.join(old, rel)
            if not os.path.isfile(o):
                out.append((rel, None))
            elif not filecmp.cmp(o, n, shallow=False):
                out.append((rel, o))
    return sorted(out)


def same_trees(a, b):
    return subprocess.run(["diff", "-r", "-q", a, b], capture_output=True).returncode == 0


def bench_ours(args, pair, tmp, repeat, apply_runs, limits=None, thread_counts=(1, 2),
               apply_modes=("durable", "nosync")):
    """olkpack diff with each thread count; olkpack apply durable (the
    installer's way) and with --no-sync."""
    r = {}
    outputs = {}
    for threads in thread_counts:
        out = os.path.join(tmp, "ours.t%d.pat" % threads)
        cmd = [args.olkpack, "diff", pair.old, pair.new, "-o", out, "--quiet", "--threads", str(threads)]
        r["build%d" % threads] = repeated(repeat, lambda: [cmd], limits=limits)
        outputs[threads] = out
    last = outputs[thread_counts[-1]]
    r["bytes"] = os.path.getsize(last)
    r["same"] = all(filecmp.cmp(p, last, shallow=False) for p in outputs.values())

    inst = os.path.join(tmp, "install")

    def fresh():
        shutil.rmtree(inst, ignore_errors=True)
        shutil.copytree(pair.old, inst, symlinks=True)

    r["ok"] = True
    for mode in apply_modes:
        extra = ["--no-sync"] if mode == "nosync" else []
        cmd = [args.olkpack, "apply", "--quiet"] + extra + [inst, last]
        fresh()
        stats = timed(cmd, limits)
        r["apeak_" + mode] = stats.peak
        r["ok"] = r["ok"] and same_trees(inst, pair.new)
        if apply_runs:
            refresh = ["sh", "-c", 'rm -rf "$0" && cp -a "$1" "$0"', inst, pair.old]
            r["apply_" + mode] = hyperfine([cmd], apply_runs, refresh)
        else:
            r["apply_" + mode] = stats.wall
    shutil.rmtree(inst, ignore_errors=True)
    return r


def bench_peer(peer, pair, tmp, repeat, apply_runs, limits=None):
    peer.setup(pair, tmp)
    r = {"build": repeated(repeat, peer.build_cmds, limits=limits)}
    r["bytes"] = peer.patch_bytes()
    prepare = peer.prepare_cmd() if hasattr(peer, "prepare_cmd") else None
    if prepare:
        subprocess.run(prepare, check=True)
    apply_stats = repeated(1, peer.apply_cmds, limits=limits)
    r["apeak"] = apply_stats.peak
    r["ok"] = peer.round_trip()
    r["apply"] = hyperfine(peer.apply_cmds(), apply_runs, prepare) if apply_runs else apply_stats.wall
    return r


def bench_pair(args, pair):
    tmp = os.path.join(args.work, "run")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    res = {}
    log("%s: olkpack" % pair.name)
    try:
        res["olkpack"] = bench_ours(args, pair, tmp, args.repeat, args.apply_runs)
    except CommandFailed as e:
        res["olkpack"] = {"error": str(e)}
    for peer in args.peer_tools:
        log("%s: %s" % (pair.name, peer.name))
        try:
            res[peer.name] = bench_peer(peer, pair, tmp, args.repeat, args.apply_runs)
        except CommandFailed as e:
            res[peer.name] = {"error": str(e)}
    shutil.rmtree(tmp, ignore_errors=True)
    return res


def bench_large_pack(args):
    """The generated large pack: one build and one apply of each tool that
    can take it, every command under the time and memory limits."""
    folder = os.path.join(args.work, "large-pack")
    old, new = large_pack.write_pair(folder, args.large_pack, log)
    pair = Pair("large pack", old, new, "data.pak", [("data.pak", os.path.join(old, "data.pak"))])
    tmp = os.path.join(folder, "run")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    limits = Limits(int(args.large_pack_mem * (1 << 30)), args.large_pack_timeout)
    res, skipped = {}, []
    log("large pack: olkpack")
    try:
        res["olkpack"] = bench_ours(args, pair, tmp, 1, 0, limits, thread_counts=(2,), apply_modes=("durable",))
    except CommandFailed as e:
        res["olkpack"] = {"error": str(e)}
    peers = []
    if args.hdiffpatch:
        peers.append(HDiffPatch(args.peers, stream=True))
    by_name = {p.name: p for p in file_peers()}
    peers += [by_name["xdelta3"], by_name["zstd"]]
    skipped.append("bsdiff: not run (it needs about 17 times the old file in memory)")
    skipped.append("xz: not run (compressing the whole pack; no delta)")
    for peer in peers:
        log("large pack: %s" % peer.name)
        try:
            res[peer.name] = bench_peer(peer, pair, tmp, 1, 0, limits)
        except CommandFailed as e:
            res[peer.name] = {"error": str(e)}
        for f in os.listdir(tmp):  # the outputs take GBs
            if f.endswith(".out"):
                p = os.path.join(tmp, f)
                shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)
    shutil.rmtree(tmp, ignore_errors=True)
    return res, skipped


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / (1 << 20)
    return "%d cores (%s), %.0f GiB memory, Linux %s" % (os.cpu_count(), model, mem, platform.release())


def versions(args):
    def first_line(cmd):
        try:
            p = subprocess.run(cmd, capture_output=True, text=True)
            return (p.stdout + p.stderr).strip().splitlines()[0]
        except (OSError, IndexError):
            return "?"
    out = [first_line([args.olkpack, "--version"]), first_line(["xdelta3", "-V"]),
           first_line(["zstd", "-V"]).strip("* "), first_line(["xz", "-V"]),
           "bsdiff " + first_line(["dpkg-query", "-W", "-f=${Version}", "bsdiff"])]
    if args.hdiffpatch:
        out.append(first_line([os.path.join(args.peers, "hdiffz"), "-v"]))
    return out


def check_tools(args):
    need = ["npm", "apt-get", "dpkg-deb", "bsdiff", "bspatch", "xdelta3", "zstd", "xz", "hyperfine", "diff"]
    missing = [t for t in need if not shutil.which(t)]
    if not os.access("/usr/bin/time", os.X_OK):
        missing.append("/usr/bin/time")
    if missing:
        sys.exit("run_bench.py: missing %s; run bash bench/bootstrap-bench.sh" % ", ".join(missing))
    if args.chart:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            sys.exit("run_bench.py: --chart needs matplotlib (Debian's python3-matplotlib, for /usr/bin/python3); "
                     "run bash bench/bootstrap-bench.sh")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--olkpack", required=True, help="the olkpack program to measure")
    ap.add_argument("--peers", default="/work/shared/bench-peers",
                    help="folder of HDiffPatch's hdiffz and hpatchz (default: %(default)s)")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each build (GNU time; median)")
    ap.add_argument("--apply-runs", type=int, default=20, help="timed runs of each apply (hyperfine; median)")
    ap.add_argument("--work", default="/tmp/olk-bench", help="where packages are unpacked and tools run")
    ap.add_argument("--pairs", default="", help="comma-separated substrings of the pair names to run")
    ap.add_argument("--chart", metavar="PNG", help="draw the ratios into this PNG file")
    ap.add_argument("--large-pack", type=float, metavar="GIB", default=0,
                    help="also measure a generated pack of GIB GiB with 5 MiB of scattered changes "
                         "(needs about 4 times GIB GiB of disk, and minutes; off by default)")
    ap.add_argument("--large-pack-mem", type=float, default=8, metavar="GIB",
                    help="resident memory above which a command on the large pack is stopped and counted as "
                         "failed (default: %(default)s; the machine is shared)")
    ap.add_argument("--large-pack-timeout", type=int, default=1800, metavar="SECONDS",
                    help="time limit of every command on the large pack (default: %(default)s)")
    args = ap.parse_args()
    args.olkpack = os.path.abspath(args.olkpack)
    args.peers = os.path.abspath(args.peers)
    check_tools(args)
    os.makedirs(args.work, exist_ok=True)

    hdp = HDiffPatch(args.peers)
    args.hdiffpatch = hdp.available()
    notes = []
    if not args.hdiffpatch:
        notes.append("HDiffPatch skipped: no hdiffz and hpatchz in %s" % args.peers)
        log(notes[-1])
    args.peer_tools = [OlkpackFormat2(args.olkpack)] + ([hdp] if args.hdiffpatch else []) + file_peers()

    started = datetime.datetime.now(datetime.timezone.utc)
    rows, pairs = [], []
    for entry in corpus.PAIRS:
        if args.pairs and not any(s in entry[0] for s in args.pairs.split(",")):
            continue
        old, new, single = corpus.pair_trees(args.work, entry)
        pair = Pair(entry[0], old, new, single, changed_files(old, new))
        pairs.append(corpus.describe(entry))
        rows.append((pair, bench_pair(args, pair)))
    large = bench_large_pack(args) if args.large_pack else None
    finished = datetime.datetime.now(datetime.timezone.utc)

    run = dict(command=shlex.join([os.path.relpath(sys.argv[0])] + sys.argv[1:]), machine=machine(),
               started=started, finished=finished, versions=versions(args), notes=notes, pairs=pairs,
               repeat=args.repeat, apply_runs=args.apply_runs, large_pack_gib=args.large_pack,
               large_pack_limits=(args.large_pack_mem, args.large_pack_timeout))
    report.print_all(run, rows, large)
    if args.chart:
        import chart
        pack = [(Pair("large pack %g GiB" % args.large_pack, "", "", None, []), large[0])] if large else []
        chart.draw(rows + pack, args.chart)
        print("Chart written to %s." % args.chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
