#!/usr/bin/env python3
"""Mutation testing for the launcher's core: how many small faults planted in the code do the tests catch?

    tools/mutation.py [--sample N] [--seed S] [--build-dir DIR] [--jobs J] [FILE ...]

Each mutant changes one spot of one source file (a relational or arithmetic operator swapped, a condition
negated, a statement removed, a constant changed), rebuilds only the test programs of that file and runs
them. A mutant is killed when a test fails (or the tests time out), survives when they all pass, and does not
count when it does not compile. The file is put back after every mutant, whatever happens. The score is
killed / (killed + survived). CPU-heavy: not part of CI; run it by hand on a bounded sample.
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

# The source files under test and the test programs that exercise each.
TARGETS = {
    "service/remote_support_api.cpp": ["remote_support_api_test"],
    "service/json.cpp": ["remote_support_api_test"],
    "launch/support_launcher_thread.cpp": ["worker_test"],
    "launch/staging.cpp": ["staging_test", "launcher_start_test"],
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


def run(command, timeout=None):
    return subprocess.run(command, cwd=SOURCE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)


def find_program(build_dir, name):
    for candidate in build_dir.glob(f"tests/**/{name}"):
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    raise SystemExit(f"no test program {name} under {build_dir}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", default=list(TARGETS))
    parser.add_argument("--sample", type=int, default=40, help="how many mutants to try (0: all)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build-dir", default=str(SOURCE / "build" / "mutation"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=180, help="seconds for one mutant's tests")
    options = parser.parse_args()
    build_dir = Path(options.build_dir).resolve()

    unknown = [f for f in options.files if f not in TARGETS]
    if unknown:
        raise SystemExit(f"no tests known for {', '.join(unknown)}; known: {', '.join(TARGETS)}")
    programs = sorted({p for f in options.files for p in TARGETS[f]})

    print(f"== configuring and building {', '.join(programs)} in {build_dir}", flush=True)
    if not (build_dir / "build.ninja").exists():
        result = run(["cmake", "-S", ".", "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
        if result.returncode != 0:
            raise SystemExit(result.stdout)
    result = run(["cmake", "--build", str(build_dir), f"-j{options.jobs}", "--target", *programs])
    if result.returncode != 0:
        raise SystemExit("the unmutated code does not build:\n" + result.stdout)
    for program in programs:
        if run([str(find_program(build_dir, program))], timeout=options.timeout).returncode != 0:
            raise SystemExit(f"{program} fails on the unmutated code; fix that first")

    candidates = []
    for name in options.files:
        candidates += mutants_of(name, (SOURCE / name).read_text().splitlines(keepends=True))
    random.Random(options.seed).shuffle(candidates)
    chosen = candidates if options.sample == 0 else candidates[:options.sample]
    print(f"== {len(chosen)} of {len(candidates)} mutants", flush=True)

    counts = {"KILLED": 0, "SURVIVED": 0, "UNCOMPILABLE": 0}
    survivors = []
    started = time.monotonic()
    for index, (name, number, description, new_line) in enumerate(chosen, 1):
        path = SOURCE / name
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        mutated = lines[:number - 1] + [new_line] + lines[number:]
        try:
            path.write_text("".join(mutated))
            built = run(["cmake", "--build", str(build_dir), f"-j{options.jobs}", "--target", *TARGETS[name]])
            if built.returncode != 0:
                outcome = "UNCOMPILABLE"
            else:
                outcome = "SURVIVED"
                for program in TARGETS[name]:
                    try:
                        if run([str(find_program(build_dir, program))], timeout=options.timeout).returncode != 0:
                            outcome = "KILLED"
                            break
                    except subprocess.TimeoutExpired:
                        outcome = "KILLED"
                        break
        finally:
            path.write_text(original)
        counts[outcome] += 1
        if outcome == "SURVIVED":
            survivors.append(f"{name}:{number}: {description}: {lines[number - 1].strip()}")
        print(f"[{index}/{len(chosen)}] {outcome:12} {name}:{number}: {description}", flush=True)

    # Leaves the build matching the real sources again.
    run(["cmake", "--build", str(build_dir), f"-j{options.jobs}", "--target", *programs])
    scored = counts["KILLED"] + counts["SURVIVED"]
    print(f"\n== {counts['KILLED']} killed, {counts['SURVIVED']} survived, {counts['UNCOMPILABLE']} did not compile "
          f"({time.monotonic() - started:.0f} s)")
    for survivor in survivors:
        print("   survived: " + survivor)
    print(f"mutation score: {100.0 * counts['KILLED'] / scored:.1f}%" if scored else "mutation score: n/a")
    return 0


if __name__ == "__main__":
    sys.exit(main())
