"""Every attack class at large sizes: its outcome, its time at n and 4n and their ratio.

    python bench/attack_bench.py [--quick] [--rounds N] [--only SUBSTRING]

The classes, documents and expected outcomes are those of tests/attack_table.py; --quick
uses the sizes that CI times. Each class runs in a fresh subprocess, so one class's heap
never colours another's. Within it the larger document is parsed first (the heap is then
grown to its size), then the two sizes alternate and the best of the rounds is kept.
Linear work shows about 4x, quadratic 16x, and a refusal that stops early about 1x. Where
a class is marked for it, the standard library parses the same documents for comparison.
Prints one markdown table; exits 1 if any outcome differs from the expected one."""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import attack_table


def worker(name, n, rounds, budget):
    attack = next(a for a in attack_table.ATTACKS if a.name == name)
    small, large = attack.build(n), attack.build(4 * n)
    options = {id(small): attack.options(n), id(large): attack.options(4 * n)}
    row = {"outcome": attack.expect(n).describe(), "bytes": len(large)}
    for size, doc in ((n, small), (4 * n, large)):
        failure = attack_table.outcome_matches(
            attack.expect(size), lambda doc=doc: attack_table.parse_xml(doc, **options[id(doc)])
        )
        if failure:
            row["unexpected"] = f"at {size}: {failure}"
    row["ours"] = attack_table.time_growth(
        lambda doc: attack_table.parse_xml(doc, **options[id(doc)]), small, large, 2, budget, rounds
    )
    if attack.stdlib:
        row["stdlib"] = attack_table.time_growth(attack_table.stdlib_parse, small, large, 2, budget, rounds)
    row["scan"] = attack_table.time_growth(attack_table.scan, small, large, 2, budget, rounds)
    print(json.dumps(row))


def milliseconds(seconds):
    return f"{seconds * 1e3:.3f}" if seconds < 0.01 else f"{seconds * 1e3:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the sizes CI times")
    parser.add_argument("--rounds", type=int, default=15, help="at most this many rounds per measurement")
    parser.add_argument(
        "--budget",
        type=float,
        default=3.0,
        help="seconds per measurement after which no further round starts (at least 2 run)",
    )
    parser.add_argument("--only", default="", help="classes whose name contains this")
    parser.add_argument("--worker", nargs=2, metavar=("NAME", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], int(args.worker[1]), args.rounds, args.budget)
        return 0

    print(
        f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cores; "
        f"times of parse_xml, the tree released outside the timed window; after a warm-up parse "
        f"of the larger document, the best of 2 to {args.rounds} rounds ({args.budget:g} s each "
        f"measurement). Scan: one pass of str.find over the same documents, the machine's own "
        f"growth for touching that many bytes once.\n"
    )
    print(
        "| class | outcome at n | n | bytes at 4n | time at n (ms) | time at 4n (ms) | ratio | "
        "scan ratio | standard library ratio |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    unexpected = []
    started = time.perf_counter()
    for attack in attack_table.ATTACKS:
        if args.only not in attack.name:
            continue
        n = attack.ci_n if args.quick else attack.bench_n
        proc = subprocess.run(
            [
                sys.executable,
                __file__,
                "--worker",
                attack.name,
                str(n),
                "--rounds",
                str(args.rounds),
                "--budget",
                str(args.budget),
            ],
            capture_output=True,
            text=True,
        )
        if proc.returncode != 0:
            unexpected.append(f"{attack.name}: worker failed: {proc.stderr.strip()[-500:]}")
            print(f"| {attack.name} | worker failed | {n} | | | | | | |")
            continue
        row = json.loads(proc.stdout.strip().splitlines()[-1])
        t_small, t_large = row["ours"]
        theirs = ""
        if "stdlib" in row:
            s_small, s_large = row["stdlib"]
            theirs = f"{s_large / s_small:.1f} ({milliseconds(s_small)} / {milliseconds(s_large)} ms)"
        outcome = row["outcome"].replace("|", "\\|")
        if "unexpected" in row:
            unexpected.append(f"{attack.name}: {row['unexpected']}")
            outcome = "UNEXPECTED " + row["unexpected"].replace("|", "\\|")
        scan_small, scan_large = row["scan"]
        print(
            f"| {attack.name} | {outcome} | {n:,} | {row['bytes']:,} | {milliseconds(t_small)} | "
            f"{milliseconds(t_large)} | {t_large / t_small:.1f} | {scan_large / scan_small:.1f} | {theirs} |",
            flush=True,
        )
    print(f"\n{time.perf_counter() - started:.0f} s in all.")
    for line in unexpected:
        print(f"UNEXPECTED: {line}", file=sys.stderr)
    return 1 if unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
