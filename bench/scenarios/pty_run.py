"""Terminal runs: output throughput of 100 MB, run latency of `true`, and the
executor's peak memory, each against a minimal C baseline in the same run."""
import os
import subprocess

build = os.environ["ZELTA_BUILD"]
executor = os.environ["ZELTA_EXECUTOR"]
driver = os.path.join(build, "bench", "pty_driver_bench")
reader = os.path.join(build, "bench", "baseline_pty_reader")
true_baseline = os.path.join(build, "bench", "baseline_pty_true")


def figures(*args):
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    return [float(x) for x in out.split()]


# 100 MB of text in lines of 100 bytes, as a command would print it.
data = "/tmp/zelta-bench-100mb.txt"
size = 100 * 1000 * 1000
if not os.path.exists(data) or os.path.getsize(data) != size:
    with open(data, "wb") as f:
        f.write((b"x" * 99 + b"\n") * (size // 100))

executor_s, baseline_s, peaks = [], [], []
for _ in range(3):  # alternate, and keep the best of each
    seconds, peak = figures(driver, "executor-throughput", executor, data)
    executor_s.append(seconds)
    peaks.append(peak)
    baseline_s.append(figures(driver, "baseline-throughput", reader, data)[0])
ex_rate = size / min(executor_s) / 1e6
base_rate = size / min(baseline_s) / 1e6
print(f"throughput: executor {ex_rate:.1f} MB/s, baseline {base_rate:.1f} MB/s, "
      f"ratio {ex_rate / base_rate:.2f} (target >= 0.9)")
print(f"peak memory: executor {max(peaks) / 1024:.2f} MiB (target <= 8)")

runs = 200
executor_lat, baseline_lat = [], []
for _ in range(3):  # alternate rounds; keep the round with the lowest median
    executor_lat.append(figures(driver, "executor-latency", executor, str(runs)))
    baseline_lat.append(figures(true_baseline, str(runs)))
ex_median, ex_p99 = min(executor_lat)
base_median, base_p99 = min(baseline_lat)
print(f"latency of true: executor median {ex_median:.0f} us p99 {ex_p99:.0f} us; "
      f"baseline median {base_median:.0f} us p99 {base_p99:.0f} us; "
      f"ratio median {ex_median / base_median:.2f} (target <= 1.3), "
      f"p99 {ex_p99 / base_p99:.2f} (target <= 2)")
