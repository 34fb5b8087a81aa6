#!/usr/bin/env python3
"""Validates protocol lines against docs/protocol.schema.json.

Lines come from the sessions shown in the guides (docs/protocol.md "session"
blocks, the README's example) and from a capture file that the end-to-end
harness writes when ZELTA_PROTOCOL_CAPTURE names it (entries "TAG > LINE" for
a line sent to the executor, "TAG < LINE" for one it wrote, "TAG >! LENGTH" /
"TAG <! LENGTH" for lines too long to copy).

Which lines are checked, and against what:
- every line the executor wrote must be a reply or an event (`$defs/output`);
- a line sent to the executor is a request exactly when the executor's own
  decoder accepts it (the request_line_check program answers that); such a
  line must validate against `$defs/request`. The tests send many lines
  malformed on purpose; those the schema can judge (plain JSON without
  repeated keys, numbers written as integers, at most 128 levels deep) must be
  rejected by `$defs/request` too, so the schema is neither looser nor
  stricter than the decoder. The others are counted, not judged.
- the tree of a "run.ast" request must validate against `$defs/syntaxTree`
  exactly when the executor would run it (request_line_check answers that too;
  trees holding numbers written with a fraction are not judged when refused).
"""

import argparse
import json
import re
import subprocess
import sys

import jsonschema

MAX_DEPTH = 128


class Verdicts:
    """Counts and the first failures of one check."""

    def __init__(self):
        self.counts = {}
        self.failures = []

    def count(self, what):
        self.counts[what] = self.counts.get(what, 0) + 1

    def fail(self, where, line, message):
        self.failures.append(f"{where}: {message}\n    {line[:300]}")


def load_validators(schema_path):
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)

    def validator(definition):
        sub = {"$schema": schema["$schema"], "$defs": schema["$defs"],
               "$ref": "#/$defs/" + definition}
        return jsonschema.Draft202012Validator(sub)

    return {"request": validator("request"), "output": validator("output"),
            "tree": validator("syntaxTree"), "top": jsonschema.Draft202012Validator(schema)}


class Parsed:
    """A line parsed as strict JSON, with what JSON Schema cannot see."""

    def __init__(self, text):
        self.repeated_key = False
        self.float_written = False
        self.value = None
        self.error = None
        try:
            self.value = json.loads(text, object_pairs_hook=self._object,
                                    parse_float=self._float,
                                    parse_constant=self._constant)
        except (ValueError, RecursionError) as e:
            self.error = str(e)

    def _object(self, pairs):
        keys = [k for k, _ in pairs]
        if len(set(keys)) != len(keys):
            self.repeated_key = True
        return dict(pairs)

    def _float(self, text):
        self.float_written = True
        return float(text)

    @staticmethod
    def _constant(name):
        raise ValueError("not JSON: " + name)

    def depth(self):
        deepest, stack = 0, [(self.value, 1)]
        while stack:
            value, level = stack.pop()
            if isinstance(value, (dict, list)):
                deepest = max(deepest, level)
                items = value.values() if isinstance(value, dict) else value
                stack.extend((item, level + 1) for item in items)
        return deepest

    def judgeable(self):
        """True when validation alone can tell whether the decoder takes it."""
        return (self.error is None and not self.repeated_key and not self.float_written
                and self.depth() <= MAX_DEPTH)


def first_error(validator, value):
    error = jsonschema.exceptions.best_match(validator.iter_errors(value))
    return None if error is None else error.message[:200]


def check_output(validators, verdicts, where, text):
    parsed = Parsed(text)
    if parsed.error is not None:
        verdicts.fail(where, text, "output line is not JSON: " + parsed.error)
        return
    error = first_error(validators["output"], parsed.value)
    if error is not None:
        verdicts.fail(where, text, "output line is no reply or event: " + error)
        return
    value = parsed.value
    # The stream text appears twice in an output event; only code can compare.
    stream = value.get("type") if isinstance(value, dict) else None
    if stream in ("stdout", "stderr") and "data" in value and value["data"] != value[stream]:
        verdicts.fail(where, text, f"data and {stream} differ")
        return
    verdicts.count("output lines valid")


def check_tree(validators, verdicts, where, text, parsed, runnable):
    """The tree of a served "run.ast" request against `$defs/syntaxTree`."""
    request = parsed.value
    if request.get("type") != "run.ast" or request.get("ast") is None:
        return
    valid = validators["tree"].is_valid(request["ast"])
    if runnable and not valid:
        error = first_error(validators["tree"], request["ast"])
        verdicts.fail(where, text, "runnable tree fails the schema: " + error)
    elif not runnable and valid and not parsed.float_written:
        verdicts.fail(where, text, "refused tree passes the schema")
    else:
        verdicts.count("trees valid" if runnable else
                       "refused trees rejected by the schema" if not valid else
                       "refused trees the schema cannot judge")


def check_input(validators, verdicts, where, raw, served):
    text = raw.decode("utf-8", errors="replace")
    try:
        # A line that is not UTF-8 is no JSON text at all (it ends the executor).
        parsed = Parsed(raw.decode("utf-8")) if b"\0" not in raw else None
    except UnicodeDecodeError:
        parsed = None
    if served:
        if parsed is None or parsed.error is not None:
            verdicts.fail(where, text, "served request is not JSON to the checker")
            return
        error = first_error(validators["request"], parsed.value)
        if error is not None:
            verdicts.fail(where, text, "served request fails the schema: " + error)
            return
        verdicts.count("request lines valid")
        check_tree(validators, verdicts, where, text, parsed, served == "2")
    elif parsed is not None and parsed.judgeable():
        if validators["request"].is_valid(parsed.value):
            verdicts.fail(where, text, "refused line passes the schema as a request")
            return
        verdicts.count("refused lines rejected by the schema")
    else:
        verdicts.count("refused lines the schema cannot judge")


def served_flags(line_check, lines):
    """request_line_check's verdict on each line: None when refused, else "1"
    for a request, "2" for a "run.ast" request with a runnable tree."""
    if not lines:
        return []
    result = subprocess.run([line_check], input=b"".join(l + b"\n" for l in lines),
                            stdout=subprocess.PIPE, check=True)
    flags = result.stdout.split()
    if len(flags) != len(lines):
        raise SystemExit(f"request_line_check answered {len(flags)} of {len(lines)} lines")
    return [None if f == b"0" else f.decode() for f in flags]


def guide_lines(path):
    """(where, direction, bytes) of each session line in a guide."""
    sent, written = (b">>> ", b"<<< ") if path.endswith("README.md") else (b"> ", b"< ")
    fence = b"```text" if path.endswith("README.md") else b"```session"
    inside = False
    with open(path, "rb") as f:
        for number, line in enumerate(f.read().split(b"\n"), 1):
            if not inside:
                # "```session linux": a session that only Linux builds replay.
                inside = line == fence or line.startswith(fence + b" ")
                continue
            if line == b"```":
                inside = False
                continue
            line = line.replace(b"<pid>", b"4242")
            for prefix, direction in ((sent, ">"), (written, "<")):
                if line.startswith(prefix):
                    yield f"{path}:{number}", direction, line[len(prefix):]


def capture_lines(path, verdicts):
    with open(path, "rb") as f:
        for number, entry in enumerate(f.read().split(b"\n"), 1):
            if not entry:
                continue
            match = re.match(rb"(\S+) ([<>])(!?) ", entry)
            if match is None:
                verdicts.fail(f"{path}:{number}", entry.decode(errors="replace"),
                              "malformed capture entry")
                continue
            if match.group(3):
                verdicts.count("lines too long to capture")
                continue
            yield f"{path}:{number}", match.group(2).decode(), entry[match.end():]


def check(validators, line_check, entries, verdicts):
    entries = list(entries)
    inputs = [e for e in entries if e[1] == ">"]
    flags = iter(served_flags(line_check, [raw for _, _, raw in inputs]))
    for where, direction, raw in entries:
        if direction == ">":
            check_input(validators, verdicts, where, raw, next(flags))
        else:
            check_output(validators, verdicts, where, raw.decode("utf-8", errors="replace"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--schema", required=True)
    parser.add_argument("--line-check", required=True, help="the request_line_check program")
    parser.add_argument("--guide", action="append", default=[])
    parser.add_argument("--capture")
    parser.add_argument("--min-output-lines", type=int, default=1,
                        help="fail when fewer output lines were checked (a lost capture)")
    args = parser.parse_args()

    validators = load_validators(args.schema)
    verdicts = Verdicts()
    for guide in args.guide:
        check(validators, args.line_check, guide_lines(guide), verdicts)
    if args.capture:
        check(validators, args.line_check, capture_lines(args.capture, verdicts), verdicts)
    for what, number in sorted(verdicts.counts.items()):
        print(f"protocol schema: {number} {what}")
    if verdicts.counts.get("output lines valid", 0) < args.min_output_lines:
        verdicts.failures.append(f"fewer than {args.min_output_lines} output lines checked")
    for failure in verdicts.failures[:30]:
        print("FAIL " + failure)
    if verdicts.failures:
        print(f"protocol schema: {len(verdicts.failures)} failures")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
