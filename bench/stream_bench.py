"""Streaming a large record dump: iterparse and a Python target against their peers.

    python bench/stream_bench.py [--size-mb N] [--rounds N] [--double] [--smoke] [--before PYTHON]

Generates a record dump of N MB (default 1024; about 200 bytes a record, as bibliographic,
wiki or map exports are: attributes, text, a little nesting, namespaces declared on the root,
character references), cached in build/bench-stream/ by size. Then every variant runs in a
fresh child process per round, the variants interleaved within each round, so each child's
peak RSS (VmHWM) is its own. Prints the median time, throughput, peak RSS and peak over an
interpreter that only imported the modules, and the median over rounds of each variant's
ratio to the standard library measured in the same round. Then the time of XMLParser.feed
at n and 4n bytes in 1-byte and 64 KiB chunks: a ratio near 4 is linear.

--double runs the recipe and opt-in variants on a dump twice the size too, in the same
rounds: flat memory shows as the same peak. --smoke runs every available variant once on a
few MB and fails unless each ran and all counted the same records. The opt-in variant is
reported as not available until vorlane.ElementTree.iterparse takes its keywords.

--before PYTHON runs every vorlane variant and feed timing under that interpreter too (a venv
with another build of vorlane, lxml installed), in the same rounds, as "... [before]": a
before/after figure whose two sides met the same noise.

--run VARIANT runs that one variant once on the dump, in this process, and prints its
records: for a profiler or an instruction counter wrapped around the interpreter.

Each child's address space is capped (--memory-cap-gb) and its time bounded (--timeout),
so a variant that holds the whole document reports "out of memory" instead of taking the
machine with it. Exits 1 if a variant counts differently from the others.
"""

import argparse
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(os.path.dirname(HERE), "build", "bench-stream")
MB = 1_000_000
CHUNK = 64 * 1024

# Bump when the generated records change, so a cached dump of the old shape is not reused.
FORMAT = 1
NS = "http://example.org/ns/records"
DC = "http://purl.org/dc/elements/1.1/"
GEO = "http://www.w3.org/2003/01/geo/wgs84_pos#"
RECORD = "{%s}rec" % NS

# The opt-in of the streaming engine: a tag filter, as lxml has, and freeing each element once
# the loop has moved past it. The free keyword is the name it is expected to land under.
OPT_IN_FILTER = "tag"
OPT_IN_FREE = "release"

# ---------------------------------------------------------------------------------------
# The dump

_KINDS = ("article", "book", "thesis", "map", "page", "report", "dataset")
_WORDS = (
    "river",
    "survey",
    "northern",
    "harbour",
    "notes",
    "archive",
    "village",
    "railway",
    "census",
    "letters",
    "coast",
    "parish",
    "mining",
    "weather",
    "bridge",
    "market",
)
_NAMES = (
    "M\u00fcller",
    "Dvo\u0159\u00e1k",
    "O'Brien",
    "Nakamura",
    "Silva",
    "Kowalski",
    "Andersson",
    "Garc\u00eda",
    "Okafor",
    "Lefebvre",
)
# Character references as the exporters write them; no entity is declared or needed.
_REFS = ("&#8211;", "&#233;", "&#x2014;", "&amp;", "&#252;", "&lt;", "&#176;")


def _record(i):
    w = _WORDS
    title = f"{w[i % 16].capitalize()} {w[(i >> 4) % 16]} {_REFS[i % 7]} {i % 997}"
    author = _NAMES[(i * 7) % 10].replace("'", "&#39;")
    lat, lon = (i * 7919) % 180_000 / 1000 - 90, (i * 104_729) % 360_000 / 1000 - 180
    return (
        f'<rec id="r{i:08d}" kind="{_KINDS[i % 7]}" year="{1900 + i % 124}">'
        f'<dc:title>{title}</dc:title>'
        f'<dc:creator role="aut">{author}, {w[(i >> 3) % 16][0].upper()}.</dc:creator>'
        f'<geo:point lat="{lat:.2f}" lon="{lon:.2f}"/>'
        f'<subject>{w[(i >> 2) % 16]}</subject></rec>\n'
    )


def _root_start():
    return (
        f'<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<dump xmlns="{NS}" xmlns:dc="{DC}" xmlns:geo="{GEO}" generated="2026-01-01">\n'
    )


def write_dump(out, size):
    """Write a dump of about *size* bytes to the binary file *out*; returns its record count."""
    out.write(_root_start().encode())
    written, i = 0, 0
    while written < size:
        count = min(2000, (size - written) // 200 + 1)  # whole blocks, but no overshoot on small sizes
        block = "".join(_record(j) for j in range(i, i + count)).encode()
        out.write(block)
        written += len(block)
        i += count
    out.write(b"</dump>\n")
    return i


def dump_in_memory(size):
    import io

    buffer = io.BytesIO()
    count = write_dump(buffer, size)
    return buffer.getvalue(), count


def cached_dump(size_mb):
    """Path and record count of the cached dump of *size_mb* MB, generated when missing."""
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, f"records-{size_mb}MB-v{FORMAT}.xml")
    meta = path + ".json"
    if os.path.exists(path) and os.path.exists(meta):
        with open(meta) as f:
            return path, json.load(f)["records"]
    print(f"== generating {path}", file=sys.stderr)
    partial = path + ".partial"  # renamed when complete: an interrupted run leaves no dump
    with open(partial, "wb") as out:
        count = write_dump(out, size_mb * MB)
    os.replace(partial, path)
    with open(meta, "w") as f:
        json.dump({"records": count}, f)
    return path, count


def warm(path):
    """Read the file once so every variant finds it in the page cache."""
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


# ---------------------------------------------------------------------------------------
# Variants (each runs in a child; returns the number of records it saw, and optionally more)


def _stdlib():
    import xml.etree.ElementTree as ET

    return ET


def _vorlane():
    import vorlane.ElementTree as vorlane_et

    return vorlane_et


def _lxml_safe_iterparse(path, **kw):
    import lxml.etree

    return lxml.etree.iterparse(path, resolve_entities=False, no_network=True, load_dtd=False, huge_tree=False, **kw)


def clear_loop(iterparse, path):
    records = 0
    for _, element in iterparse(path, events=("end",)):
        if element.tag == RECORD:
            records += 1
            element.clear()
    return records


def root_clear_loop(iterparse, path):
    """The recipe for ElementTree: clear the record, then the root, which drops the cleared
    records the root still holds."""
    records, root = 0, None
    for event, element in iterparse(path, events=("start", "end")):
        if root is None:
            root = element
        elif event == "end" and element.tag == RECORD:
            records += 1
            element.clear()
            root.clear()
    return records


def lxml_recipe(path):
    records = 0
    for _, element in _lxml_safe_iterparse(path, events=("end",), tag=RECORD):
        records += 1
        element.clear()
        while element.getprevious() is not None:
            del element.getparent()[0]
    return records


def opt_in_available():
    import inspect

    accepted = inspect.signature(_vorlane().iterparse).parameters
    return OPT_IN_FILTER in accepted and OPT_IN_FREE in accepted


def vorlane_opt_in(path):
    records = 0
    for _ in _vorlane().iterparse(path, **{OPT_IN_FILTER: RECORD, OPT_IN_FREE: True}):
        records += 1
    return records


class CountingTarget:
    def __init__(self):
        self.records = self.characters = 0

    def start(self, tag, attrib):
        pass

    def end(self, tag):
        if tag == RECORD:
            self.records += 1

    def data(self, text):
        self.characters += len(text)

    def close(self):
        return self.records


def feed_target(module, path):
    target = CountingTarget()
    parser = module.XMLParser(target=target)
    with open(path, "rb") as f:
        while chunk := f.read(CHUNK):
            parser.feed(chunk)
    return parser.close(), {"characters": target.characters}


VARIANTS = {
    # name: (function of the dump's path, the standard library variant it is compared with)
    "stdlib iterparse, clear": (lambda p: clear_loop(_stdlib().iterparse, p), None),
    "lxml iterparse, clear": (lambda p: clear_loop(_lxml_safe_iterparse, p), "stdlib iterparse, clear"),
    "vorlane iterparse, clear": (lambda p: clear_loop(_vorlane().iterparse, p), "stdlib iterparse, clear"),
    "stdlib iterparse, recipe": (lambda p: root_clear_loop(_stdlib().iterparse, p), None),
    "lxml iterparse, recipe": (lxml_recipe, "stdlib iterparse, recipe"),
    "vorlane iterparse, recipe": (lambda p: root_clear_loop(_vorlane().iterparse, p), "stdlib iterparse, recipe"),
    "vorlane iterparse, opt-in": (vorlane_opt_in, "stdlib iterparse, recipe"),
    "stdlib target, 64 KiB feeds": (lambda p: feed_target(_stdlib(), p), None),
    "vorlane target, 64 KiB feeds": (lambda p: feed_target(_vorlane(), p), "stdlib target, 64 KiB feeds"),
}
# Variants whose memory should not grow with the file, run again at twice the size by --double.
FLAT = ("stdlib iterparse, recipe", "lxml iterparse, recipe", "vorlane iterparse, recipe", "vorlane iterparse, opt-in")


def feed_time(module_name, chunk, size):
    """Seconds to feed a dump of *size* bytes in *chunk*-byte pieces and close: the best of
    a few repetitions, since the small sizes take only tens of milliseconds."""
    document, records = dump_in_memory(size)
    module = _stdlib() if module_name == "stdlib" else _vorlane()
    pieces = [document[i : i + chunk] for i in range(0, len(document), chunk)]
    times = []
    while len(times) < 5 and sum(times) < 0.5:
        target = CountingTarget()
        parser = module.XMLParser(target=target)
        started = time.perf_counter()
        for piece in pieces:
            parser.feed(piece)
        parser.close()
        times.append(time.perf_counter() - started)
        if target.records != records:
            raise AssertionError(f"counted {target.records} records of {records}")
    return min(times)


def peak_rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024 / MB
    raise RuntimeError("no VmHWM in /proc/self/status")


def child(spec, memory_cap):
    # The cap comes first, so that nothing of the run escapes it.
    resource.setrlimit(resource.RLIMIT_AS, (memory_cap, memory_cap))
    # Every child imports the same modules, so the baseline child's peak is each one's floor.
    import xml.etree.ElementTree  # noqa: F401

    import lxml.etree  # noqa: F401

    import vorlane.ElementTree  # noqa: F401

    row = {}
    try:
        if spec["kind"] == "variant":
            started = time.perf_counter()
            result = VARIANTS[spec["variant"]][0](spec["path"])
            row["seconds"] = time.perf_counter() - started
            records, extra = result if isinstance(result, tuple) else (result, {})
            row.update(extra, records=records)
        elif spec["kind"] == "feed":
            row["seconds"] = feed_time(spec["module"], spec["chunk"], spec["size"])
    except MemoryError:
        row = {"error": "out of memory"}
    except Exception as error:  # one cell of the table, not the end of the run
        row = {"error": f"{type(error).__name__}: {str(error)[:120]}"}
    row["peak"] = peak_rss_mb()
    print(json.dumps(row))


# ---------------------------------------------------------------------------------------
# The parent


BEFORE = " [before]"


def run_child(spec, args):
    python = sys.executable
    for key in ("variant", "module"):
        if spec.get(key, "").endswith(BEFORE):
            python = args.before
            spec = dict(spec, **{key: spec[key][: -len(BEFORE)]})
    try:
        proc = subprocess.run(
            [python, __file__, "--child", json.dumps(spec), "--memory-cap-gb", str(args.memory_cap_gb)],
            capture_output=True,
            text=True,
            timeout=args.timeout,
        )
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {args.timeout:g} s"}
    if proc.returncode == 0 and proc.stdout.strip():
        return json.loads(proc.stdout.strip().splitlines()[-1])
    # Allocation failure outside Python's reach (a C++ allocation, a thread's stack) aborts.
    if any(s in proc.stderr for s in ("MemoryError", "bad_alloc", "Cannot allocate memory")):
        return {"error": "out of memory"}
    last = (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1]
    return {"error": f"crashed: {last[:120]}"}


def measure(runs, rounds, args):
    """{run: [row per round]} for runs (variant, path); interleaved, rotated round by round."""
    results = {run: [] for run in runs}
    for r in range(rounds):
        shift = r % len(runs)
        for run in runs[shift:] + runs[:shift]:
            name, path = run
            spec = {"kind": "baseline"} if name == "baseline" else {"kind": "variant", "variant": name, "path": path}
            row = run_child(spec, args)
            results[run].append(row)
            shown = row.get("error") or f"{row.get('seconds', 0):.2f} s, {row['peak']:.0f} MB"
            print(f"   round {r + 1}/{rounds}: {name}, {os.path.basename(path)}: {shown}", file=sys.stderr)
    return results


def median_of(rows, key):
    values = [row[key] for row in rows if key in row and "error" not in row]
    return statistics.median(values) if values else None


def paired_ratio(rows, reference_rows, key):
    ratios = [
        a[key] / b[key] for a, b in zip(rows, reference_rows) if "error" not in a and "error" not in b and b[key] > 0
    ]
    return statistics.median(ratios) if ratios else None


def fmt(value, spec):
    return "–" if value is None else format(value, spec)


def with_before(variants, before):
    """The variants, and with *before* each vorlane one again under the other interpreter."""
    rows = dict(variants)
    if before:
        rows.update((name + BEFORE, spec) for name, spec in variants.items() if name.startswith("vorlane"))
    return rows


def report(results, baseline, size, expected, skipped, before=None):
    print("| variant | seconds | MB/s | peak RSS MB | over baseline MB | time ÷ stdlib | peak ÷ stdlib | records |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    print(f"| baseline (imports only) | | | {fmt(baseline, '.0f')} | | | | |")
    problems = []
    for name, (_, reference) in with_before(VARIANTS, before).items():
        if name in skipped:
            print(f"| {name} | not available: {skipped[name]} | | | | | | |")
            continue
        rows = results[name]
        errors = sorted({row["error"] for row in rows if "error" in row})
        if errors:
            peak = statistics.median(row["peak"] for row in rows if "peak" in row) if rows else None
            print(f"| {name} | {'; '.join(errors)} | | {fmt(peak, '.0f')} | | | | |")
            continue
        seconds, peak = median_of(rows, "seconds"), median_of(rows, "peak")
        counts = {row["records"] for row in rows}
        if counts != {expected}:
            problems.append(f"{name} counted {sorted(counts)} records, the dump holds {expected}")
        time_ratio = peak_ratio = None
        if reference is not None:
            reference_rows = results[reference]
            time_ratio = paired_ratio(rows, reference_rows, "seconds")
            peak_ratio = paired_ratio(rows, reference_rows, "peak")
        print(
            f"| {name} | {seconds:.2f} | {size / MB / seconds:.0f} | {peak:.0f} | {peak - baseline:.0f} | "
            f"{fmt(time_ratio, '.2f')} | {fmt(peak_ratio, '.2f')} | {counts.pop():,} |"
        )
    characters = {
        name: {row.get("characters") for row in results[name] if "error" not in row}
        for name in results
        if "target" in name
    }
    if len(set().union(*characters.values())) > 1:
        problems.append(f"the targets saw different amounts of character data: {characters}")
    return problems


def linearity(args, sizes):
    """Feed time at n and 4n in 1-byte and 64 KiB chunks; median of the paired 4n/n ratios,
    and with --before, of the paired ratios to the other build at 4n."""
    modules = ["stdlib", "vorlane"] + (["vorlane" + BEFORE] if args.before else [])
    before = " ÷ before at 4n |" if args.before else ""
    print(f"\n| XMLParser.feed | chunk | n bytes | seconds at n | seconds at 4n | 4n ÷ n |{before}")
    print("|---|---:|---:|---:|---:|---:|" + ("---:|" if args.before else ""))
    failures = []
    for chunk, n in sizes:
        rows = {module: {n: [], 4 * n: []} for module in modules}
        for _ in range(args.feed_rounds):
            for module in modules:  # interleaved, so that each round's pair met the same noise
                for size in (n, 4 * n):
                    spec = {"kind": "feed", "module": module, "chunk": chunk, "size": size}
                    rows[module][size].append(run_child(spec, args))
        for module in modules:
            errors = sorted({row["error"] for size in rows[module] for row in rows[module][size] if "error" in row})
            if errors:
                failures.append(f"feed {module} {chunk}: {'; '.join(errors)}")
                print(f"| {module} | {chunk} | {n:,} | {'; '.join(errors)} | | |" + (" |" if args.before else ""))
                continue
            ratio = paired_ratio(rows[module][4 * n], rows[module][n], "seconds")
            versus = ""
            if args.before and module == "vorlane":
                versus = f" {fmt(paired_ratio(rows[module][4 * n], rows[module + BEFORE][4 * n], 'seconds'), '.2f')} |"
            elif args.before:
                versus = " |"
            print(
                f"| {module} | {chunk:,} | {n:,} | {median_of(rows[module][n], 'seconds'):.3f} | "
                f"{median_of(rows[module][4 * n], 'seconds'):.3f} | {ratio:.2f} |{versus}"
            )
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=1024, help="size of the dump (default 1024)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of every variant (default 3)")
    parser.add_argument("--feed-rounds", type=int, default=5, help="rounds of the feed timings (default 5)")
    parser.add_argument("--double", action="store_true", help="the recipe and opt-in variants at twice the size too")
    parser.add_argument(
        "--smoke",
        action="store_true",
        help="a few MB, one round, small feeds; fails unless every variant ran and agreed",
    )
    parser.add_argument("--timeout", type=float, help="seconds per child (default 60 + 0.5 per MB)")
    parser.add_argument("--memory-cap-gb", type=float, default=12, help="address space of each child (default 12)")
    parser.add_argument("--before", help="another interpreter whose vorlane variants run beside these")
    parser.add_argument("--run", metavar="VARIANT", choices=VARIANTS, help="one variant once, in this process")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(json.loads(args.child), int(args.memory_cap_gb * (1 << 30)))
        return 0
    if args.run:
        import xml.etree.ElementTree  # noqa: F401  (the imports of every child, as in child())

        import lxml.etree

        import vorlane.ElementTree

        print(VARIANTS[args.run][0](cached_dump(args.size_mb)[0]))
        return 0
    if args.smoke:
        args.size_mb, args.rounds, args.feed_rounds, args.double = 4, 1, 1, False
        feed_sizes = ((1, 20_000), (CHUNK, 1_000_000))
    else:
        feed_sizes = ((1, 200_000), (CHUNK, 8_000_000))
    if args.timeout is None:
        args.timeout = 60 + 0.5 * args.size_mb * (2 if args.double else 1)

    skipped = {}
    if not opt_in_available():
        skipped["vorlane iterparse, opt-in"] = (
            f"vorlane.ElementTree.iterparse takes no {OPT_IN_FILTER}= and {OPT_IN_FREE}= keywords yet"
        )
    path, expected = cached_dump(args.size_mb)
    size = os.path.getsize(path)
    variants = with_before(VARIANTS, args.before)
    runs = [("baseline", "")] + [(name, path) for name in variants if name.removesuffix(BEFORE) not in skipped]
    if args.double:
        # In the same rounds as the 1x runs, so the two sizes meet the same noise.
        path2, expected2 = cached_dump(2 * args.size_mb)
        runs += [(name, path2) for name in FLAT if name not in skipped]
        warm(path2)
    warm(path)
    import lxml.etree

    import vorlane

    print(
        f"Python {platform.python_version()}, vorlane {vorlane.__version__}, lxml "
        f"{'.'.join(map(str, lxml.etree.LXML_VERSION[:3]))}, expat via the standard library; "
        f"{os.cpu_count()} cores. Dump: {size / MB:,.0f} MB, {expected:,} records; warm (in the page "
        f"cache: read once before the first round). Each variant in a fresh child per round, "
        f"rounds: {args.rounds}, the variants interleaved{' (both sizes)' if args.double else ''}; medians, ratios are medians of the same round's pairs. "
        f"Peak RSS: VmHWM of the child; baseline: a child that only imports the modules. Children "
        f"capped at {args.memory_cap_gb:g} GB of address space and {args.timeout:g} s.\n"
    )
    started = time.perf_counter()
    results = measure(runs, args.rounds, args)
    baseline = median_of(results[("baseline", "")], "peak")
    problems = report(
        {name: results[(name, path)] for name in variants if name.removesuffix(BEFORE) not in skipped},
        baseline,
        size,
        expected,
        {**skipped, **{name + BEFORE: why for name, why in skipped.items()}},
        args.before,
    )

    if args.double:
        print(
            f"\n| at {os.path.getsize(path2) / MB:,.0f} MB (2x) | seconds | time ÷ 1x | peak RSS MB | "
            f"over baseline MB | over baseline at 1x MB | change MB |"
        )
        print("|---|---:|---:|---:|---:|---:|---:|")
        for name in FLAT:
            rows, rows1 = results.get((name, path2)), results.get((name, path))
            errors = sorted({row["error"] for row in (rows or []) if "error" in row})
            if rows is None or errors:
                print(f"| {name} | {'; '.join(errors) or 'not available'} | | | | | |")
                continue
            if {row["records"] for row in rows} != {expected2}:
                problems.append(f"{name} at 2x counted differently from the {expected2} records")
            peak1 = median_of(rows1, "peak")
            over1 = None if peak1 is None else peak1 - baseline
            over2 = median_of(rows, "peak") - baseline
            print(
                f"| {name} | {median_of(rows, 'seconds'):.2f} | {fmt(paired_ratio(rows, rows1, 'seconds'), '.2f')} | "
                f"{median_of(rows, 'peak'):.0f} | {over2:.0f} | {fmt(over1, '.0f')} | "
                f"{fmt(None if over1 is None else over2 - over1, '+.0f')} |"
            )

    failures = linearity(args, feed_sizes)
    print(f"\n{time.perf_counter() - started:.0f} s of measuring.", file=sys.stderr)
    if args.smoke:
        problems += failures
        problems += [f"{name}: {row['error']}" for (name, _), rows in results.items() for row in rows if "error" in row]
    for problem in problems:
        print(f"FAILED: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
