#!/usr/bin/env python3
"""Request throughput: 200,000 short request lines in one stream (unknown
types and undecodable lines mixed) through the executor, replies per second,
against a minimal C line-echo loop over the same kind of pipes. Also the CPU
time each spends per request (user + system, from the kernel's accounting of
the child), which the load on the machine disturbs far less than the rate."""
import os
import subprocess
import sys
import threading
import time

LINES = 200_000
ROUNDS = 5


def make_input():
    kinds = [
        b'{"type":"bench.unknown","run_id":"r%d"}\n',
        b'{"type":"stdin.write","run_id":"r","data":"line %d\\n"}\n',
        b'{"type":"x%d","extra":{"a":[1,2,{"b":null}]},"rows":24,"cols":80}\n',
        b'{"type":"glob","patterns":["*"],"rows":"%d"}\n',  # wrong type: undecodable
        b'{"type":"t%d"} trailing\n',                       # undecodable
        b'not json %d\n',                                    # undecodable
    ]
    out = bytearray()
    for i in range(LINES):
        template = kinds[i % len(kinds)]
        out += template % i if b"%d" in template else template
    return bytes(out)


def measure(argv, data):
    """Seconds from the first byte sent to the last reply read, the count of
    reply lines, and the child's CPU seconds."""
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def feed():
        view = memoryview(data)
        for start in range(0, len(view), 65536):
            proc.stdin.write(view[start:start + 65536])
        proc.stdin.close()

    start = time.perf_counter()
    writer = threading.Thread(target=feed)
    writer.start()
    replies = 0
    while True:
        chunk = proc.stdout.read1(1 << 16)
        if not chunk:
            break
        replies += chunk.count(b"\n")
    elapsed = time.perf_counter() - start
    writer.join()
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    return elapsed, replies, usage.ru_utime + usage.ru_stime


def rate(argv, data):
    """Replies per second and CPU microseconds per request."""
    elapsed, replies, cpu = measure(argv, data)
    if replies != LINES:
        sys.exit(f"{argv[0]}: {replies} replies for {LINES} lines")
    return replies / elapsed, cpu / LINES * 1e6


def main():
    build = os.environ["ZELTA_BUILD"]
    executor = os.environ.get("ZELTA_EXECUTOR", os.path.join(build, "stdio_executor"))
    baseline = os.path.join(build, "bench", "baseline_line_echo")
    data = make_input()
    # Rounds alternate, so a burst of load on the machine hits both sides.
    executor_rate = baseline_rate = 0.0
    executor_cpu = baseline_cpu = float("inf")
    for _ in range(ROUNDS):
        r, c = rate([executor], data)
        executor_rate, executor_cpu = max(executor_rate, r), min(executor_cpu, c)
        r, c = rate([baseline], data)
        baseline_rate, baseline_cpu = max(baseline_rate, r), min(baseline_cpu, c)
    print(f"executor: {executor_rate:,.0f} replies/s, {executor_cpu:.2f} us CPU per request "
          f"({LINES:,} requests, best of {ROUNDS})")
    print(f"baseline line_echo: {baseline_rate:,.0f} replies/s, {baseline_cpu:.2f} us CPU per request")
    print(f"ratio executor/baseline: rate {executor_rate / baseline_rate:.2f} (goal >= 0.9), "
          f"CPU per request {executor_cpu / baseline_cpu:.2f}")


if __name__ == "__main__":
    main()
