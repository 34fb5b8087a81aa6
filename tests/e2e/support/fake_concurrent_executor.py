#!/usr/bin/env python3
"""A stand-in executor for the client's background runs, scripted by command names.

Every line received is appended to $ZELTA_FAKE_LOG. "hello" is answered with
"concurrent" unless $ZELTA_FAKE_OLD is set (then "Unknown: hello", as an executor
without extensions answers). Each "run.ast" gets its "recv", then by the first
member's name:
  refuse  an error reply;
  die     nothing: the executor ends at once;
  hang    "started" (on a terminal) and no end until "run.signal" (exit 128 + n);
  status N  ends with code N;  anything else writes its arguments and ends with 0.
A run on a terminal ("started" sent) ends only once Ctrl-D is typed into it; a
pipeline on pipes ends at once. Control lines for runs that are not live are dropped.
"""
import json
import os
import sys

SIGNALS = {"INT": 2, "TERM": 15, "KILL": 9}
log = open(os.environ["ZELTA_FAKE_LOG"], "a") if os.environ.get("ZELTA_FAKE_LOG") else None
live = {}  # run_id -> (name, args)


def send(message):
    try:
        sys.stdout.write(json.dumps(message, separators=(",", ":")) + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        os._exit(0)  # the client has gone: nobody reads any more


def finish(run_id):
    name, args = live.pop(run_id)
    send({"exit_code": int(args[0]) if name == "status" else 0, "run_id": run_id, "type": "exit"})


for line in sys.stdin:
    if log:
        log.write(line)
        log.flush()
    request = json.loads(line)
    kind, run_id = request.get("type"), request.get("run_id", "")
    if kind == "hello":
        if os.environ.get("ZELTA_FAKE_OLD"):
            send({"exit_code": 1, "error": "Unknown: hello"})
        else:
            send({"exit_code": 0, "extensions": ["concurrent"], "version": "0"})
    elif kind == "run.ast":
        ast = request["ast"]
        first = ast["Command"] if "Command" in ast else ast["Pipeline"]["commands"][0]["Command"]
        name = first["name"]
        send({"msg_type": "run.ast", "run_id": run_id, "type": "recv"})
        if name == "die":
            sys.exit(0)
        if name == "refuse":
            send({"exit_code": 1, "error": "spawn failed: refused"})
            continue
        args = first["args"]
        live[run_id] = (name, args)
        terminal = "Command" in ast or request.get("terminal")
        if terminal:
            send({"backend_pid": 1, "child_pid": 2, "command": name, "run_id": run_id,
                  "type": "started"})
        if args and name not in ("status", "hang"):
            send({"data": " ".join(args) + "\n", "run_id": run_id, "type": "stdout"})
        if not terminal and name != "hang":
            finish(run_id)
    elif kind == "stdin.write" and run_id in live:
        if "\x04" in request.get("data", "") and live[run_id][0] != "hang":
            finish(run_id)
    elif kind == "run.signal" and run_id in live:
        live.pop(run_id)
        send({"exit_code": 128 + SIGNALS.get(request.get("signal"), 2), "run_id": run_id,
              "type": "exit"})
