#!/usr/bin/env python3
"""read_file of a 100 MB text file: the executor against a minimal C program
that reads the file, checks UTF-8, escapes it and writes the same reply line.

Both run as whole processes writing to a pipe that this script drains with
the same reader; figures are the median and best of several runs, and the
peak resident memory of each process (ru_maxrss from wait4).
"""
import hashlib
import json
import os
import random
import statistics
import subprocess
import tempfile
import time

EXECUTOR = os.environ["ZELTA_EXECUTOR"]
BASELINE = os.path.join(os.environ["ZELTA_BUILD"], "bench", "baseline_read_file")
REPEAT = int(os.environ.get("ZELTA_BENCH_REPEAT", "11"))
SIZE = 100 * 1000 * 1000


def make_file(path):
    """Source-like text: mostly ASCII lines with tabs, quotes, backslashes
    and some multi-byte characters; deterministic."""
    rng = random.Random(7)
    words = ["int", "return", "value", "\"quoted\"", "path\\to", "caf\u00e9", "\u65e5\u672c",
             "x", "for", "(i = 0; i < n; ++i)", "{", "}", "//", "\u00e9t\u00e9"]
    lines = []
    for _ in range(2000):
        lines.append("\t" * rng.randrange(3) + " ".join(rng.choice(words)
                                                        for _ in range(rng.randrange(4, 14))))
    block = ("\n".join(lines) + "\n").encode()
    with open(path, "wb") as f:
        written = 0
        while written + len(block) <= SIZE:
            f.write(block)
            written += len(block)
        f.write(b"y" * (SIZE - written))


BUFFER = memoryview(bytearray(1 << 20))


def drain(proc, check):
    """Reads stdout to its end into one reused buffer; returns the length and,
    when `check` is set, a digest of the bytes."""
    digest, total = hashlib.sha1(), 0
    raw = proc.stdout.raw
    while True:
        n = raw.readinto(BUFFER)
        if not n:
            break
        if check:
            digest.update(BUFFER[:n])
        total += n
    return total, digest.hexdigest() if check else None


def timed(argv, stdin_bytes, check=False):
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    if stdin_bytes is not None:
        proc.stdin.write(stdin_bytes)
    proc.stdin.close()
    result = drain(proc, check)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = status
    elapsed = time.perf_counter() - start
    return elapsed, usage.ru_maxrss * 1024, result


def measure(contenders):
    """Runs the contenders in turn, REPEAT rounds, so that both see the same
    load on a shared machine; returns per contender (median, best, peak RSS,
    (reply length, digest))."""
    checked = [timed(argv, stdin, check=True) for argv, stdin in contenders]  # and warm-up
    runs = [[] for _ in contenders]
    for _ in range(REPEAT):
        for i, (argv, stdin) in enumerate(contenders):
            runs[i].append(timed(argv, stdin))
    result = []
    for i, r in enumerate(runs):
        times = [x[0] for x in r]
        result.append((statistics.median(times), min(times), max(x[1] for x in r), checked[i][2]))
    return result


def main():
    fd, path = tempfile.mkstemp(prefix="zelta_read_bench.")
    os.close(fd)
    try:
        make_file(path)
        request = (json.dumps({"type": "read_file", "path": path}) + "\n").encode()
        ex, base = measure([([EXECUTOR], request), ([BASELINE, path], None)])
        if ex[3] != base[3]:
            print("MISMATCH: reply lines differ", ex[3], base[3])
        mib = 1024 * 1024
        print("file %.1f MB, reply line %.1f MB" % (SIZE / 1e6, ex[3][0] / 1e6))
        print("executor  median %7.1fms  best %7.1fms  peak RSS %6.1f MiB (limit %.1f MiB)" % (
            ex[0] * 1e3, ex[1] * 1e3, ex[2] / mib, (1.25 * SIZE + 8 * mib) / mib))
        print("baseline  median %7.1fms  best %7.1fms  peak RSS %6.1f MiB" % (
            base[0] * 1e3, base[1] * 1e3, base[2] / mib))
        print("throughput ratio executor/baseline: median %.2f  best %.2f" % (
            base[0] / ex[0], base[1] / ex[1]))
    finally:
        os.unlink(path)


if __name__ == "__main__":
    main()
