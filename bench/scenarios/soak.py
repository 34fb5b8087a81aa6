"""Soak: 10,000 mixed requests (ZELTA_SOAK_REQUESTS to change) against one
executor, then the figures that must not have moved: open descriptors,
children, files left in the here-document directory, resident memory.
Afterwards, when ZELTA_SOAK_HUGE is set, the full-size huge inputs: a 100 MB
request line, a 10 MB typed input and a pipeline writing 1 GB on standard
error. Exits non-zero when a request is answered wrongly or anything leaked."""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

executor_path = os.environ.get("ZELTA_EXECUTOR", "build/release/stdio_executor")
requests = int(os.environ.get("ZELTA_SOAK_REQUESTS", "10000"))
LARGE_WRITE = 256 * 1024


class Executor:
    def __init__(self, env):
        self.proc = subprocess.Popen([executor_path], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=env, bufsize=0)
        self.buffer = bytearray()

    def send(self, obj_or_text):
        text = obj_or_text if isinstance(obj_or_text, str) else json.dumps(obj_or_text)
        self.proc.stdin.write(text.encode() + b"\n")

    def line(self, timeout=60):
        return json.loads(self.raw_line(timeout))

    def raw_line(self, timeout=60):
        deadline = time.monotonic() + timeout
        scanned = 0
        while True:
            end = self.buffer.find(b"\n", scanned)
            if end >= 0:
                break
            scanned = len(self.buffer)
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise SystemExit("no reply within %d s" % timeout)
            chunk = os.read(self.proc.stdout.fileno(), 16 << 20)
            if not chunk:
                raise SystemExit("executor closed its output")
            self.buffer += chunk
        line = bytes(self.buffer[:end])
        del self.buffer[:end + 1]
        return line

    def run(self, timeout=60):
        """Events of one run up to "exit", or the error reply."""
        out, err = "", ""
        while True:
            m = self.line(timeout)
            if "error" in m:
                return {"error": m["error"], "stdout": out, "stderr": err, "exit": None}
            if m.get("type") == "stdout":
                out += m["stdout"]
            if m.get("type") == "stderr":
                err += m["stderr"]
            if m.get("type") == "exit":
                return {"error": None, "stdout": out, "stderr": err, "exit": m["exit_code"]}

    def until(self, needle):
        while True:
            m = self.line()
            if needle in json.dumps(m):
                return m

    def fds(self):
        d = "/proc/%d/fd" % self.proc.pid
        return sorted((f, os.readlink(os.path.join(d, f))) for f in os.listdir(d))

    def children(self):
        p = self.proc.pid
        with open("/proc/%d/task/%d/children" % (p, p)) as f:
            return f.read().split()

    def rss_kib(self, key="VmRSS:"):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1])
        return -1


def command(run_id, name, args=(), redirects=(), **extra):
    request = {"type": "run.ast", "run_id": run_id,
               "ast": {"Command": {"name": name, "args": list(args), "single_quoted_args": [],
                                   "redirects": list(redirects)}}}
    request.update(extra)
    return request


def pipeline(run_id, members, **extra):
    commands = [{"Command": {"name": m[0], "args": m[1:], "single_quoted_args": [],
                             "redirects": []}} for m in members]
    request = {"type": "run.ast", "run_id": run_id,
               "ast": {"Pipeline": {"commands": commands,
                                    "operators": ["|"] * (len(members) - 1)}}}
    request.update(extra)
    return request


def redirect(kind, file, fd=None):
    return {"fd": fd, "kind": kind, "file": file}


failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def step(ex, i, scratch, tmp):
    rid = "s%d" % i
    env = {"env": {"TMPDIR": tmp}}
    kind = i % 14
    if kind == 0:
        r = ex.send(command(rid, "true")) or ex.run()
        check(r["exit"] == 0, "true")
    elif kind == 1:
        reds = [redirect("Output", scratch + "/out.txt"),
                redirect("Append", scratch + "/log.txt", 2),
                redirect("Input", scratch + "/input.txt")]
        r = ex.send(command(rid, "sh", ["-c", "cat; echo err >&2"], reds)) or ex.run()
        check(r["exit"] == 0 and r["stdout"] == "", "redirections")
    elif kind == 2:
        reds = [redirect("HereDoc", "doc\n"), redirect("HereString", "s")]
        r = ex.send(command(rid, "cat", [], reds, **env)) or ex.run()
        check(r["stdout"] == "s\r\n", "here-documents")
    elif kind == 3:
        r = ex.send(command(rid, "zelta-no-such-program")) or ex.run()
        check(r["exit"] == 127, "failed launch")
    elif kind == 4:
        name, code = [("TERM", 143), ("KILL", 137), ("INT", 130)][i % 3]
        ex.send(command(rid, "sleep", ["30"]))
        ex.until('"started"')
        ex.send({"type": "run.signal", "run_id": rid, "signal": name})
        check(ex.run()["exit"] == code, "signal " + name)
    elif kind == 5:
        ex.send(command(rid, "sh", ["-c", "echo ready; exec sleep 30"]))
        ex.until("ready")
        ex.send({"type": "stream.flush", "run_id": rid, "timeout_ms": 50})
        ex.send({"type": "run.signal", "run_id": rid, "signal": "KILL"})
        check(ex.run()["exit"] == 137, "flush")
    elif kind == 6:
        ex.send(command(rid, "sh", ["-c", "stty raw -echo; echo ready; head -c %d | wc -c"
                                    % LARGE_WRITE]))
        ex.until("ready")
        ex.send({"type": "stdin.write", "run_id": rid, "data": "w" * LARGE_WRITE})
        r = ex.run()
        check(r["exit"] == 0 and str(LARGE_WRITE) in r["stdout"], "large stdin.write")
    elif kind == 7:
        ex.send({"type": "read_file", "path": scratch + "/input.txt"})
        check(ex.line() == {"exit_code": 0, "content": "line\n"}, "read_file")
    elif kind == 8:
        ex.send({"type": "glob", "patterns": ["*.txt", "**"], "cwd": scratch})
        check(ex.line().get("exit_code") == 0, "glob")
    elif kind == 9:
        ex.send("not json" if i % 2 else '{"type":"glob","rows":"24"}')
        check(ex.line() == {"exit_code": 1, "error": "Parse error"}, "undecodable line")
    elif kind == 10:
        ex.send({"type": "stdin.write", "run_id": rid, "data": "late"})
        check(ex.line()["error"] == "Unknown: stdin.write", "stray control request")
    elif kind == 11:
        r = ex.send(pipeline(rid, [["sh", "-c", "echo a; echo e1 >&2"],
                                   ["sh", "-c", "cat; echo e2 >&2"]])) or ex.run()
        check(r["stdout"] == "a\n" and r["stderr"] == "e1\ne2\n" and r["exit"] == 0,
              "pipeline %r" % r)
    elif kind == 12:
        r = ex.send(pipeline(rid, [["true"], ["zelta-no-such-program"]])) or ex.run()
        check((r["error"] or "").startswith("spawn failed: "), "failed pipeline %r" % r)
    else:
        r = ex.send(command(rid, "echo", ["done"])) or ex.run()
        check(r["stdout"] == "done\r\n", "echo")


def huge(ex):
    """The full-size huge inputs; each is timed."""
    start = time.monotonic()
    ex.send('{"type":"process_subst","extra":"' + "x" * (100 << 20) + '"}')
    check(ex.line(300).get("exit_code") == 0, "100 MB request line")
    print("huge: 100 MB request line %.1f s" % (time.monotonic() - start))
    start = time.monotonic()
    typed = 10 << 20
    ex.send(command("h", "sh", ["-c", "stty raw -echo; echo ready; head -c %d | wc -c" % typed]))
    ex.until("ready")
    ex.send({"type": "stdin.write", "run_id": "h", "data": "t" * typed})
    check(str(typed) in ex.run(300)["stdout"], "10 MB stdin.write")
    print("huge: 10 MB stdin.write %.1f s" % (time.monotonic() - start))
    start = time.monotonic()
    size = 1000000000
    ex.send(pipeline("g", [["sh", "-c", "head -c %d /dev/zero | tr '\\0' e >&2" % size],
                           ["true"]]))
    # The event line carries the text twice; it is checked by its shape and
    # length rather than parsed.
    check(ex.line() == {"msg_type": "run.ast", "run_id": "g", "type": "recv"}, "recv")
    line = ex.raw_line(900)
    shape = b'{"data":"","run_id":"g","stderr":"","type":"stderr"}'
    check(len(line) == 2 * size + len(shape) and line.startswith(b'{"data":"eee'),
          "1 GB standard error")
    del line
    check(ex.line(60) == {"exit_code": 0, "run_id": "g", "type": "exit"}, "exit after 1 GB")
    print("huge: 1 GB standard error %.1f s" % (time.monotonic() - start))


def settle(ex, fds, timeout=20):
    """Waits until the executor's descriptors are `fds` again: the captures
    of a pipeline whose launch failed finish in the background."""
    deadline = time.monotonic() + timeout
    while ex.fds() != fds and time.monotonic() < deadline:
        time.sleep(0.01)


def main():
    scratch = tempfile.mkdtemp(prefix="zelta-soak-")
    tmp = tempfile.mkdtemp(prefix="zelta-soak-tmp-")
    with open(scratch + "/input.txt", "w") as f:
        f.write("line\n")
    env = dict(os.environ, TMPDIR=tmp)
    ex = Executor(env)
    try:
        fds = ex.fds()
        for i in range(14):  # warm up: every kind once
            step(ex, i, scratch, tmp)
        settle(ex, fds)
        rss = ex.rss_kib()
        started = time.monotonic()
        for i in range(14, requests):
            step(ex, i, scratch, tmp)
        elapsed = time.monotonic() - started
        # Once this is answered the last run has released all it held.
        ex.send({"type": "process_subst"})
        check(ex.line().get("exit_code") == 0, "process_subst")
        settle(ex, fds)
        fds_after, children, left, rss_after = ex.fds(), ex.children(), os.listdir(tmp), ex.rss_kib()
        print("soak: %d requests in %.1f s" % (requests, elapsed))
        print("soak: descriptors %d -> %d%s" % (len(fds), len(fds_after),
                                                "" if fds == fds_after else " (CHANGED)"))
        print("soak: children %d, here-document files left %d" % (len(children), len(left)))
        print("soak: resident memory %d KiB -> %d KiB" % (rss, rss_after))
        check(fds == fds_after, "descriptors changed: %r -> %r" % (fds, fds_after))
        check(not children and not left, "children or files left")
        check(rss_after < rss + 2048, "resident memory grew")
        if os.environ.get("ZELTA_SOAK_HUGE"):
            huge(ex)
            print("huge: resident memory afterwards %d KiB, peak %d KiB"
                  % (ex.rss_kib(), ex.rss_kib("VmHWM:")))
        ex.proc.stdin.close()
        check(ex.proc.wait(30) == 0, "exit status")
    finally:
        if ex.proc.poll() is None:
            ex.proc.kill()
            ex.proc.wait()
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.rmtree(tmp, ignore_errors=True)
    print("soak: %d failures" % len(failures))
    sys.exit(1 if failures else 0)


main()
