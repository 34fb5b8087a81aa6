#!/usr/bin/env python3
"""Many runs in one executor with the "concurrent" extension, each figure
against a baseline measured in the same run:
- 100 live terminals (`cat`) in one executor against 100 executors with one
  `cat` each: the executors' resident memory per terminal (VmRSS from /proc,
  the `cat` children not counted; proportional set size beside it), and the
  echo of a keystroke typed into one of the 100 against the echo of a
  terminal alone in its executor (bursts of keys alternating between the two);
- the echo of a typing terminal while four other runs of the same executor
  print `yes` at full speed (four terminal runs, then four streamed pipelines
  `yes | cat`) against its echo once they have ended, phases alternating;
  every flood's bytes received during the measurement are counted, and each
  must grow.
The executor's output is read without blocking, whole lines matched to their
run by run_id, so a flood never waits for this reader.
Run with an argument ("many" or "flood") for one part only."""
import json
import os
import select
import statistics
import subprocess
import sys
import time

executor = os.environ["ZELTA_EXECUTOR"]
ROUNDS = int(os.environ.get("ZELTA_BENCH_CONCURRENT_ROUNDS", "3"))
TERMINALS = 100
BURSTS = 40  # per round and side of the 100-terminal echo
BURST_KEYS = 10
FLOOD_ROUNDS = int(os.environ.get("ZELTA_BENCH_FLOOD_ROUNDS", "16"))
FLOOD_KEYS = 25  # per phase
FLOODS = 4

RUN_ID = b'"run_id":"'
STDOUT_TAIL = b'"type":"stdout"}'
ECHO_HEAD = b'{"data":"x"'


def now_us():
    return time.monotonic_ns() / 1000


def command(words):
    return {"Command": {"name": words[0], "args": words[1:],
                        "single_quoted_args": [False] * (len(words) - 1), "redirects": []}}


def run_line(run_id, members, **keys):
    tree = command(members[0]) if len(members) == 1 else \
        {"Pipeline": {"commands": [command(m) for m in members]}}
    line = {"type": "run.ast", "run_id": run_id, "ast": tree}
    line.update(keys)
    return json.dumps(line).encode() + b"\n"


def key_line(run_id, data):
    return json.dumps({"type": "stdin.write", "run_id": run_id, "data": data}).encode() + b"\n"


class Executor:
    """An executor whose standard output is read without blocking. Each whole
    line is matched to its run: "stdout" events add their length to the run's
    count, the echo of `x` on the watched run is noted with the time of the
    read that brought it, "started" and "exit" are noted, replies kept."""

    def __init__(self, concurrent):
        self.proc = subprocess.Popen([executor], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     bufsize=0)
        self.fd_in, self.fd_out = self.proc.stdin.fileno(), self.proc.stdout.fileno()
        os.set_blocking(self.fd_out, False)
        self.pending = b""
        self.counts = {}
        self.started = set()
        self.ended = set()
        self.replies = []
        self.watch = None
        self.watch_text = b""
        self.echo_at = None
        self.read_at = 0.0
        self.read_total = 0
        # Bytes read after each timed keystroke until its echo, the last burst.
        self.ahead = []
        if concurrent:
            self.send(b'{"type":"hello","extensions":["concurrent"]}\n')
            self.expect(lambda: self.replies, "the reply to hello")
            if b'"concurrent"' not in self.replies.pop():
                sys.exit(f"{executor} does not offer the concurrent extension")

    def send(self, data):
        os.write(self.fd_in, data)

    def take(self, lines):
        for line in lines:
            at = line.rfind(RUN_ID)
            if at < 0:
                self.replies.append(line)
                continue
            start = at + len(RUN_ID)
            run_id = line[start:line.index(b'"', start)].decode()
            if line.endswith(STDOUT_TAIL):
                self.counts[run_id] = self.counts.get(run_id, 0) + len(line)
                if run_id == self.watch:
                    if self.echo_at is None and line.startswith(ECHO_HEAD):
                        self.echo_at = self.read_at
                    self.watch_text += line
            elif line.endswith(b'"type":"started"}'):
                self.started.add(run_id)
            elif line.endswith(b'"type":"exit"}'):
                self.ended.add(run_id)

    def pump(self, timeout):
        """Waits up to `timeout` seconds for output, then reads all there is."""
        ready, _, _ = select.select([self.fd_out], [], [], timeout)
        if not ready:
            return
        while True:
            try:
                chunk = os.read(self.fd_out, 1 << 20)
            except BlockingIOError:
                return
            self.read_at = now_us()
            if not chunk:
                raise EOFError("executor ended")
            self.read_total += len(chunk)
            cut = chunk.rfind(b"\n")
            if cut < 0:
                self.pending += chunk
                continue
            lines = (self.pending + chunk[:cut]).split(b"\n")
            self.pending = chunk[cut + 1:]
            self.take(lines)

    def pump_until(self, done, limit=30.0):
        """Reads until `done()`; False when `limit` seconds pass first."""
        deadline = time.monotonic() + limit
        while not done():
            if time.monotonic() > deadline:
                return False
            self.pump(0.5)
        return True

    def expect(self, done, what):
        if not self.pump_until(done):
            raise TimeoutError(f"the executor did not send {what} in time")

    def pump_for(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.pump(max(0.0, deadline - time.monotonic()))

    def start(self, run_id, members, wait=True, **keys):
        self.send(run_line(run_id, members, **keys))
        if wait:
            self.expect(lambda: run_id in self.started, f"{run_id}'s \"started\"")

    def burst(self, run_id, keys):
        """`keys` keystrokes into terminal `run_id`, each sent once the last
        one's echo is in; then an untimed line feed, which `cat` reads, so
        the terminal's line never fills."""
        key = key_line(run_id, "x")
        self.watch = run_id
        times = []
        self.ahead = []
        for _ in range(keys):
            self.echo_at = None
            read_before = self.read_total
            start = now_us()
            self.send(key)
            while self.echo_at is None:
                self.pump(5.0)
            times.append(self.echo_at - start)
            self.ahead.append(self.read_total - read_before)
        self.watch_text = b""
        self.send(key_line(run_id, "\n"))
        self.expect(lambda: b"\\r\\n" in self.watch_text, f"{run_id}'s echo of a line feed")
        # cat's copy of the line may come a little later; its event holds more
        # than one "x", so it is never taken for an echo.
        self.pump_for(0.005)
        self.watch = None
        return times

    def end_cats(self, run_ids):
        """Ends `cat`s waiting on an empty line, then the executor."""
        for run_id in run_ids:
            self.send(key_line(run_id, "\x04"))
        if not self.pump_until(lambda: all(r in self.ended for r in run_ids), limit=10.0):
            left = [r for r in run_ids if r not in self.ended]
            print(f"  ({len(left)} cat(s) did not end at ^D, first {left[0]}: killed)")
            for run_id in left:
                self.send(json.dumps({"type": "run.signal", "run_id": run_id,
                                      "signal": "KILL"}).encode() + b"\n")
            self.expect(lambda: all(r in self.ended for r in run_ids), "every cat's \"exit\"")
        self.close()

    def close(self):
        self.proc.stdin.close()
        try:
            while True:
                self.pump(5.0)
        except EOFError:
            pass
        self.proc.wait()


def status_kib(pid, path, key):
    with open(f"/proc/{pid}/{path}") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return 0


def memory_kib(pid):
    """Resident and proportional set size of one process, in KiB."""
    return status_kib(pid, "status", "VmRSS:"), status_kib(pid, "smaps_rollup", "Pss:")


def cpu_seconds(pid):
    """User and system time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def many_terminals():
    per_terminal = {"one executor, (with 100 - idle) / 100": [],
                    "one executor, total / 100": [],
                    "100 executors, total / 100": []}
    pss = {name: [] for name in per_terminal}
    figures = {}
    echo = {"among 100": [], "alone": []}
    paired = []
    for round_index in range(ROUNDS):
        many = Executor(concurrent=True)
        idle = memory_kib(many.proc.pid)
        ids = [f"t{i}" for i in range(TERMINALS)]
        for run_id in ids:
            many.start(run_id, [["cat"]], wait=False)
        many.expect(lambda: len(many.started) == TERMINALS, "100 \"started\"")
        solo = Executor(concurrent=True)
        solo.start("s", [["cat"]])
        time.sleep(0.2)
        sides = [("among 100", many), ("alone", solo)]
        for b in range(BURSTS):
            # The typing terminal moves through the 100; the first side turns
            # every burst, so both take the place after a pause equally often.
            target = ids[(b * 37 + round_index) % TERMINALS]
            medians = {}
            for name, ex in sides[b % 2:] + sides[:b % 2]:
                times = ex.burst(target if ex is many else "s", BURST_KEYS)
                echo[name].append(times)
                medians[name] = statistics.median(times)
            paired.append(medians["among 100"] / medians["alone"])
        # Measured after the typing, once every terminal's buffers exist.
        loaded = memory_kib(many.proc.pid)
        figures.setdefault("idle", []).append(idle)
        figures.setdefault("with 100", []).append(loaded)
        for name, value in (("one executor, (with 100 - idle) / 100",
                             [(l - i) / TERMINALS for l, i in zip(loaded, idle)]),
                            ("one executor, total / 100", [l / TERMINALS for l in loaded])):
            per_terminal[name].append(value[0])
            pss[name].append(value[1])
        many.end_cats(ids)
        solo.end_cats(["s"])

        executors = [Executor(concurrent=False) for _ in range(TERMINALS)]
        for ex in executors:
            ex.start("c", [["cat"]], wait=False)
        for ex in executors:
            ex.expect(lambda: "c" in ex.started, "\"started\"")
        time.sleep(0.2)
        sizes = [memory_kib(ex.proc.pid) for ex in executors]
        per_terminal["100 executors, total / 100"].append(sum(s[0] for s in sizes) / TERMINALS)
        pss["100 executors, total / 100"].append(sum(s[1] for s in sizes) / TERMINALS)
        for ex in executors:
            ex.send(key_line("c", "\x04"))
        for ex in executors:
            ex.end_cats([])

    print(f"-- {TERMINALS} terminals (cat): executors' memory per terminal, median of {ROUNDS} rounds")
    print(f"  one executor: RSS idle {statistics.median(r for r, _ in figures['idle']):.0f} KiB, "
          f"with {TERMINALS} terminals {statistics.median(r for r, _ in figures['with 100']):.0f} KiB")
    for name in per_terminal:
        print(f"  {name:<40} RSS {statistics.median(per_terminal[name]):7.1f} KiB"
              f"   PSS {statistics.median(pss[name]):7.1f} KiB")
    many_exec = statistics.median(per_terminal["100 executors, total / 100"])
    for name in ("one executor, total / 100", "one executor, (with 100 - idle) / 100"):
        ratio = statistics.median(per_terminal[name]) / many_exec
        verdict = "met" if ratio <= 0.10 else "MISSED"
        print(f"  ratio RSS {name} / 100 executors: {ratio:.3f} (goal <= 0.10: {verdict})")

    print(f"-- keystroke echo of one terminal among {TERMINALS} against one terminal alone "
          f"(alternate bursts of {BURST_KEYS} keys)")
    stats = {}
    for name, bursts in echo.items():
        values = [v for burst in bursts for v in burst]
        stats[name] = statistics.median(values)
        print(f"  {name:<10} median {stats[name]:8.1f} us   p99 {percentile(values, 0.99):8.1f} us"
              f"   ({len(values)} keys)")
    ratio = stats["among 100"] / stats["alone"]
    verdict = "met" if ratio <= 1.10 else "MISSED"
    print(f"  ratio among {TERMINALS} / alone: median {ratio:.2f} (goal <= 1.10: {verdict}), "
          f"paired by burst {statistics.median(paired):.2f}")


def flood_phase(ex, kind, round_index, echo, loads):
    """Starts the floods, types while they run, ends them; returns the bytes
    each flood delivered during the typing and the typing's seconds; adds to
    `loads` the reader's and the executor's share of a processor and the
    bytes read between each key and its echo."""
    ids = [f"f{round_index}_{i}" for i in range(FLOODS)]
    for run_id in ids:
        if kind == "terminal":
            ex.start(run_id, [["yes"]], wait=False)
        else:
            ex.start(run_id, [["yes"], ["cat"]], wait=False, stream=True)
    # Every flood is moving before the clock starts.
    ex.expect(lambda: all(ex.counts.get(r, 0) > 0 for r in ids), "output of every flood")
    ex.pump_for(0.05)
    before = [ex.counts[r] for r in ids]
    cpu_before = (time.process_time(), cpu_seconds(ex.proc.pid))
    start = time.monotonic()
    echo.append(ex.burst("t", FLOOD_KEYS))
    seconds = time.monotonic() - start
    moved = [ex.counts[r] - b for r, b in zip(ids, before)]
    loads["reader"].append((time.process_time() - cpu_before[0]) / seconds)
    loads["executor"].append((cpu_seconds(ex.proc.pid) - cpu_before[1]) / seconds)
    loads["ahead"].extend(ex.ahead)
    for run_id in ids:
        ex.send(json.dumps({"type": "run.signal", "run_id": run_id}).encode() + b"\n")
    ex.expect(lambda: all(r in ex.ended for r in ids), "every flood's \"exit\"")
    return moved, seconds


def flood(kind, title):
    ex = Executor(concurrent=True)
    ex.start("t", [["cat"]])
    time.sleep(0.1)
    echo = {"flooded": [], "alone": []}
    moved_all, rates, paired = [], [], []
    loads = {"reader": [], "executor": [], "ahead": []}
    for round_index in range(FLOOD_ROUNDS):
        def flooded():
            moved, seconds = flood_phase(ex, kind, round_index, echo["flooded"], loads)
            moved_all.append(moved)
            rates.append(sum(moved) / seconds / 1e6)

        def alone():
            echo["alone"].append(ex.burst("t", FLOOD_KEYS))
            ex.pump_for(0.05)

        for phase in ((flooded, alone) if round_index % 2 == 0 else (alone, flooded)):
            phase()
        paired.append(statistics.median(echo["flooded"][-1]) / statistics.median(echo["alone"][-1]))
    ex.end_cats(["t"])

    print(f"-- keystroke echo while four {title} print at full speed, against it alone "
          f"({FLOOD_ROUNDS} rounds of {FLOOD_KEYS} keys per side)")
    stats = {}
    for name, bursts in echo.items():
        values = [v for burst in bursts for v in burst]
        stats[name] = statistics.median(values)
        print(f"  {name:<8} median {stats[name]:8.1f} us   p99 {percentile(values, 0.99):8.1f} us"
              f"   ({len(values)} keys)")
    ratio = stats["flooded"] / stats["alone"]
    verdict = "met" if ratio <= 2.0 else "MISSED"
    print(f"  ratio flooded / alone: median {ratio:.2f} (goal <= 2: {verdict}), "
          f"paired by round {statistics.median(paired):.2f}")
    least = min(min(m) for m in moved_all)
    verdict = "all moved" if least > 0 else "a flood STALLED"
    print(f"  floods during the typing: least bytes of one flood in one round {least:,}, "
          f"events {statistics.median(rates):.1f} MB/s in all (median of rounds): {verdict}")
    print(f"  while flooded: bytes read between a key and its echo median "
          f"{statistics.median(loads['ahead']):,.0f}; share of a processor: this reader "
          f"{statistics.median(loads['reader']):.2f}, the executor "
          f"{statistics.median(loads['executor']):.2f} (load {os.getloadavg()[0]:.1f})")


def main():
    parts = sys.argv[1:] or ["many", "flood"]
    if "many" in parts:
        many_terminals()
    if "flood" in parts:
        flood("terminal", "terminal runs of `yes`")
        flood("stream", "streamed pipelines `yes | cat`")


if __name__ == "__main__":
    main()
