"""Timing whole commands: GNU time for wall, CPU (user + system) and peak
resident memory, hyperfine for apply times at sub-millisecond resolution."""
import collections
import json
import os
import shlex
import signal
import statistics
import subprocess
import tempfile
import time

TIME = "/usr/bin/time"

# wall and cpu in seconds, peak in MiB
Stats = collections.namedtuple("Stats", "wall cpu peak")
# resident memory in bytes (the command and its children), wall seconds
Limits = collections.namedtuple("Limits", "resident seconds")


class CommandFailed(Exception):
    """A measured command ended with a non-zero status (or was killed)."""


def timed(cmd, limits=None):
    """Runs cmd once under GNU time; returns its Stats. With `limits`, the
    command is killed (and reported as failed) once its processes hold more
    resident memory or run longer than allowed."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as tf, tempfile.TemporaryFile() as err:
        p = subprocess.Popen([TIME, "-f", "%e %U %S %M", "-o", tf.name] + cmd, stdout=subprocess.DEVNULL,
                             stderr=err, start_new_session=bool(limits))
        over = _watch(p, limits) if limits else None
        p.wait()
        if over or p.returncode != 0:
            err.seek(0)
            tail = err.read().decode(errors="replace").strip().splitlines()[-1:] or ["no message"]
            what = shlex.join([os.path.basename(cmd[0])] + cmd[1:2])
            raise CommandFailed("%s: %s" % (what, over or "exit %d: %s" % (p.returncode, tail[0][:200])))
        wall, user, system, kib = tf.read().split()[-4:]
    return Stats(float(wall), float(user) + float(system), int(kib) / 1024.0)


def _watch(p, limits):
    """Polls the process tree of p; kills it when over a limit and says why."""
    start = time.monotonic()
    while p.poll() is None:
        over = None
        if time.monotonic() - start > limits.seconds:
            over = "killed after %d s" % limits.seconds
        elif _resident(p.pid) > limits.resident:
            over = "killed above %.0f MiB resident" % (limits.resident / (1 << 20))
        if over:
            os.killpg(p.pid, signal.SIGKILL)
            return over
        time.sleep(0.2)
    return None


def _resident(pid):
    """Resident bytes of pid and all its descendants."""
    total = 0
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1]) * 1024
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                total += sum(_resident(int(c)) for c in f.read().split())
    except (OSError, ValueError):
        pass  # the process ended meanwhile
    return total


def repeated(repeat, make_cmds, prepare=None, limits=None):
    """Runs the commands of make_cmds() (one after the other: a tool run once
    per file) `repeat` times, `prepare()` before each round outside the
    timing. Returns Stats: median of the summed wall and CPU seconds, the
    largest peak of any command."""
    walls, cpus, peaks = [], [], []
    for _ in range(repeat):
        if prepare:
            prepare()
        total = [timed(cmd, limits) for cmd in make_cmds()]
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
