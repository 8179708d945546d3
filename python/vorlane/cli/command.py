"""``vorlane check``: the arguments, the run, the exit status."""

from __future__ import annotations

import argparse
import inspect
import io
import os
import sys
import time
from collections.abc import Callable, Generator, Sequence
from dataclasses import dataclass, field
from typing import IO, Final, cast

from vorlane import __version__
from vorlane._vorlane import parse_xml
from vorlane.api import STRICT_DEFAULT, ParseOptions
from vorlane.cli.checking import check_files, check_stream, usable_cores
from vorlane.cli.discover import DEFAULT_INCLUDE, STDIN, Selection, select
from vorlane.cli.outcome import STATUSES, Outcome, plural, printable
from vorlane.cli.writers import FORMATS, OutputError, SarifWriter, Writer, Writers, make_writer

__all__ = ["main", "option_defaults", "option_flags", "parse_args"]

# What each option of ParseOptions bounds or decides, for --help. Its flag is derived from
# its name and default: --forbid-X for a switch that is off, --allow-X for one that is on
# (--no-strict for strict), --max-X for a limit.
OPTION_HELP: Final = {
    "forbid_dtd": "refuse every DOCTYPE, even one without entities",
    "forbid_entities": "accept entity declarations (they are still never expanded)",
    "forbid_external": "accept external identifiers (nothing is ever opened)",
    "max_depth": "elements nested",
    "max_entity_size": "bytes of an entity (accepted, bounds nothing: no entity is expanded)",
    "max_text_size": "bytes of one run of character data (files are read in pieces, so runs are not summed)",
    "max_attributes": "attributes of one element",
    "max_attribute_size": "bytes of one attribute value",
    "max_name_size": "bytes of one name",
    "max_comment_size": "bytes of one comment or processing instruction",
    "strict": "accept what XML calls not well-formed, as parse_xml does, and keep line ends as written",
}
_U64_MAX: Final = 2**64 - 1


def option_flags() -> dict[str, str]:
    """Each parser option's flag, by option name, derived from its name and default.

    >>> flags = option_flags()
    >>> flags["forbid_dtd"], flags["forbid_entities"], flags["max_depth"], flags["strict"]
    ('--forbid-dtd', '--allow-entities', '--max-depth', '--no-strict')
    """
    flags = {}
    for name, default in option_defaults().items():
        if name == "strict":
            flags[name] = "--no-strict"
        elif isinstance(default, bool):
            flags[name] = "--" + ("allow" if default else "forbid") + "-" + name.split("_", 1)[1]
        else:
            flags[name] = "--" + name.replace("_", "-")
    return flags


def option_defaults() -> dict[str, bool | int]:
    """Each option's default: parse_xml's, and this package's ``strict``.

    >>> option_defaults()["max_depth"], option_defaults()["strict"]
    (1000, True)
    """
    defaults = {name: p.default for name, p in inspect.signature(parse_xml).parameters.items() if name != "source"}
    defaults["strict"] = STRICT_DEFAULT
    return defaults


class Progress:
    """``checked N/M files`` on standard error, only on a terminal and only once a run has
    taken long enough to need it; redrawn at most ten times a second."""

    def __init__(
        self, stream: IO[str], total: int, clock: Callable[[], float] = time.monotonic, delay: float = 1.0
    ) -> None:
        self.stream = stream
        self.total = total
        self.clock = clock
        self.start = clock()
        self.delay = delay
        self.drawn_at: float | None = None
        self.enabled = total > 1 and _is_terminal(stream) and os.environ.get("TERM") != "dumb"

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        now = self.clock()
        if now - self.start < self.delay or (self.drawn_at is not None and now - self.drawn_at < 0.1):
            return
        self.drawn_at = now
        self.stream.write(f"\rchecked {done}/{self.total} files ({100 * done // self.total}%)")
        self.stream.flush()

    def clear(self) -> None:
        if self.drawn_at is not None:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn_at = None


def _is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


@dataclass(slots=True)
class Tally:
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(STATUSES, 0))
    files: int = 0
    size: int = 0

    def add(self, outcome: Outcome) -> None:
        self.counts[outcome.status] += 1
        self.size += outcome.size

    def exit_status(self) -> int:
        if self.counts["error"]:
            return 2
        return 1 if self.counts["refused"] or self.counts["malformed"] else 0

    def summary(self, seconds: float) -> str:
        c = self.counts
        rate = f", {self.files / seconds:.0f} files/s" if seconds >= 0.05 else ""
        return (
            f"{plural(self.files, 'file')} ({_megabytes(self.size)}) in {seconds:.2f} s{rate}: {c['ok']} ok, "
            f"{c['refused']} refused, {c['malformed']} malformed, {plural(c['error'], 'error')}"
        )


def _megabytes(size: int) -> str:
    return f"{size / 1e6:.1f} MB" if size >= 100_000 else f"{size / 1e3:.1f} kB"


# ---- the arguments


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= _U64_MAX:
        raise argparse.ArgumentTypeError(f"out of range 0 to 2**64-1: {text}")
    return value


def _jobs(text: str) -> int:
    value = _count(text)
    if value < 1:
        raise argparse.ArgumentTypeError("needs at least 1")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The parser of ``vorlane``'s arguments."""
    cores = usable_cores()
    parser = argparse.ArgumentParser(
        prog="vorlane",
        description="Check XML files with vorlane: the hostile ones are refused, the malformed ones reported.",
    )
    parser.add_argument("--version", action="version", version=f"vorlane {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    check = commands.add_parser(
        "check",
        help="check XML files and directories",
        description="Parse each file as vorlane.parse does and report it as ok, refused (the rule and the "
        "declaration) or malformed (the message). Exit status: 0 all ok, 1 some refused or "
        "malformed, 2 usage error, unreadable path or nothing matched.",
    )
    check.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="file (checked whatever its name), directory (walked for --include names, skipping hidden "
        'entries) or - for standard input; every argument after "--" is a path, - included',
    )
    check.add_argument(
        "--include",
        action="append",
        metavar="GLOB",
        help=f"file names to check in directories (repeatable; default: {' '.join(DEFAULT_INCLUDE)})",
    )
    check.add_argument(
        "--exclude",
        action="append",
        default=[],
        metavar="GLOB",
        help="skip files and directories whose name or path matches (repeatable)",
    )
    check.add_argument(
        "-j",
        "--jobs",
        type=_jobs,
        default=cores,
        metavar="N",
        help=f"parse up to N files at once in worker processes (default and most: the usable cores, {cores} here)",
    )
    check.add_argument("--format", choices=FORMATS, default="text", help="the report on standard output")
    check.add_argument(
        "--json", dest="format", action="store_const", const="json", help="--format json: one JSON object per file"
    )
    check.add_argument("-q", "--quiet", action="store_true", help="report problems only, without summary")
    check.add_argument("--sarif", metavar="FILE", help="also write a SARIF 2.1.0 report to FILE for code scanning")
    check.add_argument(
        "--pre-commit",
        action="store_true",
        help='the file names follow a "--", which must be there: pre-commit appends staged '
        "names after the hook's args, and a name such as --sarif=pom.xml must never be "
        "read as an option",
    )
    check.add_argument(
        "--no-progress",
        dest="progress",
        action="store_false",
        help="no progress display (shown on a terminal when a run is long)",
    )
    group = check.add_argument_group("parser options (the defaults are vorlane's)")
    defaults = option_defaults()
    for name, flag in option_flags().items():
        if isinstance(defaults[name], bool):
            action = "store_false" if defaults[name] else "store_true"
            group.add_argument(flag, dest=name, action=action, default=argparse.SUPPRESS, help=OPTION_HELP[name])
        else:
            group.add_argument(
                flag,
                dest=name,
                type=_count,
                default=argparse.SUPPRESS,
                metavar="N",
                help=f"most {OPTION_HELP[name]} (default {defaults[name]})",
            )
    return parser


def _normalise(argv: list[str]) -> list[str]:
    # ``vorlane FILE...``, the form before subcommands, still means ``vorlane check FILE...``.
    if argv and argv[0] not in ("check", "-h", "--help", "--version"):
        return ["check", *argv]
    return argv


def parse_args(argv: list[str]) -> argparse.Namespace:
    """The arguments of a run. Everything after the first "--" is a path, taken as it is:
    argparse is never shown those arguments, so no file name can turn into an option (or
    vanish, as a second "--" would). Before it, ``-`` is standard input.

    >>> args = parse_args(["check", "-", "--max-depth", "5", "--", "-", "--json"])
    >>> args.stdin, args.paths, args.max_depth
    (True, ['-', '--json'], 5)
    """
    argv = _normalise(argv)
    after: list[str] | None = None
    if "--" in argv:
        split = argv.index("--")
        argv, after = argv[:split], argv[split + 1 :]
    parser = build_parser()
    if "--pre-commit" in argv and after is None:
        # Refused before anything is parsed: the staged names would be read as options.
        parser.error(
            "--pre-commit: end the hook's args with \"--\"; pre-commit appends the file names "
            "after them, and without it a file name could be read as an option"
        )
    if "--pre-commit" in argv:
        # A staged file named "--" would end the options early; what it left before it would
        # then name existing files. Fail closed rather than guess.
        for arg in argv[1:]:
            if os.path.lexists(arg):
                parser.error(f'--pre-commit: {printable(arg)!r} before "--" is also the name of a file')
    args = parser.parse_args(argv)
    if args.pre_commit and args.paths:
        parser.error('--pre-commit: every path comes after "--"')
    args.stdin = "-" in args.paths
    args.paths = [*(path for path in args.paths if path != "-"), *(after or [])]
    if not args.paths and not args.stdin:
        parser.error("the following arguments are required: PATH")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ``vorlane`` with ``argv`` (default: the process's arguments); returns the exit status.

    >>> import pathlib, tempfile
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "bomb.xml").write_text("<!DOCTYPE a [<!ENTITY e 'ha'>]><a>&e;&e;</a>")
    >>> main(["check", "--json", "--quiet", str(folder)])
    {"path": ".../bomb.xml", "status": "refused", "exception": "EntitiesForbidden", ...}
    1
    """
    args = parse_args(list(sys.argv[1:] if argv is None else argv))
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    options = cast(ParseOptions, {name: getattr(args, name) for name in OPTION_HELP if hasattr(args, name)})
    sarif: SarifWriter | None = None
    try:
        writers: list[Writer] = [make_writer(args.format, args.quiet, sys.stdout, sys.stderr)]
        if args.sarif is not None:
            sarif = SarifWriter(args.sarif)
            writers.append(sarif)
        return _run(args, options, Writers(writers))
    except KeyboardInterrupt:
        print("vorlane: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, without a second error at exit.
        _drop_standard_output()
        return 1
    except OutputError as exc:
        _drop_standard_output()
        print(f"vorlane: {exc}", file=sys.stderr)
        return 2
    finally:
        if sarif is not None:
            sarif.close()


def _drop_standard_output() -> None:
    # What is still buffered for standard output would fail again when the interpreter
    # flushes it at exit: it goes nowhere instead.
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, io.UnsupportedOperation):
        pass


def _checked(selection: Selection, stdin: bool, options: ParseOptions, jobs: int) -> Generator[Outcome]:
    if stdin:
        yield check_stream(STDIN, sys.stdin.buffer, options)
    yield from check_files(selection.files, options, jobs)


def _run(args: argparse.Namespace, options: ParseOptions, writer: Writer) -> int:
    started = time.perf_counter()
    selection = select(args.paths, args.include or DEFAULT_INCLUDE, args.exclude)
    if not selection.files and not selection.problems and not args.stdin:
        print("vorlane: nothing to check: every path given is excluded", file=sys.stderr)
        return 2
    tally = Tally(files=len(selection.files) + args.stdin)
    for outcome in selection.problems:
        tally.add(outcome)
        writer.outcome(outcome)
    progress = Progress(sys.stderr, tally.files) if args.progress else None
    checked = _checked(selection, args.stdin, options, args.jobs)
    try:
        for done, outcome in enumerate(checked, 1):
            tally.add(outcome)
            if progress is not None:
                progress.clear()
            writer.outcome(outcome)
            if progress is not None:
                progress.update(done)
    finally:
        checked.close()  # after an interrupt or a failed write, the workers stop now
        if progress is not None:
            progress.clear()
    writer.finish(tally.summary(time.perf_counter() - started))
    return tally.exit_status()
