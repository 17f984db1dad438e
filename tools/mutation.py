#!/usr/bin/env python3
"""Mutation testing for the launcher's core: how many small faults planted in the code do the tests catch?

    tools/mutation.py [--sample N] [--seed S] [--build-dir DIR] [--jobs J] [FILE ...]
    tools/mutation.py --mutant FILE#K [--mutant ...]    (replays the mutants a run printed)

Each mutant changes one spot of one source file (a relational or arithmetic operator swapped, a condition
negated, a statement removed, a constant changed), rebuilds only the test programs of that file and runs
them. A mutant is killed when a test fails (or the tests time out), survives when they all pass, and does not
count when it does not compile. The file is put back after every mutant, whatever happens. The score is
killed / (killed + survived). The sample is drawn per file, so two trees run with the same seed and sample
compare file by file. CPU-heavy: not part of CI; run it by hand on a bounded sample.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent

# The source files under test and the tests that exercise each: a test program, or (build target, ctest test)
# for a test that drives a program. A key may end in ":FIRST-LAST,..." to mutate only those lines (the part
# of a file that matches what another tree keeps in a file of its own).
TARGETS = {
    "service/remote_support_api.cpp": ["remote_support_api_test"],
    "service/json.cpp": ["remote_support_api_test", ("json_reply_dump", "json_reply_parser_agrees_with_python")],
    "launch/support_launcher_thread.cpp": ["worker_test"],
    "launch/staging.cpp": ["staging_test", "launcher_start_test"],
    "window/form29.cpp": ["form29_test"],
}

SWAPS = [
    (" == ", " != "), (" != ", " == "),
    (" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > "),
    (" + ", " - "), (" - ", " + "), (" * ", " / "),
    (" && ", " || "), (" || ", " && "),
    ("true", "false"), ("false", "true"),
]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
STRING = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'')


def code_part(line):
    """The line with string and character literals blanked out and any comment cut off."""
    blanked = STRING.sub(lambda m: " " * len(m.group(0)), line)
    cut = blanked.find("//")
    return blanked if cut < 0 else blanked[:cut] + " " * (len(blanked) - cut)


def matching_paren(text, opening):
    depth = 0
    for index in range(opening, len(text)):
        if text[index] == "(":
            depth += 1
        elif text[index] == ")":
            depth -= 1
            if depth == 0:
                return index
    return -1


def mutants_of(path, lines):
    """Every mutant of one file: (path, line number, description, new line)."""
    found = []
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if not stripped or stripped.startswith(("#", "//", "*", "/*")):
            continue
        code = code_part(line)
        for before, after in SWAPS:
            start = 0
            while (at := code.find(before, start)) >= 0:
                start = at + 1
                if before in ("true", "false") and (
                        (at > 0 and (code[at - 1].isalnum() or code[at - 1] == "_")) or
                        (at + len(before) < len(code) and (code[at + len(before)].isalnum() or code[at + len(before)] == "_"))):
                    continue
                found.append((path, number, f"'{before.strip()}' -> '{after.strip()}'",
                              line[:at] + after + line[at + len(before):]))
        for match in NUMBER.finditer(code):
            value = int(match.group(1))
            replacement = str(value + 1) if value != 1 else "0"
            found.append((path, number, f"{value} -> {replacement}",
                          line[:match.start()] + replacement + line[match.end():]))
        for keyword in ("if (", "while ("):
            at = code.find(keyword)
            if at >= 0:
                opening = at + len(keyword) - 1
                closing = matching_paren(code, opening)
                if closing > 0:
                    found.append((path, number, f"{keyword.strip()} condition negated",
                                  line[:opening + 1] + "!(" + line[opening + 1:closing] + ")" + line[closing:]))
        # A whole simple statement removed: calls, assignments, returns inside blocks, throws.
        if (stripped.endswith(";") and not stripped.startswith(("return;", "}", "case ", "default")) and
                (stripped.startswith(("throw ", "return ")) or not re.match(
                    r"^(const |static |constexpr |using |namespace |struct |class |auto |std::|[A-Za-z_:<>]+\s+[A-Za-z_]\w*\s*[=;({])",
                    stripped)) and
                code.count("(") == code.count(")")):
            indent = line[:len(line) - len(line.lstrip())]
            found.append((path, number, "statement removed", indent + ";\n"))
    return found


def source_of(target):
    """The file a TARGETS key names and the lines it may mutate (None: all)."""
    path, _, ranges = target.partition(":")
    if not ranges:
        return path, None
    lines = set()
    for part in ranges.split(","):
        first, _, last = part.partition("-")
        lines.update(range(int(first), int(last or first) + 1))
    return path, lines


def run(command, timeout=None):
    return subprocess.run(command, cwd=SOURCE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)


def build_targets(tests):
    return sorted({test if isinstance(test, str) else test[0] for test in tests})


def passes(build_dir, test, timeout):
    """Whether one test passes; a test that does not end in time fails."""
    if isinstance(test, str):
        command = [str(find_program(build_dir, test))]
    else:
        command = ["ctest", "--test-dir", str(build_dir), "-R", f"^{test[1]}$", "--no-tests=error"]
    try:
        return run(command, timeout=timeout).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def find_program(build_dir, name):
    for candidate in build_dir.glob(f"tests/**/{name}"):
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    raise SystemExit(f"no test program {name} under {build_dir}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", default=list(TARGETS))
    parser.add_argument("--sample", type=int, default=10, help="how many mutants to try per file (0: all)")
    parser.add_argument("--mutant", action="append", default=[], metavar="FILE#K",
                        help="run only this mutant (the id a run printed); may be repeated")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build-dir", help="default: build/mutation, or build/mutation-checked with --checked")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=180, help="seconds for one mutant's tests")
    parser.add_argument("--checked", action="store_true",
                        help="build with the standard library's checks, so that a mutant that reads past a string "
                             "or into an empty optional fails")
    options = parser.parse_args()
    build_dir = Path(options.build_dir or SOURCE / "build" / ("mutation-checked" if options.checked else "mutation"))
    build_dir = build_dir.resolve()

    replays = [m.rpartition("#") for m in options.mutant]
    if replays:
        options.files = sorted({name for name, _, _ in replays})
    unknown = [f for f in options.files if f not in TARGETS]
    if unknown:
        raise SystemExit(f"no tests known for {', '.join(unknown)}; known: {', '.join(TARGETS)}")
    tests = list(dict.fromkeys(t for f in options.files for t in TARGETS[f]))
    programs = build_targets(tests)

    print(f"== configuring and building {', '.join(programs)} in {build_dir}", flush=True)
    if not (build_dir / "build.ninja").exists():
        checks = ["-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS"] if options.checked else []
        result = run(["cmake", "-S", ".", "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                      *checks])
        if result.returncode != 0:
            raise SystemExit(result.stdout)
    result = run(["cmake", "--build", str(build_dir), f"-j{options.jobs}", "--target", *programs])
    if result.returncode != 0:
        raise SystemExit("the unmutated code does not build:\n" + result.stdout)
    for test in tests:
        if not passes(build_dir, test, options.timeout):
            raise SystemExit(f"{test} fails on the unmutated code; fix that first")

    # A mutant's id is its file and its place in that file's list, which depends only on the source.
    every = {}
    for name in options.files:
        path, lines = source_of(name)
        every[name] = [(name, *rest) for _, *rest in mutants_of(path, (SOURCE / path).read_text().splitlines(keepends=True))
                       if lines is None or rest[0] in lines]
    if replays:
        chosen = [(f"{name}#{k}", *every[name][int(k)]) for name, _, k in replays]
    else:
        chosen = []
        for name in options.files:
            order = list(range(len(every[name])))
            random.Random(options.seed).shuffle(order)
            chosen += [(f"{name}#{k}", *every[name][k]) for k in (order if options.sample == 0 else order[:options.sample])]
    print(f"== {len(chosen)} of {sum(map(len, every.values()))} mutants", flush=True)

    counts = {"KILLED": 0, "SURVIVED": 0, "UNCOMPILABLE": 0}
    per_file = {name: dict.fromkeys(counts, 0) for name in options.files}
    survivors = []
    started = time.monotonic()
    for index, (ident, name, number, description, new_line) in enumerate(chosen, 1):
        path = SOURCE / source_of(name)[0]
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        mutated = lines[:number - 1] + [new_line] + lines[number:]
        try:
            path.write_text("".join(mutated))
            built = run(["cmake", "--build", str(build_dir), f"-j{options.jobs}", "--target",
                         *build_targets(TARGETS[name])])
            if built.returncode != 0:
                outcome = "UNCOMPILABLE"
            else:
                killed = any(not passes(build_dir, test, options.timeout) for test in TARGETS[name])
                outcome = "KILLED" if killed else "SURVIVED"
        finally:
            path.write_text(original)
        counts[outcome] += 1
        per_file[name][outcome] += 1
        if outcome == "SURVIVED":
            survivors.append(f"{ident} (line {number}): {description}: {lines[number - 1].strip()}")
        print(f"[{index}/{len(chosen)}] {outcome:12} {ident} (line {number}): {description}", flush=True)

    # Leaves the build matching the real sources again.
    run(["cmake", "--build", str(build_dir), f"-j{options.jobs}", "--target", *programs])
    print(f"\n{'file':36} killed survived uncompilable  score")
    for name, row in list(per_file.items()) + [("total", counts)]:
        scored = row["KILLED"] + row["SURVIVED"]
        score = f"{100.0 * row['KILLED'] / scored:5.1f}%" if scored else "   n/a"
        print(f"{name:36} {row['KILLED']:6} {row['SURVIVED']:8} {row['UNCOMPILABLE']:12} {score}")
    scored = counts["KILLED"] + counts["SURVIVED"]
    print(f"\n== {counts['KILLED']} killed, {counts['SURVIVED']} survived, {counts['UNCOMPILABLE']} did not compile "
          f"({time.monotonic() - started:.0f} s)")
    for survivor in survivors:
        print("   survived: " + survivor)
    print(f"mutation score: {100.0 * counts['KILLED'] / scored:.1f}%" if scored else "mutation score: n/a")
    return 0


if __name__ == "__main__":
    sys.exit(main())
