#!/usr/bin/env python3
"""Mutation run: how many small faults in src/ and tools/ does the suite catch?

Each mutant changes one place in one source file (a flipped comparison, a
constant off by one, a dropped call, a negated condition, a swapped return
value), rebuilds incrementally in its own build directory, runs ctest with a
per-test timeout, records which tests fail, and puts the file back.

The choice of mutants depends only on the sources and the seed, so a run can
be stopped and started again: results go to BUILD/mutants.jsonl (or
--results FILE), and mutants already recorded there are not run again. Mutants listed in
mutation/equivalent.txt (one id a line, '#' comments) behave like the
original program and do not count.

    scripts/mutate.py [--count N] [--seed S] [--build DIR] [--timeout S]
    scripts/mutate.py --report      (only the report of what is recorded)
"""

import argparse
import collections
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Folders and how much each weighs in the sample: logic over plumbing.
FOLDERS = {
    "src/link": 3, "src/control": 3, "src/names": 3, "src/cli": 2,
    "src/service": 3, "src/ui": 1, "src/system": 1, "tools": 1,
}

# (name, pattern, replacement). Comparisons only with blanks around them, so
# template brackets and stream operators are left alone.
OPERATORS = [
    ("eq-to-ne", r" == ", " != "),
    ("ne-to-eq", r" != ", " == "),
    ("lt-to-le", r" < ", " <= "),
    ("le-to-lt", r" <= ", " < "),
    ("gt-to-ge", r" > ", " >= "),
    ("ge-to-gt", r" >= ", " > "),
    ("and-to-or", r" && ", " || "),
    ("or-to-and", r" \|\| ", " && "),
    ("true-to-false", r"\btrue\b", "false"),
    ("false-to-true", r"\bfalse\b", "true"),
    ("const-plus-one", r"(?<![\w.])(\d+)(?![\w.])", None),
    ("negate-if", r"\bif \((.*)\)(\s*\{?)$", None),
    ("drop-call", r"^(\s*)([\w:.>-]+\(.*\);)$", None),
]

# Only make install-check loads this plugin; no test runs it.
NOT_MUTATED = {"tools/message_closer.cpp"}
# Built only for the other platform, so no mutant there could be caught here.
NOT_BUILT_HERE = re.compile(r"_windows\.cpp$")

# The package test builds a .deb for every mutant: it checks packaging, not
# behaviour, and would be the slowest test of each run. The format check
# looks at layout, which a mutant may change without changing behaviour.
LEFT_OUT = ["tst_package", "format"]

SKIP_LINE = re.compile(r'^\s*(#|//|\*|/\*)|static_assert|Q_OBJECT|"[^"]*$')


def strip_strings(line):
    """The line with string and character literals blanked, same length."""
    return re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'', lambda m: " " * len(m.group()), line)


def candidates(path):
    rel = os.path.relpath(path, ROOT)
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        if SKIP_LINE.search(line):
            continue
        code = strip_strings(line.split("//")[0])
        for name, pattern, replacement in OPERATORS:
            for match in re.finditer(pattern, code):
                if name == "const-plus-one":
                    new = str(int(match.group(1)) + 1)
                    mutated = line[:match.start()] + new + line[match.end():]
                elif name == "negate-if":
                    mutated = (line[:match.start()] + "if (!(" + match.group(1) + "))"
                               + match.group(2) + line[match.end():])
                elif name == "drop-call":
                    if re.match(r"\s*(return|delete|throw|co_return)\b", line) or "=" in code:
                        continue
                    mutated = match.group(1) + "(void)0; // " + match.group(2)
                else:
                    mutated = line[:match.start()] + replacement + line[match.end():]
                ident = hashlib.sha1(f"{rel}:{number}:{name}:{match.start()}:{line}".encode()).hexdigest()[:10]
                yield {"id": ident, "file": rel, "line": number, "op": name,
                       "before": line.strip(), "after": mutated.strip(), "mutated": mutated}


def choose(count, seed):
    pool = collections.defaultdict(list)
    for folder in FOLDERS:
        for base, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(files):
                rel = os.path.join(os.path.relpath(base, ROOT), name)
                if name.endswith(".cpp") and rel not in NOT_MUTATED and not NOT_BUILT_HERE.search(name):
                    pool[folder].extend(candidates(os.path.join(base, name)))
    weight = sum(FOLDERS[f] for f in pool)
    chosen = []
    for folder in sorted(pool):
        # A generator per folder, so editing one folder leaves the others' sample alone.
        rng = random.Random(f"{seed}:{folder}")
        items = sorted(pool[folder], key=lambda m: m["id"])
        share = max(5, round(count * FOLDERS[folder] / weight))
        chosen.extend(rng.sample(items, min(share, len(items))))
    return chosen


def run(cmd, **kw):
    return subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, **kw)


def build_tests(build, check=False):
    """Builds what ctest runs, leaving out the benchmarks no test runs."""
    jobs = str(os.cpu_count() or 2)
    return run(["cmake", "--build", build, "-j", jobs, "--target", "orvalin_tests"], check=check)


def failing_tests(build):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    # The tests mostly wait on ports, timers and child programs, so more of
    # them than there are cores run side by side without slowing each other.
    jobs = str(4 * (os.cpu_count() or 2))
    # The time limit per test is configured (ORVALIN_TEST_TIMEOUT).
    out = run(["ctest", "--test-dir", build, "-j", jobs, "--output-on-failure",
               "-E", "|".join(LEFT_OUT)], env=env).stdout
    failed = out.split("The following tests FAILED:")[-1] if "tests FAILED" in out else ""
    tests = sorted(set(re.findall(r"^\s*\d+ - (\S+) \(", failed, re.M)))
    functions = sorted(set(re.findall(r"FAIL!\s+:\s+(\w+::\w+)\(", out)))
    return tests, functions


def mutate(args):
    done = load(args.results)
    todo = [m for m in choose(args.count, args.seed) if m["id"] not in done]
    # Every folder early on, so a run cut short still samples them all.
    random.Random(args.seed).shuffle(todo)
    print(f"{len(done)} recorded, {len(todo)} to run", flush=True)
    for index, mutant in enumerate(todo, 1):
        path = os.path.join(ROOT, mutant["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        lines[mutant["line"] - 1] = mutant.pop("mutated")
        started = time.monotonic()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            built = build_tests(args.build)
            if built.returncode != 0:
                mutant.update(status="uncompilable", tests=[], functions=[])
            else:
                tests, functions = failing_tests(args.build)
                mutant.update(status="killed" if tests else "survived", tests=tests, functions=functions)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        mutant["seconds"] = round(time.monotonic() - started, 1)
        with open(args.results, "a", encoding="utf-8") as f:
            f.write(json.dumps(mutant, ensure_ascii=False) + "\n")
        print(f"[{index}/{len(todo)}] {mutant['status']:12} {mutant['file']}:{mutant['line']} "
              f"{mutant['op']} ({mutant['seconds']} s)", flush=True)
    # Leave the build matching the sources again.
    build_tests(args.build)


def load(results):
    done = {}
    if os.path.exists(results):
        with open(results, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    m = json.loads(line)
                    done[m["id"]] = m
    return done


def report(args):
    equivalent = set()
    listed = os.path.join(ROOT, "mutation/equivalent.txt")
    if os.path.exists(listed):
        with open(listed, encoding="utf-8") as f:
            equivalent = {l.split("#")[0].strip() for l in f} - {""}
    chosen = {m["id"] for m in choose(args.count, args.seed)}
    mutants = [m for m in load(args.results).values() if m["id"] in chosen and m["status"] != "uncompilable"]
    counted = [m for m in mutants if m["id"] not in equivalent]
    per_folder = collections.defaultdict(lambda: [0, 0])
    for m in counted:
        folder = "tools" if m["file"].startswith("tools") else "/".join(m["file"].split("/")[:2])
        per_folder[folder][0] += m["status"] == "killed"
        per_folder[folder][1] += 1
    print("folder            killed / mutants")
    for folder, (killed, total) in sorted(per_folder.items()):
        print(f"{folder:16} {killed:6} / {total:<4} {100 * killed / total:5.1f} %")
    killed = sum(m["status"] == "killed" for m in counted)
    if counted:
        print(f"{'all':16} {killed:6} / {len(counted):<4} {100 * killed / len(counted):5.1f} %"
              f"  ({len(equivalent & {m['id'] for m in mutants})} equivalent left out)")
    print("\nsurviving mutants:")
    for m in sorted(counted, key=lambda m: (m["file"], m["line"])):
        if m["status"] == "survived":
            print(f"  {m['id']} {m['file']}:{m['line']} {m['op']}: {m['before']}  ->  {m['after']}")
    killers = collections.defaultdict(list)
    for m in counted:
        names = m["functions"] or m["tests"]
        if len(set(names)) == 1:
            killers[names[0]].append(m["id"])
    print("\nmutants only one test function (or executable) kills:")
    for name, ids in sorted(killers.items()):
        print(f"  {name}: {' '.join(sorted(ids))}")


def main():
    # A stopped run still puts the mutated file back (the finally in mutate()).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("mutate.py: stopped"))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit("mutate.py: stopped"))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=180)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build", default="build-mutate")
    parser.add_argument("--timeout", type=int, default=60, help="seconds per test")
    parser.add_argument("--results", help="results file (default BUILD/mutants.jsonl)")
    parser.add_argument("--report", action="store_true")
    parser.add_argument("--list", action="store_true", help="print the chosen mutants and stop")
    args = parser.parse_args()
    args.build = os.path.join(ROOT, args.build)
    args.results = os.path.abspath(args.results or os.path.join(args.build, "mutants.jsonl"))
    if args.list:
        for m in choose(args.count, args.seed):
            print(f"{m['id']} {m['file']}:{m['line']} {m['op']}: {m['before']}  ->  {m['after']}")
        return 0
    if not args.report:
        if run(["git", "status", "--porcelain", "--", "src", "tools"]).stdout.strip():
            sys.exit("mutate.py: src/ or tools/ has uncommitted changes; commit them first")
        os.makedirs(args.build, exist_ok=True)
        # Configured every time, so new targets and tests are seen. Ninja and
        # lld because each mutant relinks every test program.
        subprocess.run(["cmake", "-S", ROOT, "-B", args.build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld",
                        f"-DORVALIN_TEST_TIMEOUT={args.timeout}"],
                       check=True, stdout=subprocess.DEVNULL)
        build_tests(args.build, check=True)
        failing, _ = failing_tests(args.build)
        if failing:
            sys.exit(f"mutate.py: {', '.join(failing)} fail without any mutant; fix that first")
        mutate(args)
    report(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
