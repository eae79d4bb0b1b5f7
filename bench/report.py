"""The benchmark's output: Markdown tables ready to paste into the README,
every figure and ratio of them computed here from one run."""

from peers import FORMAT2

# A peer's result counts in ratios only when its output reproduced the new
# files; a failed peer is listed, marked FAILED, and compared with nothing.


def usable(r):
    return r is not None and "error" not in r and r.get("ok")


def status(r):
    if "error" in r:
        return "FAILED (%s)" % r["error"].replace("|", "/")
    return "yes" if r["ok"] else "FAILED (output differs)"


def ratio(a, b):
    return "%.2f" % (a / b) if b else "-"


def num(n):
    return "{:,}".format(n)


def ms(seconds):
    return "%.1f" % (seconds * 1000)


def print_header(run):
    print("Run of %s, %s to %s UTC." % (run["command"], run["started"].strftime("%Y-%m-%d %H:%M"),
                                          run["finished"].strftime("%H:%M")))
    print()
    print("- Machine: %s; shared with other work while it ran, so times are noisy; bytes are exact." % run["machine"])
    print("- Tools: %s." % "; ".join(run["versions"]))
    print("- Builds: median wall and CPU (user + system) seconds of %d run(s) under GNU time; peak: the largest "
          "resident set. Applies: hyperfine, median of %d runs after 2 warm-up runs (no shell); peak from one "
          "GNU time run." % (run["repeat"], run["apply_runs"]))
    print("- olkpack builds with `--threads 1` and `--threads 2`; it applies in place into a fresh copy of the "
          "old tree (copied outside the timing), durable (the installer's way: new files flushed to disk before "
          "the commit) or with `--no-sync`. Headline figures: 2 threads, durable.")
    print("- Peers as they come: `hdiffz -m-6 -c-zstd-21-24 -f -p-1` (one thread) on the two trees, "
          "`hpatchz -s-3m -f` into a new folder; bsdiff; `xdelta3 -9 -S djw -D -R` (no recompression of "
          "gzip members); `zstd -19 --long=31 --patch-from`; `xz -9e -T1` of the new file. The per-file "
          "tools run once per new or changed file (an added one against a file of one zero byte, since bsdiff "
          "refuses an empty one), figures summed (peak: the largest); they never see a file's old copy under "
          "another name.")
    print("- A peer whose output did not reproduce the new files is marked FAILED and left out of every ratio.")
    print("- `%s`: olkpack writing patch data format 2 (`--format-version 2`: no sources for moved files, no "
          "executable deltas, no windowed LZ), two threads, durable; shown beside the others, but not a peer in the targets."
          % FORMAT2)
    if run["pairs"]:
        print("- Pairs: %s." % "; ".join(run["pairs"]))
    for note in run["notes"]:
        print("- %s." % note)
    print()


def print_ours(rows):
    print("### olkpack: one and two threads, durable and not")
    print()
    print("| pair | new or changed files | patch bytes | same bytes, 1 and 2 threads | build s, 1 thread "
          "| CPU s | build s, 2 threads | CPU s | build MiB, 1 / 2 threads | apply ms, durable "
          "| apply ms, --no-sync | apply MiB, durable / --no-sync | round trip |")
    print("|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for pair, res in rows:
        o = res["olkpack"]
        if "error" in o:
            print("| %s | %d | %s |" % (pair.name, len(pair.changed), status(o)))
            continue
        b1, b2 = o["build1"], o["build2"]
        print("| %s | %d | %s | %s | %.2f | %.2f | %.2f | %.2f | %.0f / %.0f | %s | %s | %.0f / %.0f | %s |" % (
            pair.name, len(pair.changed), num(o["bytes"]), "yes" if o["same"] else "NO", b1.wall, b1.cpu, b2.wall,
            b2.cpu, b1.peak, b2.peak, ms(o["apply_durable"]), ms(o["apply_nosync"]), o["apeak_durable"],
            o["apeak_nosync"], status(o)))
    print()


def print_all_tools(rows):
    print("### Every tool (olkpack: 2 threads, durable)")
    print()
    print("| pair | tool | patch bytes | build s | build CPU s | build MiB | apply ms | apply MiB | round trip |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---|")
    for pair, res in rows:
        for tool, r in res.items():
            if "error" in r:
                print("| %s | %s | | | | | | | %s |" % (pair.name, tool, status(r)))
                continue
            b = r["build2"] if tool == "olkpack" else r["build"]
            aw = r["apply_durable"] if tool == "olkpack" else r["apply"]
            am = r["apeak_durable"] if tool == "olkpack" else r["apeak"]
            print("| %s | %s | %s | %.2f | %.2f | %.0f | %s | %.0f | %s |" % (
                pair.name, tool, num(r["bytes"]), b.wall, b.cpu, b.peak, ms(aw), am, status(r)))
    print()


def print_ratios(rows):
    print("### olkpack ÷ peer")
    print()
    print("| pair | peer | bytes | build s, 2 threads | build s, 1 thread | build CPU s, 2 threads | build MiB "
          "| apply, durable | apply, --no-sync | apply MiB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for pair, res in rows:
        o = res["olkpack"]
        if "error" in o:
            continue
        for tool, r in res.items():
            if tool == "olkpack":
                continue
            if not usable(r):
                print("| %s | %s | FAILED | | | | | | | |" % (pair.name, tool))
                continue
            b = r["build"]
            print("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                pair.name, tool, ratio(o["bytes"], r["bytes"]), ratio(o["build2"].wall, b.wall),
                ratio(o["build1"].wall, b.wall), ratio(o["build2"].cpu, b.cpu), ratio(o["build2"].peak, b.peak),
                ratio(o["apply_durable"], r["apply"]), ratio(o["apply_nosync"], r["apply"]),
                ratio(o["apeak_durable"], r["apeak"])))
    print()


def print_targets(rows):
    print("### Against the targets (olkpack: 2 threads, durable)")
    print()
    print("| pair | bytes ÷ smallest peer (≤ 0.9) | build ÷ hdiffz (≤ 1.0) | build ÷ bsdiff (≤ 0.5) "
          "| build MiB ÷ bsdiff (≤ 1.0) | apply ÷ faster of hpatchz and zstd (≤ 1.0) | apply peak MiB (≤ 16) |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for pair, res in rows:
        o = res["olkpack"]
        if "error" in o:
            print("| %s | %s |" % (pair.name, status(o)))
            continue
        peers = {t: r for t, r in res.items() if t not in ("olkpack", FORMAT2) and usable(r)}
        smallest = min(peers, key=lambda t: peers[t]["bytes"]) if peers else None
        hdp, bsd = peers.get("hdiffpatch"), peers.get("bsdiff")
        fast = [peers[t] for t in ("hdiffpatch", "zstd") if t in peers]
        fastest = min(fast, key=lambda r: r["apply"]) if fast else None
        print("| %s | %s | %s | %s | %s | %s | %.0f |" % (
            pair.name,
            "%s (%s)" % (ratio(o["bytes"], peers[smallest]["bytes"]), smallest) if smallest else "-",
            ratio(o["build2"].wall, hdp["build"].wall) if hdp else "-",
            ratio(o["build2"].wall, bsd["build"].wall) if bsd else "-",
            ratio(o["build2"].peak, bsd["build"].peak) if bsd else "-",
            ratio(o["apply_durable"], fastest["apply"]) if fastest else "-",
            o["apeak_durable"]))
    print()


def print_large(run, large):
    res, skipped = large
    gib = run["large_pack_gib"]
    mem, seconds = run["large_pack_limits"]
    print("### Generated large pack: %g GiB, 5 MiB of scattered changes" % gib)
    print()
    print("Old: %g GiB of pseudo-random bytes (fixed seed); new: the same with 80 blocks of 64 KiB spread over it, "
          "half inserted, half overwriting. One build and one apply per tool; a command is stopped (FAILED) "
          "above %g GiB resident or after %d s. olkpack: `--threads 2`, durable. hdiffz in its stream mode "
          "(`-s-64`)." % (gib, mem, seconds))
    print()
    print("| tool | patch bytes | build s | build CPU s | build MiB | apply s | apply MiB | round trip |")
    print("|---|---:|---:|---:|---:|---:|---:|---|")
    for tool, r in res.items():
        if "error" in r:
            print("| %s | | | | | | | %s |" % (tool, status(r)))
            continue
        b = r["build2"] if tool == "olkpack" else r["build"]
        aw = r["apply_durable"] if tool == "olkpack" else r["apply"]
        am = r["apeak_durable"] if tool == "olkpack" else r["apeak"]
        print("| %s | %s | %.1f | %.1f | %.0f | %.1f | %.0f | %s |" % (
            tool, num(r["bytes"]), b.wall, b.cpu, b.peak, aw, am, status(r)))
    print()
    for line in skipped:
        print("- %s" % line)
    o = res.get("olkpack", {})
    if usable(o):
        print("- Targets: patch %s MiB (≤ 12), build peak %.0f MiB (≤ 2048), apply peak %.0f MiB (≤ 16)." % (
            "%.1f" % (o["bytes"] / (1 << 20)), o["build2"].peak, o["apeak_durable"]))
    print()


def print_all(run, rows, large):
    print_header(run)
    if rows:
        print_ours(rows)
        print_all_tools(rows)
        print_ratios(rows)
        print_targets(rows)
    if large:
        print_large(run, large)
