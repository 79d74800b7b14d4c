#!/usr/bin/env python3
"""Deterministic test trees for the benchmarks.

  gen_tree.py small DIR   20,000 files of 0..64 KiB (log-normal, median ~4 KiB) in 400 nested dirs
  gen_tree.py tiny DIR    the same kind of tree at a tenth: 2,000 files in 40 dirs (quick runs)
  gen_tree.py big DIR     four 256 MiB files
  gen_tree.py huge DIR    200,000 files of 0..1 KiB in 2,000 nested dirs
  gen_tree.py change SRC  in place: 1% of files modified, 1% deleted, 1% added
  gen_tree.py touch SRC   in place: every 100th regular file (sorted by path) gets one byte more
                          and a modification time one hour later; for copies of real trees

The files of a tree live in its nested directories, not in the root, so that "N files in M
directories" is exactly that. DIR must not exist yet.
"""
import math
import os
import random
import shutil
import stat
import sys

MTIME = 1_700_000_000  # fixed times so that every generated tree is the same


def make_dirs(rng, root, count):
    """`count` directories below `root`, each in a random earlier one (or the root)."""
    dirs = [root]
    for i in range(count):
        parent = dirs[rng.randrange(len(dirs))]
        d = os.path.join(parent, f"d{i:04d}")
        os.mkdir(d)
        dirs.append(d)
    return dirs[1:]


def write_file(path, data, mtime=MTIME):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def lognormal_size(rng, median, sigma, cap):
    return min(cap, int(math.exp(rng.gauss(math.log(median), sigma))))


def gen_files(root, seed, n_files, n_dirs, size_fn):
    rng = random.Random(seed)
    os.makedirs(root, exist_ok=False)
    dirs = make_dirs(rng, root, n_dirs)
    for i in range(n_files):
        d = dirs[rng.randrange(len(dirs))]
        size = size_fn(rng)
        write_file(os.path.join(d, f"f{i:06d}.dat"), rng.randbytes(size))
    for d in reversed([root] + dirs):
        os.utime(d, (MTIME, MTIME))


def gen_big(root):
    rng = random.Random(4)
    os.makedirs(root, exist_ok=False)
    chunk = rng.randbytes(1 << 20)
    for i in range(4):
        path = os.path.join(root, f"big{i}.bin")
        with open(path, "wb") as f:
            for j in range(256):
                # vary each MiB a little so no two blocks are the same
                f.write(j.to_bytes(4, "little") + i.to_bytes(4, "little") + chunk[8:])
        os.utime(path, (MTIME, MTIME))
    os.utime(root, (MTIME, MTIME))


def change(root):
    rng = random.Random(7)
    files = []
    dirs = []
    for d, _, names in os.walk(root):
        if d != root:
            dirs.append(d)
        files.extend(os.path.join(d, n) for n in sorted(names))
    files.sort()
    dirs.sort()
    n = max(1, len(files) // 100)
    picked = rng.sample(files, 2 * n)
    for p in picked[:n]:  # modified: new content, newer time
        write_file(p, rng.randbytes(lognormal_size(rng, 4096, 1.5, 65536)), MTIME + 3600)
    for p in picked[n:]:  # deleted
        os.remove(p)
    for i in range(n):  # added
        d = dirs[rng.randrange(len(dirs))]
        write_file(os.path.join(d, f"new{i:06d}.dat"), rng.randbytes(lognormal_size(rng, 4096, 1.5, 65536)))


def touch(root):
    root = os.fsencode(root)
    files = []
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            if stat.S_ISREG(os.lstat(p).st_mode):
                files.append(p)
    files.sort()
    picked = files[99::100]
    for p in picked:
        st = os.lstat(p)
        # A new file renamed over the old one, so that a hard link elsewhere in the tree keeps
        # the old contents and only the picked name changes.
        tmp = p + b".touch.tmp"
        shutil.copy2(p, tmp, follow_symlinks=False)
        with open(tmp, "ab") as f:
            f.write(b"\n")
        os.chown(tmp, st.st_uid, st.st_gid)
        os.chmod(tmp, stat.S_IMODE(st.st_mode))
        os.utime(tmp, ns=(st.st_atime_ns, st.st_mtime_ns + 3600 * 10**9))
        os.replace(tmp, p)
    print(f"gen_tree: touched {len(picked)} of {len(files)} files", file=sys.stderr)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    kind, path = sys.argv[1], sys.argv[2]
    if kind == "small":
        gen_files(path, 1, 20_000, 400, lambda r: lognormal_size(r, 4096, 1.5, 65536))
    elif kind == "tiny":
        gen_files(path, 1, 2_000, 40, lambda r: lognormal_size(r, 4096, 1.5, 65536))
    elif kind == "huge":
        gen_files(path, 2, 200_000, 2_000, lambda r: r.randrange(1025))
    elif kind == "big":
        gen_big(path)
    elif kind == "change":
        change(path)
    elif kind == "touch":
        touch(path)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
