"""Pipelines on a terminal and streamed: launch of `true | true` on a terminal
against a shell doing it under forkpty; 100 MB through `cat | cat` on a
terminal against a single `cat` on a terminal; a streamed capture of 100 MB
against the collected one. Every pair is measured in the same run."""
import json
import os
import statistics
import subprocess
import time

build = os.environ["ZELTA_BUILD"]
executor = os.environ["ZELTA_EXECUTOR"]
shell_baseline = os.path.join(build, "bench", "baseline_pty_sh_pipeline")

data = "/tmp/zelta-bench-100mb.txt"
size = 100 * 1000 * 1000
if not os.path.exists(data) or os.path.getsize(data) != size:
    with open(data, "wb") as f:
        f.write((b"x" * 99 + b"\n") * (size // 100))


def command(words):
    return {"Command": {"name": words[0], "args": words[1:], "single_quoted_args": [],
                        "redirects": []}}


def request(run_id, members, **keys):
    tree = command(members[0]) if len(members) == 1 and not keys.get("pipeline") \
        else {"Pipeline": {"commands": [command(m) for m in members]}}
    keys.pop("pipeline", None)
    line = {"type": "run.ast", "run_id": run_id, "ast": tree}
    line.update(keys)
    return (json.dumps(line) + "\n").encode()


class Executor:
    def __init__(self):
        self.proc = subprocess.Popen([executor], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     bufsize=0)
        self.out = self.proc.stdout.fileno()

    def run(self, line):
        """Sends one run and reads raw output until its exit event; returns seconds."""
        start = time.perf_counter()
        self.proc.stdin.write(line)
        tail = b""
        while True:
            chunk = os.read(self.out, 1 << 20)
            if not chunk:
                raise RuntimeError("executor ended")
            tail = (tail + chunk)[-256:]
            if b'"type":"exit"}\n' in tail:
                return time.perf_counter() - start

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


ex = Executor()

# Launch latency of `true | true` on a terminal: rounds that alternate a batch
# through the executor with a batch of the baseline, so both meet the same
# load; the ratio is the median of the rounds' ratios of medians. Both sides
# are timed by compiled drivers, so neither carries an interpreter's overhead.
driver = os.path.join(build, "bench", "pty_driver_bench")
launch_line = request("l", [["true"], ["true"]], terminal=True).decode().rstrip("\n")
runs, rounds = 40, 9
ratios, ex_meds, ex_p99s, base_meds, base_p99s = [], [], [], [], []
for r in range(rounds):
    times = [float(x) for x in subprocess.run(
        [driver, "executor-request-latency", executor, str(runs), launch_line], check=True,
        capture_output=True, text=True).stdout.split()]
    base = [float(x) for x in subprocess.run([shell_baseline, str(runs)], check=True,
                                             capture_output=True, text=True).stdout.split()]
    ex_meds.append(times[0])
    ex_p99s.append(times[1])
    base_meds.append(base[0])
    base_p99s.append(base[1])
    ratios.append(times[0] / base[0])
median = statistics.median
print(f"launch of true | true on a terminal: executor median {median(ex_meds):.0f} us "
      f"p99 {median(ex_p99s):.0f} us; sh -c under forkpty median {median(base_meds):.0f} us "
      f"p99 {median(base_p99s):.0f} us; ratio median of {rounds} alternating rounds "
      f"{median(ratios):.2f} (range {min(ratios):.2f}-{max(ratios):.2f}; target <= 1)")

# The throughput pairs below alternate the two sides, so each pair meets the
# same load; the ratio is the median of the pairs' ratios.
pairs = 5


def pair_rates(first, second):
    """Rates in MB/s of both sides at their median, and the median ratio."""
    a, b = [], []
    for i in range(pairs):
        a.append(ex.run(first(i)))
        b.append(ex.run(second(i)))
    ratio = statistics.median(y / x for x, y in zip(a, b))
    return size / statistics.median(a) / 1e6, size / statistics.median(b) / 1e6, ratio


# 100 MB through cat | cat on a terminal against one cat on a terminal.
job_rate, single_rate, ratio = pair_rates(
    lambda i: request("j%d" % i, [["cat", data], ["cat"]], terminal=True),
    lambda i: request("c%d" % i, [["cat", data]]))
print(f"100 MB on a terminal: cat | cat {job_rate:.1f} MB/s, single cat {single_rate:.1f} MB/s, "
      f"ratio median of {pairs} alternating pairs {ratio:.2f} (target >= 0.9)")

# A streamed capture of 100 MB against the collected one.
st_rate, co_rate, ratio = pair_rates(
    lambda i: request("s%d" % i, [["cat", data], ["cat"]], stream=True),
    lambda i: request("k%d" % i, [["cat", data], ["cat"]]))
print(f"100 MB captured: streamed {st_rate:.1f} MB/s, collected {co_rate:.1f} MB/s, "
      f"ratio median of {pairs} alternating pairs {ratio:.2f} (target >= 0.9)")
ex.close()
