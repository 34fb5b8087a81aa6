"""Pasting 100 KB into `sh -c 'head -c N > file'` on a terminal with echo on:
throughput with a front end that reads as fast as it can, paced executor
against the same executor built with unpaced typed input (the baseline), and
how much of the echo arrives when the front end reads slowly (2 KB reads with
2 ms pauses). Extra executors to compare can be named in ZELTA_PASTE_VARIANTS
as "label=path,label=path"; ZELTA_PASTE_ROUNDS and ZELTA_PASTE_SLOW_ROUNDS set
the number of fast and slow pastes per executor."""
import json
import os
import select
import subprocess
import sys
import tempfile
import time

SIZE = 100 * 1024


def paste_text(size):
    # Lines of 63 printable characters and a line feed, cut to `size` bytes.
    line = "".join(chr(ord("a") + i % 26) for i in range(63)) + "\n"
    return (line * (size // len(line) + 1))[:size]


def run_paste(executor, slow, size=SIZE):
    """One paste; returns (seconds, file_whole, echo_fraction)."""
    paste = paste_text(size)
    with tempfile.TemporaryDirectory() as tmp:
        target = os.path.join(tmp, "pasted")
        proc = subprocess.Popen([executor], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        out = proc.stdout.fileno()
        request = {"type": "run.ast", "run_id": "p", "ast": {"Command": {
            "name": "sh", "args": ["-c", f"head -c {size} > {target}"],
            "single_quoted_args": [True, True], "redirects": []}}}
        proc.stdin.write((json.dumps(request) + "\n").encode())
        proc.stdin.flush()
        received = b""
        while b'"type":"started"' not in received:
            received += os.read(out, 65536)
        received = received[received.index(b'"type":"started"'):]
        received = received[received.index(b"\n") + 1:]
        write = {"type": "stdin.write", "run_id": "p", "data": paste}
        start = time.perf_counter()
        proc.stdin.write((json.dumps(write) + "\n").encode())
        proc.stdin.flush()
        while b'"type":"exit"' not in received[-200:]:
            select.select([out], [], [], 30)
            chunk = os.read(out, 2048 if slow else 1 << 20)
            if not chunk:
                break
            received += chunk
            if slow:
                time.sleep(0.002)
        seconds = time.perf_counter() - start
        proc.stdin.close()
        proc.wait()
        echo = "".join(json.loads(line).get("stdout", "")
                       for line in received.decode().splitlines() if line)
        with open(target) as f:
            file_whole = f.read() == paste
    expected = paste.replace("\n", "\r\n")
    fraction = 1.0 if echo == expected else len(echo) / len(expected)
    return seconds, file_whole, fraction


def main():
    executor = os.environ["ZELTA_EXECUTOR"]
    unpaced = os.environ.get("ZELTA_EXECUTOR_UNPACED")
    rounds = int(os.environ.get("ZELTA_PASTE_ROUNDS", "7"))
    variants = [("paced", executor)]
    if unpaced:
        variants.append(("unpaced", unpaced))
    for item in filter(None, os.environ.get("ZELTA_PASTE_VARIANTS", "").split(",")):
        label, path = item.split("=", 1)
        variants.append((label, path))

    fast = {label: [] for label, _ in variants}
    fast_whole = {label: 0 for label, _ in variants}
    for _ in range(rounds):  # alternate the variants, keep the best of each
        for label, path in variants:
            seconds, whole, fraction = run_paste(path, slow=False)
            if not whole:
                print(f"{label}: the file differs from the paste", file=sys.stderr)
            fast[label].append(seconds)
            fast_whole[label] += fraction == 1.0
    best = {label: min(times) for label, times in fast.items()}
    for label, _ in variants:
        rate = SIZE / best[label] / 1e6
        print(f"fast front end, {label}: {rate:.2f} MB/s (best of {rounds}), "
              f"echo whole in {fast_whole[label]}/{rounds} runs")
    if unpaced:
        ratio = best["unpaced"] / best["paced"]
        print(f"paste throughput paced/unpaced: {ratio:.2f} (target >= 0.80)")

    for label, path in variants:
        fractions, wholes = [], 0
        for _ in range(int(os.environ.get("ZELTA_PASTE_SLOW_ROUNDS", "5"))):
            _, whole, fraction = run_paste(path, slow=True)
            fractions.append(fraction)
            wholes += fraction == 1.0
        print(f"slow front end, {label}: echo whole in {wholes}/{len(fractions)} runs, "
              f"least echo {min(fractions) * 100:.1f}%")


if __name__ == "__main__":
    main()
