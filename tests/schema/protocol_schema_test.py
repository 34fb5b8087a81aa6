#!/usr/bin/env python3
"""Edge cases of docs/protocol.schema.json, against the executor's own decoder.

Usage: protocol_schema_test.py SCHEMA REQUEST_LINE_CHECK
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_protocol_lines as lines  # noqa: E402

SCHEMA, LINE_CHECK = sys.argv[1], sys.argv[2]
VALIDATORS = lines.load_validators(SCHEMA)

SERVED, REFUSED, UNJUDGED = "served", "refused", "refused, not expressible"

# (request line, what the decoder does with it and whether the schema can tell).
REQUESTS = [
    ('{"type":"x"}', SERVED),
    ('{"type":"run.resize","run_id":"r1","rows":30,"cols":100}', SERVED),
    ('{"type":"run.resize","run_id":"r1","rows":null}', SERVED),
    ('{"type":"x","run_id":null,"cwd":null,"env":null,"ast":null,"commands":null}', SERVED),
    ('{"type":"x","unknown":{"deep":[1,2.5,null]},"Type":5,"exit_code":0}', SERVED),
    ('{"type":"x","rows":65535,"cols":0}', SERVED),
    ('{"type":"x","rows":-0}', SERVED),
    ('{"type":"x","timeout_ms":18446744073709551615}', SERVED),
    ('{"type":"x","env":{"A":"1","B":""},"patterns":[],"operators":["|"]}', SERVED),
    ('{"type":"x","direction":"in","signal":"KILL","data":"\\u0003","path":"p"}', SERVED),
    ('{"type":"run.ast","stream":true,"terminal":false}', SERVED),
    ('{"type":"x","stream":null,"terminal":null}', SERVED),
    ('{"type":"x","stream":1}', REFUSED),
    ('{"type":"x","terminal":"true"}', REFUSED),
    ('{"type":"x","ast":5}', SERVED),
    ('{"type":"x","ast":[1,{"a":null}]}', SERVED),
    ('{"type":"x","redirects":[{"kind":"Output","file":"f"},{"fd":null,"kind":"Input","file":"g"}]}',
     SERVED),
    ('{"type":"x","redirects":[{"fd":2147483647,"kind":{"Append":null},"file":"f","x":[1]}]}',
     SERVED),
    ('{"type":"x","redirects":[{"fd":-2147483648,"kind":"HereString","file":"t"}]}', SERVED),
    ('{"type":"x","redirects":[[null,"OutputDup","f"],[2,{"HereDoc":null},"t"]]}', SERVED),
    ('{"type":"x","commands":[{"command":"ls"},{"command":"wc","args":null,"x":1}]}', SERVED),
    ('{"type":"x","commands":[["ls"],["ls",["-l"]],["ls",null]]}', SERVED),
    ('{"type":"hello","extensions":["env","no-such"]}', SERVED),
    ('{"type":"x","env_clear":true,"raw_output":false,"base64":"AA==","extensions":null}', SERVED),
    ('{"type":"run.pause","run_id":"r"}', SERVED),
    ('{"type":"x","raw_output":"yes"}', REFUSED),
    ('{"type":"run.ast","terminal_fd":2147483647}', SERVED),
    ('{"type":"x","terminal_fd":null}', SERVED),
    ('{"type":"x","terminal_fd":2147483648}', REFUSED),
    ('{"type":"x","terminal_fd":-1}', REFUSED),
    ('{"type":"x","env_clear":1}', REFUSED),
    ('{"type":"x","extensions":[1]}', REFUSED),
    ('{"type":"x","extensions":"env"}', REFUSED),
    ('{"type":"x","base64":false}', REFUSED),
    ('{}', REFUSED),
    ('{"type":null}', REFUSED),
    ('{"type":5}', REFUSED),
    ('[{"type":"x"}]', REFUSED),
    ('"x"', REFUSED),
    ('{"type":"glob","rows":"24"}', REFUSED),
    ('{"type":"x","rows":65536}', REFUSED),
    ('{"type":"x","cols":-1}', REFUSED),
    ('{"type":"x","rows":true}', REFUSED),
    ('{"type":"x","timeout_ms":18446744073709551616}', REFUSED),
    ('{"type":"x","run_id":7}', REFUSED),
    ('{"type":"x","data":true}', REFUSED),
    ('{"type":"x","env":{"A":1}}', REFUSED),
    ('{"type":"x","env":{"A":null}}', REFUSED),
    ('{"type":"x","env":[]}', REFUSED),
    ('{"type":"x","patterns":["a",null]}', REFUSED),
    ('{"type":"x","patterns":"*"}', REFUSED),
    ('{"type":"x","args":{}}', REFUSED),
    ('{"type":"x","redirects":[{"fd":2147483648,"kind":"Output","file":"f"}]}', REFUSED),
    ('{"type":"x","redirects":[{"fd":-2147483649,"kind":"Output","file":"f"}]}', REFUSED),
    ('{"type":"x","redirects":[{"kind":"Output"}]}', REFUSED),
    ('{"type":"x","redirects":[{"file":"f"}]}', REFUSED),
    ('{"type":"x","redirects":[{"kind":"output","file":"f"}]}', REFUSED),
    ('{"type":"x","redirects":[{"kind":{"Output":1},"file":"f"}]}', REFUSED),
    ('{"type":"x","redirects":[{"kind":{},"file":"f"}]}', REFUSED),
    ('{"type":"x","redirects":[{"kind":{"Output":null,"Input":null},"file":"f"}]}', REFUSED),
    ('{"type":"x","redirects":[{"kind":"Output","file":null}]}', REFUSED),
    ('{"type":"x","redirects":[[2,"Append"]]}', REFUSED),
    ('{"type":"x","redirects":[[2,"Append","f",1]]}', REFUSED),
    ('{"type":"x","redirects":[["2","Append","f"]]}', REFUSED),
    ('{"type":"x","redirects":"f"}', REFUSED),
    ('{"type":"x","commands":[{"args":[]}]}', REFUSED),
    ('{"type":"x","commands":[{"command":"ls","args":[1]}]}', REFUSED),
    ('{"type":"x","commands":[[]]}', REFUSED),
    ('{"type":"x","commands":[["ls",[],1]]}', REFUSED),
    ('{"type":"x","commands":[[5]]}', REFUSED),
    ('{"type":"x","commands":[null]}', REFUSED),
    ('{"type":"glob","rows":24.0}', UNJUDGED),
    ('{"type":"glob","timeout_ms":1e3}', UNJUDGED),
    ('{"type":"x","type":"x"}', UNJUDGED),
    ('{"type":"x","redirects":[{"kind":"Output","file":"f","file":"g"}]}', UNJUDGED),
    ('{"type":"x"} trailing', UNJUDGED),
    ('{"type":"x","ast":' + "[" * 128 + "]" * 128 + "}", UNJUDGED),
    ('', UNJUDGED),
]

CMD = '{"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":[]}}'
# (ast of a "run.ast" request, whether the executor runs it: True, False, or
# None for a refusal the schema cannot see).
TREES = [
    (CMD, True),
    ('{"Command":{"name":"ls","args":["-l"],"single_quoted_args":[true],"redirects":[],"x":1}}',
     True),
    ('{"Command":{"name":5,"name":"ls","args":[],"single_quoted_args":[],"redirects":[]}}', True),
    ('{"Command":{"name":"ls","args":[],"single_quoted_args":[],'
     '"redirects":[{"fd":2,"kind":"Output","file":"/dev/null"},[null,{"Append":null},"f"]]}}', True),
    ('{"Pipeline":{"commands":[%s,%s]}}' % (CMD, CMD), True),
    ('{"Pipeline":{"commands":[%s],"operators":[]}}' % CMD, True),
    ('{"Command":{"name":"ls","args":[],"redirects":[]}}', False),
    ('{"Command":{"name":"ls","args":7,"single_quoted_args":[],"redirects":[]}}', False),
    ('{"Command":{"name":null,"args":[],"single_quoted_args":[],"redirects":[]}}', False),
    ('{"Command":{"name":"ls","args":[],"single_quoted_args":[1],"redirects":[]}}', False),
    ('{"Command":{"name":"ls","args":[],"single_quoted_args":[],'
     '"redirects":[{"fd":2147483648,"kind":"Output","file":"f"}]}}', False),
    ('{"Command":{"name":"ls","args":[],"single_quoted_args":[],'
     '"redirects":[{"kind":"output","file":"f"}]}}', False),
    ('{"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":[[2,"Output"]]}}',
     False),
    ('{"Command":{"name":"ls","args":[],"single_quoted_args":[],"redirects":[]},"x":1}', False),
    ('{"Pipeline":{"commands":[]}}', False),
    ('{"Pipeline":{"commands":[{"Pipeline":{"commands":[%s]}}]}}' % CMD, False),
    ('{"List":{"statements":[],"operators":[]}}', False),
    ('"ls"', False),
    ('[]', False),
    ('{"Command":{"name":"ls","args":[],"single_quoted_args":[],'
     '"redirects":[{"fd":1.0,"kind":"Output","file":"f"}]}}', None),
]

# (output line, valid).
OUTPUTS = [
    ('{"exit_code":0,"content":"caf\u00e9\\n"}', True),
    ('{"exit_code":0,"glob_matches":[]}', True),
    ('{"exit_code":0,"glob_matches":["/a","/b"]}', True),
    ('{"exit_code":0,"temp_path":"/tmp/zelta-stdio-7"}', True),
    ('{"exit_code":1,"error":"Parse error"}', True),
    ('{"msg_type":"run.ast","run_id":"","type":"recv"}', True),
    ('{"backend_pid":1,"child_pid":2147483647,"command":"ls","run_id":"r","type":"started"}', True),
    ('{"data":"","run_id":"r","stdout":"","type":"stdout"}', True),
    ('{"data":"e\\n","run_id":"r","stderr":"e\\n","type":"stderr"}', True),
    ('{"exit_code":255,"run_id":"run-0","type":"exit"}', True),
    ('{"exit_code":0,"extensions":["env","signals"],"version":"0.1.0"}', True),
    ('{"base64":"6f8=","run_id":"r","type":"stdout"}', True),
    ('{"core_dumped":true,"exit_code":139,"run_id":"r","signal":"SEGV","type":"exit"}', True),
    ('{"exit_code":162,"run_id":"r","signal":"RTMIN+2","type":"exit"}', True),
    ('{"cwd":"/","name":"vim","pid":7,"run_id":"r","type":"foreground"}', True),
    ('{"run_id":"r","type":"foreground"}', True),
    ('{"exit_code":0,"extensions":["env"]}', False),
    ('{"base64":"6f8","run_id":"r","type":"stdout"}', False),
    ('{"base64":"","run_id":"r","type":"stdout"}', False),
    ('{"base64":"6f8=","data":"x","run_id":"r","stdout":"x","type":"stdout"}', False),
    ('{"core_dumped":true,"exit_code":139,"run_id":"r","type":"exit"}', False),
    ('{"core_dumped":false,"exit_code":139,"run_id":"r","signal":"SEGV","type":"exit"}', False),
    ('{"pid":0,"run_id":"r","type":"foreground"}', False),
    ('{"exit_code":0,"content":"x","error":"y"}', False),
    ('{"exit_code":1,"content":"x"}', False),
    ('{"exit_code":0,"error":"x"}', False),
    ('{"exit_code":1,"error":""}', False),
    ('{"exit_code":true,"error":"x"}', False),
    ('{"exit_code":0}', False),
    ('{"exit_code":0,"glob_matches":[1]}', False),
    ('{"exit_code":0,"temp_path":null}', False),
    ('{"msg_type":"run.ast","type":"recv"}', False),
    ('{"msg_type":"run.ast","run_id":"r","type":"recv","extra":1}', False),
    ('{"backend_pid":0,"child_pid":2,"command":"ls","run_id":"r","type":"started"}', False),
    ('{"backend_pid":1,"child_pid":4294967295,"command":"ls","run_id":"r","type":"started"}', False),
    ('{"data":"a","run_id":"r","type":"stdout"}', False),
    ('{"data":"a","run_id":"r","stdout":"b","type":"stdout"}', False),
    ('{"data":"a","run_id":"r","stderr":"a","type":"stdout"}', False),
    ('{"exit_code":256,"run_id":"r","type":"exit"}', False),
    ('{"exit_code":-1,"run_id":"r","type":"exit"}', False),
    ('{"exit_code":0,"run_id":"r","type":"exit","error":"x"}', False),
    ('{"type":"run.ast","run_id":"r"}', False),
    ('{"exit_code":0,"content":"x"} x', False),
]


class SchemaAgainstDecoder(unittest.TestCase):
    def test_requests_are_judged_as_the_decoder_judges_them(self):
        served = lines.served_flags(LINE_CHECK, [line.encode() for line, _ in REQUESTS])
        outcome_counter = {SERVED: "request lines valid",
                           REFUSED: "refused lines rejected by the schema",
                           UNJUDGED: "refused lines the schema cannot judge"}
        for (line, expected), is_served in zip(REQUESTS, served):
            with self.subTest(line=line[:120]):
                self.assertEqual(is_served is not None, expected == SERVED, "decoder verdict")
                verdicts = lines.Verdicts()
                lines.check_input(VALIDATORS, verdicts, "case", line.encode(), is_served)
                self.assertEqual(verdicts.failures, [])
                self.assertEqual(verdicts.counts, {outcome_counter[expected]: 1})
                if expected == SERVED:
                    self.assertTrue(VALIDATORS["top"].is_valid(lines.Parsed(line).value))

    def test_trees_are_judged_as_the_executor_judges_them(self):
        requests = ['{"type":"run.ast","run_id":"t","ast":%s}' % tree for tree, _ in TREES]
        verdicts_of_checker = lines.served_flags(LINE_CHECK, [r.encode() for r in requests])
        counter = {True: "trees valid", False: "refused trees rejected by the schema",
                   None: "refused trees the schema cannot judge"}
        for request, (_, runnable), verdict in zip(requests, TREES, verdicts_of_checker):
            with self.subTest(request=request):
                self.assertEqual(verdict, "2" if runnable else "1", "executor verdict")
                verdicts = lines.Verdicts()
                lines.check_input(VALIDATORS, verdicts, "case", request.encode(), verdict)
                self.assertEqual(verdicts.failures, [])
                self.assertEqual(verdicts.counts.get(counter[runnable]), 1)

    def test_outputs_are_exact(self):
        for line, valid in OUTPUTS:
            with self.subTest(line=line):
                verdicts = lines.Verdicts()
                lines.check_output(VALIDATORS, verdicts, "case", line)
                self.assertEqual(verdicts.failures == [], valid, verdicts.failures)
                if valid:
                    self.assertTrue(VALIDATORS["top"].is_valid(lines.Parsed(line).value))

    def test_capture_entries(self):
        path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"capture-{os.getpid()}.log")
        with open(path, "wb") as f:
            f.write(b'1.2 > {"type":"glob","patterns":["*"]}\n'
                    b'1.2 < {"exit_code":0,"glob_matches":[]}\n'
                    b'1.2 > {"type":"\xff"}\n'
                    b'1.2 <! 104857600\n'
                    b'1.2 > {"type":"x","rows":"24"}\n'
                    b'1.2 < {"exit_code":1,"error":"Parse error"}\n'
                    b'junk\n')
        try:
            verdicts = lines.Verdicts()
            lines.check(VALIDATORS, LINE_CHECK, lines.capture_lines(path, verdicts), verdicts)
        finally:
            os.unlink(path)
        self.assertEqual(verdicts.counts, {"request lines valid": 1, "output lines valid": 2,
                                           "refused lines the schema cannot judge": 1,
                                           "refused lines rejected by the schema": 1,
                                           "lines too long to capture": 1})
        self.assertEqual(len(verdicts.failures), 1)
        self.assertIn("malformed capture entry", verdicts.failures[0])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
