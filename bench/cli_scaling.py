"""How `vorlane check` scales: files per second with -j 1 against -j N, processes and threads.

    python bench/cli_scaling.py DIR [--rounds 7] [--jobs 2]

Each round runs, in turn, the whole command in a fresh process with -j 1 and with -j N,
and the in-process checker with N workers as processes and as threads (pool start
included). Prints files/s per variant (median of the rounds) and the median of the
per-round ratios to -j 1, so a slow spell of a shared machine cancels out.

On a busy machine wall times say little about scaling (more processes simply get more of
the contended cores), so the command's CPU seconds (its workers included) are printed too:
when -j N costs about the CPU of -j 1, the work divides and only a quiet machine's wall
clock is missing.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Literal

from vorlane.cli.checking import _check_files
from vorlane.cli.discover import DEFAULT_INCLUDE, select

CPU: dict[int, list[float]] = {}


def command(directory: str, jobs: int) -> float:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(
        [sys.executable, "-m", "vorlane", "check", "-q", "--no-progress", "-j", str(jobs), directory],
        stdout=subprocess.DEVNULL,
        check=False,
    )
    elapsed = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    CPU.setdefault(jobs, []).append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return elapsed


def in_process(paths: list[str], jobs: int, pool: Literal["processes", "threads"]) -> float:
    started = time.perf_counter()
    for _ in _check_files(paths, {}, jobs, pool):
        pass
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("directory")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    selection = select([args.directory], DEFAULT_INCLUDE, [])
    paths = selection.files
    size = sum(os.stat(path).st_size for path in paths)
    print(f"{len(paths)} files, {size / 1e6:.1f} MB, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")
    n = args.jobs
    variants: dict[str, Callable[[], float]] = {
        "command -j 1": lambda: command(args.directory, 1),
        f"command -j {n}": lambda: command(args.directory, n),
        "in-process, 1 worker": lambda: in_process(paths, 1, "processes"),
        f"in-process, {n} processes": lambda: in_process(paths, n, "processes"),
        f"in-process, {n} threads": lambda: in_process(paths, n, "threads"),
    }
    times: dict[str, list[float]] = {name: [] for name in variants}
    for _ in range(args.rounds):
        for name, run in variants.items():
            times[name].append(run())
    baselines = {"command": times["command -j 1"], "in-process": times["in-process, 1 worker"]}
    for name, seconds in times.items():
        base = baselines[name.split(",")[0].split(" -j")[0]]
        ratio = statistics.median(b / s for b, s in zip(base, seconds))
        spread = f"{min(seconds):.3f}-{max(seconds):.3f} s"
        print(f"{name:28} {len(paths) / statistics.median(seconds):8.0f} files/s  x{ratio:.2f}  ({spread})")
    for jobs, seconds in sorted(CPU.items()):
        print(f"command -j {jobs}: {statistics.median(seconds):.3f} CPU s (median, workers included)")
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
