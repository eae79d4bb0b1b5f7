"""The benchmark's version pairs: real releases fetched when the benchmark
runs (npm packages with `npm pack`, Debian packages with `apt-get
download`), and pairs generated from them at run time. Nothing is
committed."""
import os
import random
import shutil
import subprocess

# name, kind, old, new, path inside the unpacked package ("" for the whole)
PAIRS = [
    ("esbuild win32-ia32 exe", "npm", "@esbuild/win32-ia32@0.28.1", "@esbuild/win32-ia32@0.28.2",
     "package/esbuild.exe"),
    ("typescript tree", "npm", "typescript@5.8.2", "typescript@5.8.3", "package"),
    ("xvfb tree", "deb", "xvfb=2:21.1.7-3+deb12u12", "xvfb=2:21.1.7-3+deb12u13", "tree"),
    ("esbuild linux-x64 exe", "npm", "@esbuild/linux-x64@0.28.1", "@esbuild/linux-x64@0.28.2", "package/bin/esbuild"),
    ("prettier tree", "npm", "prettier@3.5.2", "prettier@3.5.3", "package"),
    # a 94 MB 32-bit DLL built with MSVC, consecutive releases
    ("next-swc win32-ia32 dll", "npm", "@next/swc-win32-ia32-msvc@14.2.24", "@next/swc-win32-ia32-msvc@14.2.25",
     "package/next-swc.win32-ia32-msvc.node"),
    # the same program several releases apart
    ("esbuild win32-ia32 far apart", "npm", "@esbuild/win32-ia32@0.24.0", "@esbuild/win32-ia32@0.28.2",
     "package/esbuild.exe"),
    # the prettier pair with a renamed data pack and a moved folder
    ("renamed+moved tree", "renamed", "prettier@3.5.2", "prettier@3.5.3", "package"),
]


def fetch(work, kind, pkg):
    """Unpacks one package version under work (once); returns its folder."""
    dest = os.path.join(work, pkg.replace("/", "_").replace("@", "_").replace("=", "_").replace(":", "_"))
    if os.path.isdir(dest):
        return dest
    tmp = dest + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    if kind == "deb":
        subprocess.run(["apt-get", "download", "-qq", pkg], cwd=tmp, check=True, capture_output=True)
        deb = [f for f in os.listdir(tmp) if f.endswith(".deb")][0]
        subprocess.run(["dpkg-deb", "-x", os.path.join(tmp, deb), os.path.join(tmp, "tree")], check=True)
        os.remove(os.path.join(tmp, deb))
    else:
        out = subprocess.run(["npm", "pack", "--silent", pkg], cwd=tmp, check=True, capture_output=True, text=True)
        tgz = os.path.join(tmp, out.stdout.strip().splitlines()[-1])
        subprocess.run(["tar", "xzf", tgz], cwd=tmp, check=True)
        os.remove(tgz)
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


def renamed_and_moved(work, old_tree, new_tree):
    """Two builds made from a real pair as a game's builds differ: a data
    pack renamed with the build number (data_3550.pak -> data_3551.pak)
    and changed in a few places, and a folder moved (plugins/ ->
    lib/plugins/, changed and unchanged files in it). The same bytes on
    every run."""
    base = os.path.join(work, "renamed_moved")
    old, new = os.path.join(base, "old"), os.path.join(base, "new")
    if os.path.isdir(new):
        return old, new
    shutil.rmtree(base, ignore_errors=True)
    shutil.copytree(old_tree, old)
    shutil.copytree(new_tree, new + ".tmp")
    rng = random.Random(3550)
    pack = bytearray(rng.randbytes(4 << 20))  # compressed assets: incompressible
    os.makedirs(os.path.join(old, "data"))
    with open(os.path.join(old, "data", "data_3550.pak"), "wb") as f:
        f.write(pack)
    for _ in range(16):  # changed records
        at = rng.randrange(len(pack) - 1024)
        pack[at:at + 1024] = rng.randbytes(1024)
    for _ in range(4):  # added records
        at = rng.randrange(len(pack))
        pack[at:at] = rng.randbytes(4096)
    os.makedirs(os.path.join(new + ".tmp", "data"))
    with open(os.path.join(new + ".tmp", "data", "data_3551.pak"), "wb") as f:
        f.write(pack)
    os.makedirs(os.path.join(new + ".tmp", "lib"))
    os.rename(os.path.join(new + ".tmp", "plugins"), os.path.join(new + ".tmp", "lib", "plugins"))
    os.rename(new + ".tmp", new)
    return old, new


def pair_trees(work, pair):
    """(old tree, new tree, single file or None) of a corpus entry."""
    name, kind, a, b, sub = pair
    if kind == "renamed":
        old = os.path.join(fetch(work, "npm", a), sub)
        new = os.path.join(fetch(work, "npm", b), sub)
        return renamed_and_moved(work, old, new) + (None,)
    old = os.path.join(fetch(work, kind, a), sub)
    new = os.path.join(fetch(work, kind, b), sub)
    single = None if os.path.isdir(new) else os.path.basename(new)
    slug = name.replace(" ", "_")
    return as_tree(old, work, slug + "_old"), as_tree(new, work, slug + "_new"), single


def describe(pair):
    """One line naming what a corpus entry compares."""
    name, kind, a, b, sub = pair
    what = "%s → %s" % (a, b.rsplit("@", 1)[-1] if kind != "deb" else b.rsplit("=", 1)[-1])
    if kind == "renamed":
        return "%s: generated from %s: data/data_3550.pak → data/data_3551.pak (4 MiB, 16 records changed, " \
               "4 added), plugins/ → lib/plugins/" % (name, what)
    return "%s: %s%s" % (name, what, "" if sub in ("package", "tree") else " (%s)" % sub.split("/", 1)[-1])
