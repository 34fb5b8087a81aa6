#!/usr/bin/env python3
"""Terminal latencies a front end feels, each against baselines measured in the
same run, rounds interleaved so a burst of load hits every side alike:
- launch of `true` (request to "exit") against in-process C forkpty and node-pty,
  also with a 100 MB heap in the executor (after a large read_file);
- keystroke echo (one character to `cat` until the event carrying its echo)
  against a two-process C relay (pipe -> terminal -> pipe, no framing) and node-pty,
  once as the first keys after a pause (fresh processes, a short block per side)
  and once as typing (both sides running, bursts alternating between them);
- output latency (a line printed every 10 ms, from its write to the front
  end's read) against the same relay and node-pty.
Each figure is the median and the 99th percentile of all samples in microseconds.
node-pty comes from build/nodepty (installed there by bench/run.sh for the
benchmark only); without it its column is skipped."""
import json
import os
import select
import subprocess
import sys
import time

build = os.environ["ZELTA_BUILD"]
executor = os.environ["ZELTA_EXECUTOR"]
root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
driver = os.path.join(build, "bench", "pty_driver_bench")
forkpty_true = os.path.join(build, "bench", "baseline_pty_true")
relay = os.path.join(build, "bench", "baseline_pty_relay")
ticker = os.path.join(build, "bench", "program_ticker")
node_script = os.path.join(root, "node", "pty_latency.js")
node_modules = os.path.join(os.path.dirname(build), "nodepty", "node_modules")

# Many short rounds: the load on a shared machine comes in bursts, and short
# interleaved rounds spread them over every side alike.
ROUNDS = int(os.environ.get("ZELTA_BENCH_ROUNDS", "33"))
LAUNCHES = 15  # per round and side
KEYS = 15
TICKS = 15


def now_us():
    return time.monotonic_ns() / 1000


class Lines:
    """Reads whole lines from a descriptor, each with the time of the read
    that completed it."""

    def __init__(self, fd):
        self.fd = fd
        self.buffer = b""
        self.read_at = 0.0

    def next(self):
        if not self.buffer:
            # The usual case: one read brings exactly one line.
            chunk = os.read(self.fd, 65536)
            self.read_at = now_us()
            if not chunk:
                raise EOFError
            if chunk.find(b"\n") == len(chunk) - 1:
                return chunk[:-1]
            self.buffer = chunk
        if b"\n" not in self.buffer:
            # Chunks are joined once the line is complete: a 100 MB reply
            # must not be copied once per chunk.
            chunks = [self.buffer]
            while True:
                chunk = os.read(self.fd, 65536)
                self.read_at = now_us()
                if not chunk:
                    raise EOFError
                chunks.append(chunk)
                if b"\n" in chunk:
                    break
            self.buffer = b"".join(chunks)
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line


class Executor:
    """The executor driven over pipes by this process. Requests are encoded
    before the clock starts and replies are matched as bytes, so the front
    end's own work stays small."""

    def __init__(self):
        self.proc = subprocess.Popen([executor], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lines = Lines(self.proc.stdout.fileno())
        self.runs = 0

    def send(self, message):
        self.send_bytes(json.dumps(message).encode() + b"\n")

    def send_bytes(self, data):
        os.write(self.proc.stdin.fileno(), data)

    def run_request(self, name, args=()):
        self.runs += 1
        run_id = f"r{self.runs}"
        ast = {"Command": {"name": name, "args": list(args),
                           "single_quoted_args": [False] * len(args), "redirects": []}}
        line = json.dumps({"type": "run.ast", "run_id": run_id, "ast": ast}).encode() + b"\n"
        return run_id, line

    def until(self, kind):
        tail = b'"type":"' + kind.encode() + b'"}'
        while not self.lines.next().endswith(tail):
            pass

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def executor_launch(ex, samples):
    times = []
    for _ in range(samples):
        _, request = ex.run_request("true")
        start = now_us()
        ex.send_bytes(request)
        ex.until("exit")
        times.append(ex.lines.read_at - start)
    return times


def executor_echo(ex, samples):
    side = EchoSide("executor", ex)
    time.sleep(0.05)  # the same settling time the relay and node-pty get
    times = side.burst(samples)
    side.close(keep_executor=True)
    return times


class EchoSide:
    """A `cat` kept running behind the executor or the relay, so that bursts
    of keys to either side can alternate within milliseconds."""

    def __init__(self, kind, ex=None):
        if kind == "executor":
            self.ex = ex or Executor()
            self.run_id, request = self.ex.run_request("cat")
            self.ex.send_bytes(request)
            self.ex.until("started")
            self.proc = self.ex.proc
            self.key = json.dumps({"type": "stdin.write", "run_id": self.run_id,
                                   "data": "x"}).encode() + b"\n"
            self.mark = b'{"data":"x'
            self.read_size = 65536
        else:
            self.ex = None
            self.proc = subprocess.Popen([relay, "cat"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE)
            self.key, self.mark = b"x", b"x"
            self.read_size = 4096
        self.fd_in, self.fd_out = self.proc.stdin.fileno(), self.proc.stdout.fileno()

    def burst(self, keys):
        # As lean as the relay's loop: each event comes in one write, and
        # only the echo's event holds '{"data":"x'.
        times = []
        for _ in range(keys):
            start = now_us()
            os.write(self.fd_in, self.key)
            while self.mark not in os.read(self.fd_out, self.read_size):
                pass
            times.append(now_us() - start)
        return times

    def close(self, keep_executor=False):
        if self.ex:
            self.ex.send({"type": "stdin.write", "run_id": self.run_id, "data": "\n\x04"})
            self.ex.until("exit")
            if not keep_executor:
                self.ex.close()
        else:
            os.write(self.fd_in, b"\n\x04")
            while os.read(self.fd_out, 4096):
                pass
            self.proc.wait()


def warm_echo(echo_warm, rounds, bursts, keys):
    """Keystroke echo with both sides kept running and measured in alternating
    bursts, the first side turning every burst: the figure of a user typing,
    with every side equally warm and equally hit by the machine's load. Each
    burst counts as a round for the pairing."""
    for _ in range(rounds):
        sides = {"executor": EchoSide("executor"), "relay (C)": EchoSide("relay")}
        time.sleep(0.05)
        names = list(sides)
        for b in range(bursts):
            for name in names[b % 2:] + names[:b % 2]:
                echo_warm[name].append(sides[name].burst(keys))
        for side in sides.values():
            side.close()


def tick_latencies(text, arrived, times):
    for line in text.split("\n"):
        if line.startswith("tick "):
            times.append(arrived - int(line.split()[1].rstrip("\r")) / 1000)


def executor_output(ex, samples):
    _, request = ex.run_request(ticker, [str(samples)])
    ex.send_bytes(request)
    times = []
    pending = ""
    while True:
        line = ex.lines.next()
        arrived = ex.lines.read_at
        if line.endswith(b'"type":"exit"}'):
            return times
        if line.startswith(b'{"data":"'):
            pending += json.loads(line)["data"]
            complete, _, pending = pending.rpartition("\n")
            tick_latencies(complete, arrived, times)


def relay_echo(samples):
    side = EchoSide("relay")
    time.sleep(0.05)  # cat running, as after "started"
    times = side.burst(samples)
    side.close()
    return times


def relay_output(samples):
    proc = subprocess.Popen([relay, ticker, str(samples)], stdout=subprocess.PIPE)
    times = []
    pending = b""
    while True:
        chunk = os.read(proc.stdout.fileno(), 65536)
        arrived = now_us()
        if not chunk:
            break
        pending += chunk
        complete, _, pending = pending.rpartition(b"\n")
        tick_latencies(complete.decode(), arrived, times)
    proc.wait()
    return times


def forkpty_launch(samples):
    out = subprocess.run([forkpty_true, str(samples), "all"], check=True, capture_output=True,
                         text=True).stdout
    return [float(x) for x in out.split()]


def c_driver_launch(samples):
    """The executor timed by a C front end (no Python in the loop): median, p99."""
    out = subprocess.run([driver, "executor-latency", executor, str(samples)], check=True,
                         capture_output=True, text=True).stdout
    return [float(x) for x in out.split()]


node_ok = None


def node_pty(mode, samples, *args):
    global node_ok
    if node_ok is False:
        return None
    env = dict(os.environ, NODE_PATH=node_modules)
    proc = subprocess.run(["node", node_script, mode, str(samples), *args], env=env,
                          capture_output=True, text=True)
    if proc.returncode != 0:
        node_ok = False
        print(f"node-pty unavailable (status {proc.returncode}); its column is skipped")
        return None
    node_ok = True
    return [float(x) for x in proc.stdout.split()]


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def summary(values):
    return percentile(values, 0.5), percentile(values, 0.99)


def report(title, sides, goals):
    """sides: name -> list of rounds, each a list of samples; goals:
    (numerator, denominator, bound). Prints the median and p99 of all samples
    of each side, their ratios, and the median over rounds of the ratio of
    round medians (paired within a round, so slow stretches of the machine
    weigh on both sides)."""
    print(f"-- {title}")
    stats = {}
    for name, rounds in sides.items():
        values = [v for r in rounds for v in r]
        if not values:
            continue
        stats[name] = summary(values)
        print(f"  {name:<26} median {stats[name][0]:8.1f} us   p99 {stats[name][1]:8.1f} us"
              f"   ({len(values)} samples)")
    for numerator, denominator, bound in goals:
        if numerator not in stats or denominator not in stats:
            continue
        (a50, a99), (b50, b99) = stats[numerator], stats[denominator]
        paired = percentile([percentile(a, 0.5) / percentile(b, 0.5)
                             for a, b in zip(sides[numerator], sides[denominator]) if a and b], 0.5)
        verdict = "met" if a50 / b50 <= bound else "MISSED"
        print(f"  ratio {numerator} / {denominator}: median {a50 / b50:.2f} "
              f"(goal <= {bound}: {verdict}), p99 {a99 / b99:.2f}, paired by round {paired:.2f}")


def heap_file():
    path = "/tmp/zelta-bench-100mb.txt"
    size = 100 * 1000 * 1000
    if not os.path.exists(path) or os.path.getsize(path) != size:
        with open(path, "wb") as f:
            f.write((b"x" * 99 + b"\n") * (size // 100))
    return path


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    launch = {"executor (Python reader)": [], "executor 100 MB heap": [],
              "forkpty (C, in-process)": [], "node-pty (in-process)": []}
    c_front_end = []
    echo = {"executor": [], "relay (C)": [], "node-pty (in-process)": []}
    output = {"executor": [], "relay (C)": [], "node-pty (in-process)": []}
    heavy_rss = []
    for round_index in range(ROUNDS):
        # Every side is a fresh process in every round, as the baselines are.
        plain = Executor()
        heavy = Executor()
        heavy.send({"type": "read_file", "path": heap_file()})
        heavy.lines.next()
        heavy_rss.append(rss_kib(heavy.proc.pid))
        time.sleep(0.3)
        # The order of the sides turns every round: whatever runs first after
        # a heavy step (100 MB moved, a Node process ending) is slowed by its
        # aftermath, so each side takes that place equally often.
        steps = [
            lambda: launch["executor (Python reader)"].append(executor_launch(plain, LAUNCHES)),
            lambda: launch["forkpty (C, in-process)"].append(forkpty_launch(LAUNCHES)),
            lambda: launch["executor 100 MB heap"].append(executor_launch(heavy, LAUNCHES)),
            lambda: launch["node-pty (in-process)"].append(node_pty("launch", LAUNCHES) or []),
            lambda: c_front_end.append(c_driver_launch(LAUNCHES)),
            lambda: echo["executor"].append(executor_echo(plain, KEYS)),
            lambda: echo["relay (C)"].append(relay_echo(KEYS)),
            lambda: echo["node-pty (in-process)"].append(node_pty("echo", KEYS) or []),
            lambda: output["executor"].append(executor_output(plain, TICKS)),
            lambda: output["relay (C)"].append(relay_output(TICKS)),
            lambda: output["node-pty (in-process)"].append(
                node_pty("output", TICKS, ticker) or []),
        ]
        shift = round_index % len(steps)
        for step in steps[shift:] + steps[:shift]:
            step()
        plain.close()
        heavy.close()

    report("launch of true", launch, [
        ("executor (Python reader)", "forkpty (C, in-process)", 1.15),
        ("executor (Python reader)", "node-pty (in-process)", 0.75),
        ("executor 100 MB heap", "executor (Python reader)", 1.10),
    ])
    medians = sorted(m for m, _ in c_front_end)
    print(f"  executor from a C front end: median of round medians {medians[len(medians) // 2]:.1f} us"
          f"; RSS of the executor after the read_file: {max(heavy_rss) / 1024:.0f} MiB")
    report("keystroke echo", echo, [
        ("executor", "relay (C)", 1.10),
        ("executor", "node-pty (in-process)", 1.0),
    ])
    echo_warm = {"executor": [], "relay (C)": []}
    warm_echo(echo_warm, rounds=max(1, ROUNDS // 6), bursts=100, keys=10)
    report("keystroke echo, typing (both sides running, alternate bursts of 10 keys)",
           echo_warm, [("executor", "relay (C)", 1.10)])
    report("output latency (line every 10 ms)", output, [
        ("executor", "relay (C)", 1.10),
        ("executor", "node-pty (in-process)", 1.0),
    ])


if __name__ == "__main__":
    main()
