#!/usr/bin/env python3
"""Glob over a generated tree of ~100,000 files: the executor against find and
Python's glob, whole process against whole process, in the same run.

Each contender starts, walks, writes every matched path to a pipe read by
this script, and exits. Figures are the median and best of several runs;
ratios above 1 mean the executor is faster.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

EXECUTOR = os.environ["ZELTA_EXECUTOR"]
HERE = os.path.dirname(os.path.abspath(__file__))
REPEAT = int(os.environ.get("ZELTA_BENCH_REPEAT", "9"))

PY_GLOB = (
    "import glob, sys\n"
    "r = glob.glob(sys.argv[1], recursive=True, include_hidden=True)\n"
    "sys.stdout.write('\\n'.join(r))\n"
)


def run(argv, stdin=None):
    start = time.perf_counter()
    out = subprocess.run(argv, input=stdin, stdout=subprocess.PIPE, check=True).stdout
    return time.perf_counter() - start, out


def executor(tree, pattern):
    request = json.dumps({"type": "glob", "patterns": [pattern], "cwd": tree}) + "\n"
    elapsed, out = run([EXECUTOR], request.encode())
    return elapsed, len(json.loads(out)["glob_matches"])


def find(tree, predicates):
    elapsed, out = run(["find", tree] + predicates)
    return elapsed, out.count(b"\n")


def python_glob(tree, pattern):
    elapsed, out = run([sys.executable, "-c", PY_GLOB, os.path.join(tree, pattern)])
    return elapsed, (out.count(b"\n") + 1) if out else 0


CASES = [
    ("**/*.c", ["-mindepth", "1", "-name", "*.c"]),
    ("*/*/*.h", ["-mindepth", "3", "-maxdepth", "3", "-name", "*.h"]),
    ("**/", ["-mindepth", "1", "-type", "d"]),
    ("**/.[!.]*", ["-mindepth", "1", "-name", ".[!.]*"]),
]


def measure(contenders):
    """Runs the contenders in turn, REPEAT rounds, so that all see the same
    load on a shared machine; returns (median, best, match count) for each."""
    counts = [fn()[1] for fn in contenders]  # warm-up: caches, page cache
    times = [[] for _ in contenders]
    for _ in range(REPEAT):
        for i, fn in enumerate(contenders):
            times[i].append(fn()[0])
    return [(statistics.median(t), min(t), c) for t, c in zip(times, counts)]


def main():
    tree = tempfile.mkdtemp(prefix="zelta_glob_bench.")
    try:
        subprocess.run([sys.executable, os.path.join(HERE, "..", "make_glob_tree.py"), tree],
                       check=True)
        print("%-12s %8s %8s %8s %8s | %7s %7s | %s" % (
            "pattern", "executor", "find", "python", "", "find/x", "py/x", "matches x/find/py"))
        for pattern, predicates in CASES:
            ex, fd, py = measure([lambda: executor(tree, pattern),
                                  lambda: find(tree, predicates),
                                  lambda: python_glob(tree, pattern)])
            print("%-12s %7.1fms %7.1fms %7.1fms %8s | %7.2f %7.2f | %d/%d/%d  (median)" % (
                pattern, ex[0] * 1e3, fd[0] * 1e3, py[0] * 1e3, "",
                fd[0] / ex[0], py[0] / ex[0], ex[2], fd[2], py[2]))
            print("%-12s %7.1fms %7.1fms %7.1fms %8s | %7.2f %7.2f |  (best)" % (
                "", ex[1] * 1e3, fd[1] * 1e3, py[1] * 1e3, "", fd[1] / ex[1], py[1] / ex[1]))
    finally:
        shutil.rmtree(tree)


if __name__ == "__main__":
    main()
