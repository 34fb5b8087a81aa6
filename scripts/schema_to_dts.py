#!/usr/bin/env python3
"""Writes clients/node/protocol.d.ts, the TypeScript declarations of the protocol,
from docs/protocol.schema.json: one exported type per definition (named in
PascalCase), and the unions Request, Reply, Event and ProtocolMessage.

  python3 scripts/schema_to_dts.py            # rewrite the declarations
  python3 scripts/schema_to_dts.py --check    # fail if they differ from the schema's

With --check it also makes sure clients/node/index.d.ts re-exports the
declarations and declares none of their names itself.
"""

import argparse
import json
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMA = os.path.join(ROOT, "docs", "protocol.schema.json")
OUTPUT = os.path.join(ROOT, "clients", "node", "protocol.d.ts")
INDEX = os.path.join(ROOT, "clients", "node", "index.d.ts")

# `Request` is the union of the request types the executor knows; any other
# type is a valid line too (OtherRequest), but left out so that `type` narrows.
UNIONS = {"request": "Request", "reply": "Reply", "event": "Event", "output": "Output"}
LEFT_OUT_OF_REQUEST = {"otherRequest"}


def pascal(name):
    return name[0].upper() + name[1:]


def literal(value):
    if isinstance(value, str):
        return "'" + value.replace("\\", "\\\\").replace("'", "\\'") + "'"
    return json.dumps(value)


def union(parts):
    unique = []
    for part in parts:
        if part not in unique:
            unique.append(part)
    return " | ".join(unique) if unique else "never"


class Generator:
    def __init__(self, schema):
        self.schema = schema
        self.defs = schema["$defs"]

    def resolve(self, ref):
        node = self.schema
        for part in ref.lstrip("#/").split("/"):
            node = node[part]
        return node

    def type_of(self, node):
        if "$ref" in node:
            ref = node["$ref"]
            match = re.fullmatch(r"#/\$defs/(\w+)", ref)
            return pascal(match.group(1)) if match else self.type_of(self.resolve(ref))
        if "const" in node:
            return literal(node["const"])
        if "enum" in node:
            return union([literal(v) for v in node["enum"]])
        if "anyOf" in node:
            return union([self.type_of(member) for member in node["anyOf"]])
        kinds = node.get("type")
        if kinds is None:
            return "unknown"
        kinds = [kinds] if isinstance(kinds, str) else kinds
        return union([self.kind(k, node) for k in kinds])

    def kind(self, kind, node):
        if kind in ("integer", "number"):
            return "number"
        if kind in ("string", "boolean", "null"):
            return kind
        if kind == "array":
            if "prefixItems" in node:
                items = [self.type_of(i) for i in node["prefixItems"]]
                required = node.get("minItems", 0)
                return "[" + ", ".join(t if n < required else t + "?"
                                       for n, t in enumerate(items)) + "]"
            item = self.type_of(node.get("items", {}))
            return ("(" + item + ")[]") if " " in item else item + "[]"
        if kind == "object":
            if "properties" in node:
                return self.object_body(node, "")
            if "propertyNames" in node:
                names = self.type_of(node["propertyNames"])
                return "{ [name in " + names + "]?: " + self.type_of(
                    node.get("additionalProperties", {})) + " }"
            value = node.get("additionalProperties", {})
            return "{ [name: string]: " + self.type_of(value if value is not True else {}) + " }"
        raise SystemExit("cannot declare JSON Schema type " + kind)

    def object_body(self, node, indent):
        """An object type, its members one per line at `indent` + 2 spaces."""
        required = set(node.get("required", []))
        inner = indent + "  "
        lines = ["{"]
        for key, value in node["properties"].items():
            if "description" in value:
                lines.append(f"{inner}/** {value['description']} */")
            optional = "" if key in required else "?"
            if value.get("type") == "object" and "properties" in value:
                member = self.object_body(value, inner)
            else:
                member = self.type_of(value)
            lines.append(f"{inner}{key}{optional}: {member};")
        lines.append(indent + "}")
        return "\n".join(lines)

    def declaration(self, name, node):
        doc = f"/** {node['description']} */\n" if "description" in node else ""
        if name == "request":
            members = [m["$ref"].rsplit("/", 1)[1] for m in node["allOf"][1]["anyOf"]]
            body = union([pascal(m) for m in members if m not in LEFT_OUT_OF_REQUEST])
            return f"{doc}export type {UNIONS[name]} = {body};"
        if name in UNIONS:
            return f"{doc}export type {UNIONS[name]} = {self.type_of(node)};"
        if node.get("type") == "object" and "properties" in node:
            return f"{doc}export interface {pascal(name)} {self.object_body(node, '')}"
        return f"{doc}export type {pascal(name)} = {self.type_of(node)};"

    def render(self):
        out = ["// The lines that cross the executor's pipes, declared from docs/protocol.schema.json.",
               "// Generated by scripts/schema_to_dts.py: edit the schema, then run it.", ""]
        for name, node in self.defs.items():
            out.append(self.declaration(name, node))
            out.append("")
        out.append("/** " + self.schema["description"].split(". ")[0] + ". */")
        out.append("export type ProtocolMessage = " + union(
            [UNIONS[m["$ref"].rsplit("/", 1)[1]] for m in self.schema["anyOf"]]) + ";")
        return "\n".join(out) + "\n"


def check_index(names):
    """Problems with index.d.ts: it must re-export the declarations, not shadow them."""
    if not os.path.exists(INDEX):
        return [f"{INDEX} is missing"]
    with open(INDEX, encoding="utf-8") as f:
        text = f.read()
    problems = []
    if not re.search(r"""^export \* from ['"]\./protocol['"];""", text, re.M):
        problems.append("index.d.ts does not `export * from './protocol';`")
    declared = set(re.findall(r"\b(?:interface|type|class|enum)\s+(\w+)", text))
    for name in sorted(declared & names):
        problems.append(f"index.d.ts declares {name} itself instead of taking the schema's")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    with open(SCHEMA, encoding="utf-8") as f:
        schema = json.load(f)
    text = Generator(schema).render()
    if not args.check:
        with open(OUTPUT, "w", encoding="utf-8") as f:
            f.write(text)
        return 0
    problems = []
    current = open(OUTPUT, encoding="utf-8").read() if os.path.exists(OUTPUT) else ""
    if current != text:
        problems.append(f"{OUTPUT} differs from the schema: run python3 scripts/schema_to_dts.py")
    names = set(re.findall(r"^export (?:interface|type) (\w+)", text, re.M))
    problems += check_index(names)
    for problem in problems:
        print("FAIL " + problem)
    print(f"node declarations: {len(names)} types from the schema, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
