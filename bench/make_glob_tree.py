#!/usr/bin/env python3
"""Builds the glob benchmark tree: about 100,000 files in 10,000 directories.

The tree is the same on every run (fixed seed, fixed order): 20 top-level
directories, each with 20 subdirectories, each with 24 leaf directories
(the first leaf of every subdirectory is hidden). Files carry a mix of
extensions at every level; a hidden file sits in one directory of five.
Usage: make_glob_tree.py TARGET_DIR (created if missing, must be empty).
"""
import os
import random
import sys

EXTENSIONS = [".c"] * 3 + [".h"] * 2 + [".txt", ".py", ".o", ".md", ""]
HIDDEN_FILES = [".gitignore", ".config", ".env", ".rc"]


def make_files(rng, directory, count, counter):
    for i in range(count):
        name = "f%03d_%d%s" % (i, rng.randrange(1000), rng.choice(EXTENSIONS))
        with open(os.path.join(directory, name), "w") as f:
            f.write("x")
        counter[0] += 1
    if rng.randrange(5) == 0:
        with open(os.path.join(directory, rng.choice(HIDDEN_FILES)), "w") as f:
            f.write("x")
        counter[0] += 1


def main():
    root = sys.argv[1]
    os.makedirs(root, exist_ok=True)
    rng = random.Random(20240601)
    files = [0]
    dirs = 0
    for t in range(20):
        top = os.path.join(root, "top%02d" % t)
        os.mkdir(top)
        dirs += 1
        make_files(rng, top, 5, files)
        for s in range(20):
            sub = os.path.join(top, "sub%02d" % s)
            os.mkdir(sub)
            dirs += 1
            make_files(rng, sub, 8, files)
            for l in range(24):
                leaf = os.path.join(sub, (".leaf%02d" if l == 0 else "leaf%02d") % l)
                os.mkdir(leaf)
                dirs += 1
                make_files(rng, leaf, 10, files)
    print("tree: %d directories, %d files" % (dirs, files[0]), file=sys.stderr)


if __name__ == "__main__":
    main()
