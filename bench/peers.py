"""The public delta tools measured beside olkpack, with the settings the
README names. bsdiff, xdelta3, zstd and xz work on one file at a time: on a
tree pair they run once per new or changed file (an added file against an
empty one) and their figures are summed. HDiffPatch handles whole folders:
it runs once on the two trees (on the two files of a one-file pair)."""
import filecmp
import os
import subprocess


class FilePeer:
    """A tool run once per changed file."""

    def __init__(self, name, build, apply):
        self.name, self._build, self._apply = name, build, apply

    def setup(self, pair, tmp):
        empty = os.path.join(tmp, "nothing")
        with open(empty, "wb") as f:
            f.write(b"\0")
        self._files = [(old or empty, os.path.join(pair.new, rel), os.path.join(tmp, "%s.%d" % (self.name, i)))
                       for i, (rel, old) in enumerate(pair.changed)]

    def build_cmds(self):
        return [self._build(o, n, p) for o, n, p in self._files]

    def apply_cmds(self):
        return [self._apply(o, p, p + ".out") for o, _, p in self._files]

    def patch_bytes(self):
        return sum(os.path.getsize(p) for _, _, p in self._files)

    def round_trip(self):
        return all(filecmp.cmp(p + ".out", n, shallow=False) for _, n, p in self._files)


def file_peers(long_window=True):
    """bsdiff, xdelta3 (no decompression of .gz members: -D -R), zstd
    --patch-from and xz. `long_window` off leaves out the settings that a
    very large file cannot be given."""
    return [
        FilePeer("bsdiff", lambda o, n, p: ["bsdiff", o, n, p],
                 lambda o, p, out: ["bspatch", o, out, p]),
        FilePeer("xdelta3", lambda o, n, p: ["xdelta3", "-9", "-S", "djw", "-D", "-R", "-e", "-f", "-s", o, n, p],
                 lambda o, p, out: ["xdelta3", "-d", "-D", "-R", "-f", "-s", o, p, out]),
        FilePeer("zstd", lambda o, n, p: ["zstd", "-q", "-f", "-19", "--long=31", "--patch-from=" + o, n, "-o", p],
                 lambda o, p, out: ["zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + o, p, "-o", out]),
        FilePeer("xz", lambda o, n, p: ["sh", "-c", 'xz -9e -T1 -c "$0" > "$1"', n, p],
                 lambda o, p, out: ["sh", "-c", 'xz -d -c "$0" > "$1"', p, out]),
    ]


FORMAT2 = "olkpack format 2"


class OlkpackFormat2:
    """olkpack itself writing patch data format 2 (`--format-version 2`: no
    sources for moved files, no executable deltas), so that the format
    before them is measured beside today's. Two threads; applied in place
    into a fresh copy of the old tree, durable, as olkpack's headline
    figures are."""

    def __init__(self, olkpack):
        self.name = FORMAT2
        self.olkpack = olkpack

    def setup(self, pair, tmp):
        self._old, self._new = pair.old, pair.new
        self._patch = os.path.join(tmp, "olkpack-format2.pat")
        self._inst = os.path.join(tmp, "olkpack-format2.out")

    def build_cmds(self):
        return [[self.olkpack, "diff", self._old, self._new, "-o", self._patch, "--quiet", "--threads", "2",
                 "--format-version", "2"]]

    def prepare_cmd(self):
        """Run before every apply, outside the timing."""
        return ["sh", "-c", 'rm -rf "$0" && cp -a "$1" "$0"', self._inst, self._old]

    def apply_cmds(self):
        return [[self.olkpack, "apply", "--quiet", self._inst, self._patch]]

    def patch_bytes(self):
        return os.path.getsize(self._patch)

    def round_trip(self):
        return subprocess.run(["diff", "-r", "-q", self._inst, self._new], capture_output=True).returncode == 0


class HDiffPatch:
    """hdiffz/hpatchz on the whole trees (or the two files of a one-file
    pair). `stream` uses hdiffz's bounded-memory matcher (-s-64) instead of
    its in-memory one (-m-6)."""

    def __init__(self, folder, stream=False):
        self.name = "hdiffpatch"
        self.hdiffz, self.hpatchz = os.path.join(folder, "hdiffz"), os.path.join(folder, "hpatchz")
        self.matcher = "-s-64" if stream else "-m-6"

    def available(self):
        return os.access(self.hdiffz, os.X_OK) and os.access(self.hpatchz, os.X_OK)

    def setup(self, pair, tmp):
        if pair.single:
            self._old, self._new = os.path.join(pair.old, pair.single), os.path.join(pair.new, pair.single)
        else:
            self._old, self._new = pair.old, pair.new
        self._patch = os.path.join(tmp, "hdiffpatch.hdiff")
        self._out = os.path.join(tmp, "hdiffpatch.out")

    def build_cmds(self):
        return [[self.hdiffz, self.matcher, "-c-zstd-21-24", "-f", "-p-1", self._old, self._new, self._patch]]

    def apply_cmds(self):
        return [[self.hpatchz, "-s-3m", "-f", self._old, self._patch, self._out]]

    def patch_bytes(self):
        return os.path.getsize(self._patch)

    def round_trip(self):
        return subprocess.run(["diff", "-r", "-q", self._out, self._new], capture_output=True).returncode == 0
