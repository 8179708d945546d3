"""Every attack class at large sizes: its outcome, its time at n and 4n and their ratio.

    python bench/attack_bench.py [--quick] [--rounds N] [--only SUBSTRING]

The classes, documents and expected outcomes are those of tests/attack_table.py; --quick
uses the sizes that CI times. Each class runs in a fresh subprocess, so one class's heap
never colours another's. Within it the larger document is parsed first (the heap is then
grown to its size), then the two sizes alternate and the best of the rounds is kept.
Linear work shows about 4x, quadratic 16x, and a refusal that stops early about 1x. Where
a class is marked for it, the standard library parses the same documents for comparison.

A second table feeds inputs in pathological pieces to one EventParser (1-byte pieces, a
huge construct in 64 KiB pieces), each size in a subprocess of its own so that its peak
RSS growth is its own; the pieces are made as they are fed, so the input is never whole in
memory. Prints two markdown tables; exits 1 if any outcome differs from the expected one."""

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import attack_table

from support.messages import INSTRUCTION_SIZE
from vorlane._events import EventParser

PIECE = 64 * 1024


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


def records(n):
    """An ordinary document of about n bytes: records with attributes, text and a reference."""
    record = '<record id="{0}" kind="entry"><name>Name {0}</name><value>{0} &amp; more</value></record>\n'
    parts, size, i = ["<doc>\n"], 6, 0
    while size < n:
        parts.append(record.format(i))
        size += len(parts[-1])
        i += 1
    parts.append("</doc>")
    return "".join(parts).encode()


def one_byte_pieces(n):
    doc = records(n)
    return len(doc), lambda: (doc[i : i + 1] for i in range(len(doc)))  # 1-byte slices are cached objects


def long_construct(head, tail):
    """`head`, n filler bytes in 64 KiB pieces, then `tail`."""

    def build(n):
        piece = b"x" * PIECE

        def pieces():
            yield head
            for _ in range(n // PIECE):
                yield piece
            if n % PIECE:
                yield piece[: n % PIECE]
            yield tail

        return len(head) + n + len(tail), pieces

    return build


def one_byte_construct(head):
    """`head`, then n bytes "x" fed one at a time (a construct that never ends)."""

    def build(n):
        def pieces():
            yield head
            for _ in range(n):
                yield b"x"

        return len(head) + n, pieces

    return build


def endless_attributes(n):
    """A start tag that never ends, one attribute a piece."""

    def pieces():
        yield b"<r"
        for i in range(n):
            yield b" a%d=''" % i

    return 2 + sum(len(b" a%d=''" % i) for i in range(n)), pieces


DEFAULT_COMMENT_SIZE = 10 * 1024 * 1024
DEFAULT_NAME_SIZE = 1024


def past_comment_size(message, what):
    """Refused at the default max_comment_size once n passes it, else not closed."""
    refused = attack_table.limit(message, DEFAULT_COMMENT_SIZE).describe()
    return lambda n: refused if n > DEFAULT_COMMENT_SIZE else not_closed(what)


def not_closed(what):
    message = f"syntax error: {what} not found before end of input"
    return attack_table.Raises(attack_table.ParseError, (message,)).describe()


@dataclass(frozen=True)
class Chunking:
    name: str
    build: Callable  # n -> (bytes in all, a function that yields the pieces)
    expect: Callable[[int], str]  # the outcome at size n, as feed_outcome renders it
    ci_n: int
    bench_n: int
    options: Callable[[int], dict] = field(default=lambda n: {})


CHUNKINGS = [
    Chunking(
        "ordinary document in 1-byte pieces",
        one_byte_pieces,
        lambda n: whole_outcome(records(n)),
        ci_n=50_000,
        bench_n=500_000,
    ),
    Chunking(
        "text node in 64 KiB pieces",
        long_construct(b"<r>", b"</r>"),
        lambda n: parsed(1, n),
        ci_n=2_500_000,
        bench_n=25_000_000,
    ),
    Chunking(
        "attribute value in 64 KiB pieces",
        long_construct(b"<r v='", b"'/>"),
        lambda n: parsed(1, n),
        ci_n=2_500_000,
        bench_n=25_000_000,
        options=lambda n: {"max_attribute_size": attack_table.U64_MAX},
    ),
    Chunking(
        "attribute value past max_attribute_size = n / 2, 64 KiB pieces",
        long_construct(b"<r v='", b"'/>"),
        lambda n: attack_table.limit(attack_table.ATTRIBUTE_SIZE, n // 2).describe(),
        ci_n=2_500_000,
        bench_n=25_000_000,
        options=lambda n: {"max_attribute_size": n // 2},
    ),
    Chunking(
        "attribute value never closed, max_attribute_size = 1 MiB, 64 KiB pieces",
        long_construct(b"<r v='", b""),
        lambda n: attack_table.limit(attack_table.ATTRIBUTE_SIZE, 2**20).describe(),
        ci_n=16_000_000,
        bench_n=256_000_000,
        options=lambda n: {"max_attribute_size": 2**20},
    ),
    Chunking(
        "unterminated comment in 64 KiB pieces",
        long_construct(b"<r><!--", b""),
        past_comment_size(attack_table.COMMENT_SIZE, "comment not closed: `-->`"),
        ci_n=16_000_000,
        bench_n=256_000_000,
    ),
    Chunking(
        "unterminated PI in 64 KiB pieces",
        long_construct(b"<r><?pi ", b""),
        past_comment_size(INSTRUCTION_SIZE, "processing instruction not closed: `?>`"),
        ci_n=16_000_000,
        bench_n=256_000_000,
    ),
    Chunking(
        "element name in 1-byte pieces",
        one_byte_construct(b"<"),
        lambda n: attack_table.limit(attack_table.NAME_SIZE, DEFAULT_NAME_SIZE).describe(),
        ci_n=200_000,
        bench_n=2_000_000,
    ),
    Chunking(
        "end-tag name in 1-byte pieces",
        one_byte_construct(b"<r></"),
        lambda n: attack_table.limit(attack_table.NAME_SIZE, DEFAULT_NAME_SIZE).describe(),
        ci_n=200_000,
        bench_n=2_000_000,
    ),
    Chunking(
        "start tag with endless attributes, one a piece",
        endless_attributes,
        lambda n: attack_table.limit(attack_table.ATTRIBUTE_COUNT, 1000).describe(),
        ci_n=100_000,
        bench_n=1_000_000,
    ),
    # A DOCTYPE is judged whole, so it is held whole: the time grows with it, and so does the
    # memory, which max_text_size does not bound.
    Chunking(
        "DOCTYPE literal (an attribute default) in 64 KiB pieces",
        long_construct(b"<!DOCTYPE r [<!ATTLIST r a CDATA '", b"'>]><r/>"),
        lambda n: parsed(1, 0),
        ci_n=4_000_000,
        bench_n=64_000_000,
    ),
    Chunking(
        "DOCTYPE comment in 64 KiB pieces",
        long_construct(b"<!DOCTYPE r [<!-- ", b" -->]><r/>"),
        lambda n: parsed(1, 0),
        ci_n=4_000_000,
        bench_n=64_000_000,
    ),
]


def feed_outcome(chunking, n, pieces):
    """Feeds every piece, then an empty final one, dropping the events after every feed as a
    reader that handles them would; the outcome as text."""
    parser = EventParser(**chunking.options(n))
    out, elements, longest = [], 0, 0
    try:
        for piece in pieces():
            parser.feed(piece, False, out)
            for event in out:
                if event[0] == "start":
                    elements += 1
                    longest = max(longest, 0, *map(len, event[2].values()))
                elif event[0] == "data":
                    longest = max(longest, len(event[1]))
            out.clear()
        parser.feed(b"", True, out)
    except Exception as exc:
        return attack_table.Raises(type(exc), exc.args).describe()
    return parsed(elements, longest)


def parsed(elements, longest):
    return f"parsed: {elements} elements, longest string {longest} bytes"


def whole_outcome(doc):
    """What the whole-document parse gives, in feed_outcome's form."""
    root = attack_table.parse_xml(doc)
    strings = [s for e in root.iter() for s in (e.text, e.tail, *e.attrib.values()) if s]
    return parsed(sum(1 for _ in root.iter()), max(map(len, strings), default=0))


def hold(pieces):
    """The same pieces appended to one buffer: the machine's own growth for receiving and
    holding that many bytes (page faults, copies as the buffer grows)."""
    buffer = bytearray()
    for piece in pieces():
        buffer += piece
    return len(buffer)


def best_time(call, rounds, budget):
    """The best of at least 2 rounds, more while under `budget` seconds, at most `rounds`."""
    best, done, started = float("inf"), 0, time.perf_counter()
    while done < 2 or (done < rounds and time.perf_counter() - started < budget):
        gc.collect()  # a refused parser kept alive by its failure's traceback goes before the next round
        t = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - t)
        done += 1
    return best


def chunk_worker(name, n, rounds, budget):
    import resource

    chunking = next(c for c in CHUNKINGS if c.name == name)
    size, pieces = chunking.build(n)
    row = {"bytes": size}
    gc.collect()
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    row["outcome"] = feed_outcome(chunking, n, pieces)
    row["time"] = best_time(lambda: feed_outcome(chunking, n, pieces), rounds, budget)
    row["peak_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
    row["hold"] = best_time(lambda: hold(pieces), rounds, budget)
    print(json.dumps(row))


# glibc serves a block from the reused heap below a threshold that rises with the largest
# block freed (up to 32 MiB) and maps fresh pages above it, so n and 4n would be timed under
# different allocators; a fixed threshold maps every large block at both sizes.
FIXED_MMAP_THRESHOLD = {**os.environ, "MALLOC_MMAP_THRESHOLD_": str(256 * 1024)}


def chunk_table(args, unexpected):
    print(
        "\nPathological chunkings: one EventParser fed the pieces, events dropped after each feed; "
        "peak is the RSS growth of a fresh process over its state before the first feed. Hold: the "
        "same pieces appended to one bytearray, the machine's own growth for holding that many bytes.\n"
    )
    print(
        "| chunking | outcome at n | n | bytes at 4n | time at n (ms) | time at 4n (ms) | ratio | "
        "hold ratio | peak at n (MB) | peak at 4n (MB) |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for chunking in CHUNKINGS:
        if args.only not in chunking.name:
            continue
        n = chunking.ci_n if args.quick else chunking.bench_n
        rows = []
        for size in (n, 4 * n):
            proc = subprocess.run(
                [
                    sys.executable,
                    __file__,
                    "--chunk-worker",
                    chunking.name,
                    str(size),
                    "--rounds",
                    str(args.rounds),
                    "--budget",
                    str(args.budget),
                ],
                capture_output=True,
                text=True,
                env=FIXED_MMAP_THRESHOLD,
            )
            if proc.returncode != 0:
                unexpected.append(f"{chunking.name}: worker failed at {size}: {proc.stderr.strip()[-500:]}")
                break
            rows.append(json.loads(proc.stdout.strip().splitlines()[-1]))
            rows[-1]["expected"] = chunking.expect(size)  # here: the worker's peak is the feeding's alone
            if rows[-1]["outcome"] != rows[-1]["expected"]:
                unexpected.append(
                    f"{chunking.name} at {size}: {rows[-1]['outcome']!r}, expected {rows[-1]['expected']!r}"
                )
        if len(rows) < 2:
            print(f"| {chunking.name} | worker failed | {n:,} | | | | | | | |")
            continue
        small, large = rows
        outcome = small["outcome"] if small["outcome"] == small["expected"] else "UNEXPECTED " + small["outcome"]
        print(
            f"| {chunking.name} | {outcome.replace('|', chr(92) + '|')} | {n:,} | {large['bytes']:,} | "
            f"{milliseconds(small['time'])} | {milliseconds(large['time'])} | "
            f"{large['time'] / small['time']:.1f} | {large['hold'] / small['hold']:.1f} | "
            f"{small['peak_kib'] / 1024:.1f} | "
            f"{large['peak_kib'] / 1024:.1f} |",
            flush=True,
        )


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
    parser.add_argument("--only", default="", help="classes and chunkings whose name contains this")
    parser.add_argument("--worker", nargs=2, metavar=("NAME", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--chunk-worker", nargs=2, metavar=("NAME", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], int(args.worker[1]), args.rounds, args.budget)
        return 0
    if args.chunk_worker:
        chunk_worker(args.chunk_worker[0], int(args.chunk_worker[1]), args.rounds, args.budget)
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
    chunk_table(args, unexpected)
    print(f"\n{time.perf_counter() - started:.0f} s in all.")
    for line in unexpected:
        print(f"UNEXPECTED: {line}", file=sys.stderr)
    return 1 if unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
