#!/usr/bin/env python3
"""Applies each mutant of scripts/mutants.tsv to the tree, rebuilds the tests that must catch it in
build-mutants/ and runs them: a mutant the tests pass is a fault they would let through."""
import argparse
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(ROOT, "scripts", "mutants.tsv")
BUILD = os.path.join(ROOT, "build-mutants")
TEST_TIMEOUT_S = 300


def load(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            cells = line.rstrip("\n").split("\t")
            if len(cells) < 6:
                sys.exit(f"{path}:{number}: expected id, file, text, replacement, selector, targets")
            rows.append(dict(id=cells[0], file=cells[1], text=unescape(cells[2]),
                             replacement=unescape(cells[3]), selector=cells[4],
                             targets=cells[5].split()))
    return rows


def unescape(cell):
    # A newline cannot sit in a cell: \n stands for it, \\ for a backslash.
    out, i = [], 0
    while i < len(cell):
        if cell[i] == "\\" and i + 1 < len(cell) and cell[i + 1] in "n\\":
            out.append("\n" if cell[i + 1] == "n" else "\\")
            i += 2
        else:
            out.append(cell[i])
            i += 1
    return "".join(out)


def configure():
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DSKYHELM_WERROR=OFF"], check=True, stdout=subprocess.DEVNULL)


def build(targets):
    done = subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", *targets],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode == 0, done.stdout


def run_tests(selector):
    if selector.startswith("-R "):
        choice = ["-R", selector[3:]]
    else:
        choice = ["-L", f"^{selector}$"]
    try:
        done = subprocess.run(["ctest", "--test-dir", BUILD, *choice, "--timeout", "120",
                               "--stop-on-failure", "-j2", "--no-tests=error"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=TEST_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return False, "timed out"  # a hang is a caught fault too
    return done.returncode == 0, done.stdout


def try_mutant(row):
    """killed, SURVIVED, stale or unbuildable."""
    path = os.path.join(ROOT, row["file"])
    with open(path, encoding="utf-8", newline="") as f:
        original = f.read()
    count = original.count(row["text"])
    if count != 1:
        return "stale", f"the text occurs {count} times in {row['file']}"
    try:
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(original.replace(row["text"], row["replacement"]))
        built, log = build(row["targets"])
        if not built:
            return "unbuildable", "\n".join(log.splitlines()[-15:])
        passed, log = run_tests(row["selector"])
        return ("SURVIVED", "") if passed else ("killed", "")
    finally:
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(original)
        if subprocess.run(["git", "-C", ROOT, "diff", "--quiet", "--", row["file"]]).returncode:
            sys.exit(f"{row['file']} differs from git after its restore: look at it by hand")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", help="comma-separated mutant ids")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    parser.add_argument("--table", default=TABLE)
    args = parser.parse_args()
    rows = load(args.table)
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {r["id"] for r in rows}
        if unknown:
            sys.exit("no such mutant: " + ", ".join(sorted(unknown)))
        rows = [r for r in rows if r["id"] in wanted]
    if args.list:
        for r in rows:
            print(f"{r['id']}\t{r['file']}\t{r['selector']}")
        return 0
    configure()
    all_targets = sorted({t for r in rows for t in r["targets"]})
    built, log = build(all_targets)  # the unmutated tree must build and its tests must pass
    if not built:
        print(log)
        sys.exit("the unmutated tree does not build")
    # A selector that fails on the unmutated tree would count every one of its mutants as killed.
    for selector in sorted({r["selector"] for r in rows}):
        passed, log = run_tests(selector)
        if not passed:
            print(log)
            sys.exit(f"the unmutated tree fails {selector}")
    tally = {"killed": 0, "SURVIVED": 0, "stale": 0, "unbuildable": 0}
    start = time.monotonic()
    for r in rows:
        t0 = time.monotonic()
        verdict, detail = try_mutant(r)
        tally[verdict] += 1
        print(f"{r['id']:<28} {verdict:<12} {time.monotonic() - t0:5.0f} s  {r['file']}", flush=True)
        if detail:
            print("    " + detail.replace("\n", "\n    "))
    build(all_targets)  # leave the build dir matching the tree
    print(f"mutants: {tally['killed']} killed, {tally['SURVIVED']} survived, "
          f"{tally['stale'] + tally['unbuildable']} stale/unbuildable "
          f"({time.monotonic() - start:.0f} s)")
    return 1 if tally["SURVIVED"] or tally["stale"] or tally["unbuildable"] else 0


if __name__ == "__main__":
    sys.exit(main())
