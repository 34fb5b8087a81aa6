#!/usr/bin/env python3
"""Keystroke echo and output latency with terminals taking turns: the relay
(bench/baselines/pty_relay.c), this build's executor and every executor named
in ZELTA_BENCH_COMPARE (paths separated by ':'; bench/run.sh puts an older
release there) run side by side in one echo_turns_bench process, sample by
sample, each idle for a think time before its key. The run is repeated; the
figures are the median over runs of each run's ratio of medians, so every
ratio compares sides measured under the same load."""
import os
import statistics
import subprocess

build = os.environ["ZELTA_BUILD"]
executor = os.environ["ZELTA_EXECUTOR"]
bench = os.path.join(build, "bench", "echo_turns_bench")
relay = os.path.join(build, "bench", "baseline_pty_relay")
ticker = os.path.join(build, "bench", "program_ticker")
others = [p for p in os.environ.get("ZELTA_BENCH_COMPARE", "").split(":") if p]
RUNS = int(os.environ.get("ZELTA_BENCH_TURN_RUNS", "4"))
KEYS = int(os.environ.get("ZELTA_BENCH_TURN_KEYS", "400"))


def run(mode, *args):
    """One run: side name -> (median, p10, p90, p99, max) in microseconds."""
    out = subprocess.run([bench, mode, *args, relay, executor, *others], check=True,
                         capture_output=True, text=True).stdout
    figures = {}
    for line in out.splitlines():
        name, *values = line.rsplit(" ", 5)
        figures[name] = [float(v) for v in values]
    return figures


def label(name):
    return "executor" if name == executor else name


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def report(title, mode, args, goals):
    print(f"-- {title}")
    runs = []
    for index in range(RUNS):
        figures = run(mode, *args)
        runs.append(figures)
        cells = "  ".join(f"{label(n)} {v[0]:.1f}" for n, v in figures.items())
        print(f"  run {index + 1} (load {load()}): medians {cells} us")
    for name in [executor, *others]:
        p99 = statistics.median(r[name][3] for r in runs)
        line = f"  {label(name)}: median {statistics.median(r[name][0] for r in runs):.1f} us, p99 {p99:.1f}"
        for denominator, bound in goals:
            if denominator == name or (denominator != "relay" and name != executor):
                continue
            ratios = [r[name][0] / r[denominator][0] for r in runs]
            verdict = "met" if statistics.median(ratios) <= bound else "MISSED"
            line += (f"; / {label(denominator)}: {statistics.median(ratios):.2f} (runs "
                     f"{', '.join(f'{x:.2f}' for x in ratios)}; goal <= {bound}: {verdict})")
        print(line)


def main():
    report("keystroke echo, terminals taking turns", "echo", ["-n", str(KEYS)],
           [("relay", 1.10)] + [(o, 1.0) for o in others])
    report("output latency, terminals taking turns (line every 10 ms)", "out",
           ["-n", "100", "-r", "2", ticker], [("relay", 1.10)])


if __name__ == "__main__":
    main()
