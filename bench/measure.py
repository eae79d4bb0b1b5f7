"""Timing whole commands: GNU time for wall, CPU (user + system) and peak
resident memory, hyperfine for apply times at sub-millisecond resolution."""
import collections
import json
import shlex
import statistics
import subprocess
import tempfile

TIME = "/usr/bin/time"

# wall and cpu in seconds, peak in MiB
Stats = collections.namedtuple("Stats", "wall cpu peak")


class CommandFailed(Exception):
    """A measured command ended with a non-zero status (or was killed)."""


def timed(cmd, limit=None):
    """Runs cmd once under GNU time; returns its Stats. `limit` is a command
    prefix (timeout, prlimit) that the measured command runs under."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as tf:
        p = subprocess.run([TIME, "-f", "%e %U %S %M", "-o", tf.name] + (limit or []) + cmd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if p.returncode != 0:
            tail = p.stderr.decode(errors="replace").strip().splitlines()[-1:] or ["no message"]
            raise CommandFailed("%s: exit %d: %s" % (shlex.join(cmd[:2]), p.returncode, tail[0][:200]))
        wall, user, system, kib = tf.read().split()[-4:]
    return Stats(float(wall), float(user) + float(system), int(kib) / 1024.0)


def repeated(repeat, make_cmds, prepare=None, limit=None):
    """Runs the commands of make_cmds() (one after the other: a tool run once
    per file) `repeat` times, `prepare()` before each round outside the
    timing. Returns Stats: median of the summed wall and CPU seconds, the
    largest peak of any command."""
    walls, cpus, peaks = [], [], []
    for _ in range(repeat):
        if prepare:
            prepare()
        total = [timed(cmd, limit) for cmd in make_cmds()]
        walls.append(sum(s.wall for s in total))
        cpus.append(sum(s.cpu for s in total))
        peaks.append(max((s.peak for s in total), default=0.0))
    return Stats(statistics.median(walls), statistics.median(cpus), max(peaks))


def hyperfine(cmds, runs, prepare=None):
    """Sum over cmds of each command's median wall seconds over `runs` timed
    runs (after two warm-up runs; no shell). `prepare` is a command run
    before every run, outside the timing."""
    total = 0.0
    for cmd in cmds:
        with tempfile.NamedTemporaryFile("r", suffix=".json") as jf:
            hcmd = ["hyperfine", "-N", "--style", "none", "--warmup", "2", "--runs", str(runs),
                    "--export-json", jf.name]
            if prepare:
                hcmd += ["--prepare", shlex.join(prepare)]
            p = subprocess.run(hcmd + [shlex.join(cmd)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if p.returncode != 0:
                raise CommandFailed("hyperfine %s: %s" % (shlex.join(cmd[:2]),
                                                          p.stderr.decode(errors="replace").strip()[-200:]))
            total += json.load(jf)["results"][0]["median"]
    return total
