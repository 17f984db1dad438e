#!/usr/bin/env python3
"""Compares the launcher's reply parser with Python's json over random valid replies and a set of edge cases.

Our rules where they differ from Python's defaults, and how the comparison allows for them:
- a name that occurs twice in an object: the first counts for us, the last for Python; Python is given an
  object_pairs_hook that keeps the first;
- numbers are kept as their text: Python parses them with parse_int/parse_float set to str (the dump writes
  them as strings), and NaN/Infinity, which Python accepts, are refused;
- an escaped surrogate without its partner is U+FFFD for us and stays a lone surrogate in Python: it is
  replaced on the Python side, names included, before duplicates are dropped;
- nesting deeper than 512 levels is not JSON for us.
Usage: json_differential.py DUMP_PROGRAM [COUNT] [SEED]
"""
import json
import random
import re
import subprocess
import sys

MAX_DEPTH = 512


class NotJson:
    """The reading of a text that is not JSON; unlike None, it equals no JSON value ("null" included)."""

    def __repr__(self):
        return "not JSON"


NOT_JSON = NotJson()
LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def normalise(text):
    return LONE_SURROGATE.sub("\ufffd", text)


def refuse_constant(name):
    raise ValueError("not JSON: " + name)


def first_wins(pairs):
    result = {}
    for name, value in pairs:
        result.setdefault(normalise(name), value)
    return result


def as_ours(value):
    """Python's reading in the shape of the dump's."""
    if isinstance(value, str):
        return normalise(value)
    if isinstance(value, list):
        return [as_ours(element) for element in value]
    if isinstance(value, dict):
        return {name: as_ours(element) for name, element in value.items()}
    return value


def python_reading(text):
    try:
        value = json.loads(text, object_pairs_hook=first_wins, parse_int=str, parse_float=str,
                           parse_constant=refuse_constant)
    except (ValueError, RecursionError):
        return NOT_JSON
    return as_ours(value)


def depth_of(text):
    """Nesting depth of a valid JSON text, brackets inside strings ignored."""
    depth = deepest = 0
    in_string = escaped = False
    for c in text:
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif c in "]}":
            depth -= 1
    return deepest


class Generator:
    def __init__(self, rng):
        self.rng = rng

    def space(self):
        return "".join(self.rng.choice(" \t\n\r") for _ in range(self.rng.choice([0, 0, 0, 1, 2, 5])))

    def number(self):
        r = self.rng
        text = r.choice(["", "-"])
        text += r.choice(["0", str(r.randint(1, 9)) + "".join(r.choice("0123456789")
                                                          for _ in range(r.choice([0, 1, 5, 19, 20, 400])))])
        if r.random() < 0.3:
            text += "." + "".join(r.choice("0123456789") for _ in range(r.choice([1, 3, 30])))
        if r.random() < 0.3:
            text += r.choice("eE") + r.choice(["", "+", "-"]) + str(r.choice([0, 7, 308, 309, 400, 99999]))
        return text

    def string(self):
        r = self.rng
        parts = []
        for _ in range(r.choice([0, 1, 3, 8])):
            kind = r.randrange(9)
            if kind == 0:
                parts.append(r.choice(['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t"]))
            elif kind == 1:
                parts.append("\\u%04x" % r.randrange(0x10000) if r.random() < 0.5 else "\\u%04X" % r.randrange(0x10000))
            elif kind == 2:  # a pair, a lone high, a lone low
                high, low = r.randrange(0xD800, 0xDC00), r.randrange(0xDC00, 0xE000)
                parts.append(r.choice(["\\u%04X\\u%04x" % (high, low), "\\u%04X" % high, "\\u%04x" % low,
                                       "\\u%04X\\u0041" % high, "\\u%04X\\\\u%04X" % (high, low)]))
            elif kind == 3:
                parts.append(r.choice(["é", "€", "\U0001F600", "\u0661", "\x7f"]))
            else:
                parts.append(r.choice(["a", "url", "response", "error", "1", " ", "e5", "[", "}", "'"]))
        return '"' + "".join(parts) + '"'

    def value(self, depth):
        r = self.rng
        kind = r.randrange(10) if depth < 6 else r.randrange(5)
        if kind == 0:
            return self.number()
        if kind == 1:
            return r.choice(["true", "false", "null"])
        if kind in (2, 3, 4):
            return self.string()
        if kind in (5, 6):
            items = [self.space() + self.value(depth + 1) + self.space() for _ in range(r.choice([0, 1, 2, 4]))]
            return "[" + (",".join(items) if items else self.space()) + "]"
        names = [self.string() for _ in range(r.choice([0, 1, 2, 4]))]
        if names and r.random() < 0.4:
            names.append(r.choice(names))  # a duplicated name
        members = [self.space() + n + self.space() + ":" + self.space() + self.value(depth + 1) + self.space()
                   for n in names]
        return "{" + (",".join(members) if members else self.space()) + "}"

    def reply(self):
        return self.space() + self.value(0) + self.space()


def nested(depth, inner="1"):
    return "[" * depth + inner + "]" * depth


EDGE_CASES = [
    nested(MAX_DEPTH), nested(MAX_DEPTH + 1), nested(MAX_DEPTH, "{}"), '{"a":' + nested(MAX_DEPTH - 1) + "}",
    '{"a":' + nested(MAX_DEPTH) + "}", "true", "false", "null", "tru", "nul", "True", "NaN", "-Infinity",
    "Infinity", "01", "1.", ".5", "+1", "-", "1e", "1e+", "0x10", "[1,]", '{"a":1,}', "{'a':1}", '"\t"',
    '"a\\x"', '"\\u12"', "\ufeff{}", "{} {}", "[] x", " \t\n\r[]\r\n\t ", "\u00a0[]", "\f[]", "\v[]", '""',
    '"\\u0000"', '{"\\u0000":1,"\\u0000":2}', '{"\\ud800":1,"\\udbff":2}', "1e400", "-1E-400",
    "1" + "0" * 400, "[" + ",".join(["1e99999"] * 50) + "]", "[1e309,0.1e310,123456789012345678901234567890]",
]


def main():
    sys.setrecursionlimit(10000)  # depth 513 and the walk over it
    dump = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 20261209
    generator = Generator(random.Random(seed))
    replies = EDGE_CASES + [generator.reply() for _ in range(count)]

    records = b"".join(str(len(b)).encode() + b"\n" + b for b in (r.encode("utf-8") for r in replies))
    run = subprocess.run([dump], input=records, capture_output=True, check=True)
    # Ill-formed UTF-8 from the dump is a difference, not a crash of the comparison.
    lines = run.stdout.decode("utf-8", errors="replace").split("\n")[:-1]
    if len(lines) != len(replies):
        print("the dump answered %d of %d replies" % (len(lines), len(replies)))
        return 1

    failures = 0
    for reply, line in zip(replies, lines):
        expected = python_reading(reply)
        if expected is not NOT_JSON and depth_of(reply) > MAX_DEPTH:
            expected = NOT_JSON
        ours = NOT_JSON if line == "invalid" else json.loads(line)
        if ours != expected:
            failures += 1
            if failures <= 10:
                print("differs: %r\n  python: %r\n  ours:   %r" % (reply[:300], expected, ours))
    valid = sum(1 for line in lines if line != "invalid")
    print("%d replies (%d valid for us), %d differ" % (len(replies), valid, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
