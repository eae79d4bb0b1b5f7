"""A generated pair of one large data pack, as a game client's largest files
are: the old pack is GIB GiB of incompressible pseudo-random bytes (a fixed
seed, so the same bytes on every run), the new one the same with 5 MiB of
scattered changes, half inserted blocks and half overwritten ones.
Generated at run time, never committed."""
import os
import random

CHUNK = 64 << 20
BLOCK = 64 << 10
CHANGED = 5 << 20


def _random_chunks(seed):
    """Endless pseudo-random chunks: numpy's PCG64 when it is there (several
    times faster), else Python's own generator."""
    try:
        import numpy
        gen = numpy.random.Generator(numpy.random.PCG64(seed))
        while True:
            yield gen.bytes(CHUNK)
    except ImportError:
        rng = random.Random(seed)
        while True:
            yield rng.randbytes(CHUNK)


def write_pair(folder, gib, log):
    """Writes folder/old/data.pak and folder/new/data.pak (once; a stamp
    file says they are complete). Returns (old tree, new tree)."""
    old_dir, new_dir = os.path.join(folder, "old"), os.path.join(folder, "new")
    stamp = os.path.join(folder, "complete-%g" % gib)
    if os.path.exists(stamp):
        return old_dir, new_dir
    os.makedirs(old_dir, exist_ok=True)
    os.makedirs(new_dir, exist_ok=True)
    size = int(gib * (1 << 30))
    log("large pack: writing %g GiB of old data" % gib)
    chunks = _random_chunks(3550)
    with open(os.path.join(old_dir, "data.pak"), "wb") as f:
        left = size
        while left:
            data = next(chunks)[:left]
            f.write(data)
            left -= len(data)

    # Where the changes go: 80 blocks of 64 KiB spread over the whole pack,
    # every other one inserted, the rest overwriting old bytes.
    rng = random.Random(3551)
    places = sorted(rng.randrange(0, size - BLOCK) for _ in range(CHANGED // BLOCK))
    log("large pack: writing the new data (%d changed blocks)" % len(places))
    with open(os.path.join(old_dir, "data.pak"), "rb") as src, \
            open(os.path.join(new_dir, "data.pak"), "wb") as dst:
        pos = 0
        for i, at in enumerate(places):
            at = max(at, pos)
            _copy(src, dst, at - pos)
            pos = at
            dst.write(rng.randbytes(BLOCK))
            if i % 2:  # overwritten: skip the old bytes
                src.seek(BLOCK, os.SEEK_CUR)
                pos += BLOCK
        _copy(src, dst, size - pos)
    open(stamp, "w").close()
    return old_dir, new_dir


def _copy(src, dst, count):
    while count > 0:
        data = src.read(min(count, CHUNK))
        if not data:
            break
        dst.write(data)
        count -= len(data)
