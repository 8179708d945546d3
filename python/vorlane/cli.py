"""The command line: ``vorlane check PATH...`` (also ``python -m vorlane check PATH...``).

Checks files and directories (recursively, by the ``--include`` globs) with vorlane's
defaults or the limits given as flags, in parallel, and reports each file as ``ok``,
``refused`` (the exception class and the declaration or limit that was refused),
``malformed`` (the parser's message) or ``error`` (the file could not be read). Exit status:
0 when every file is ok, 1 when any was refused or malformed, 2 for a usage error, an
unreadable path or a directory in which nothing matched.
"""

from __future__ import annotations

import argparse
import fnmatch
import functools
import io
import json
import os
import re
import signal
import stat
import sys
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import IO, TYPE_CHECKING, Any, Final, Literal, cast

from vorlane import ParseOptions, __version__, parse, parse_xml
from vorlane.common import (
    DefusedXmlException,
    DTDForbidden,
    EntitiesForbidden,
    ExternalReferenceForbidden,
    ParseError,
)

if TYPE_CHECKING:
    from concurrent.futures import Executor

__all__ = ["DEFAULT_INCLUDE", "Outcome", "check_file", "check_files", "main", "sarif_log"]

Status = Literal["ok", "refused", "malformed", "error"]


DEFAULT_INCLUDE: Final = (
    "*.xml", "*.svg", "*.xsd", "*.xsl", "*.xslt", "*.rss", "*.atom", "*.plist", "*.xhtml", "*.gpx", "*.kml",
)

# Every option of parse_xml, as (flag, keyword, help). The switches store the opposite of
# their keyword's default; the limits take a count. Defaults come from parse_xml itself.
_SWITCHES: Final = (
    ("--forbid-dtd", "forbid_dtd", "refuse every DOCTYPE, even one without entities"),
    ("--allow-entities", "forbid_entities", "accept entity declarations (they are still never expanded)"),
    ("--allow-external", "forbid_external", "accept external identifiers (nothing is ever opened)"),
)
_LIMITS: Final = (
    ("--max-depth", "max_depth", "elements nested"),
    ("--max-entity-size", "max_entity_size", "bytes of an entity (accepted, bounds nothing: no entity is expanded)"),
    ("--max-text-size", "max_text_size", "bytes of character data in the whole document"),
    ("--max-attributes", "max_attributes", "attributes of one element"),
    ("--max-attribute-size", "max_attribute_size", "bytes of one attribute value"),
    ("--max-name-size", "max_name_size", "bytes of one name"),
    ("--max-comment-size", "max_comment_size", "bytes of one comment"),
)
_U64_MAX: Final = 2**64 - 1

# Field values and messages can hold most of a hostile document (an entity value, say):
# reports keep the start of each.
_MAX_FIELD_CHARS: Final = 200
_MAX_MESSAGE_CHARS: Final = 1000

# A pool pays off from about this much work: starting one costs what parsing a few hundred
# kilobytes does, or opening and reading a few hundred small files.
_POOL_MIN_FILES: Final = 256
_POOL_MIN_BYTES: Final = 1 << 20
_BINARY_PROBE: Final = 8192


@dataclass(frozen=True, slots=True)
class Outcome:
    """What checking one path gave; crosses process boundaries, so plain data only."""

    path: str
    status: Status
    exception: str | None = None
    message: str | None = None
    fields: dict[str, str | int | None] = field(default_factory=dict)
    root: str | None = None
    elements: int | None = None
    size: int = 0

    def as_json(self) -> dict[str, Any]:
        record: dict[str, Any] = {"path": _text(self.path), "status": self.status}
        if self.status == "ok":
            record.update(root=self.root, elements=self.elements)
        else:
            if self.exception is not None:
                record["exception"] = self.exception
            record["message"] = self.message
            if self.fields:
                record["fields"] = self.fields
        return record

    def as_line(self) -> str:
        if self.status == "ok":
            detail = f"{self.root}  {_plural(self.elements or 0, 'element')}"
        elif self.exception is not None:
            detail = f"{self.exception}: {self.message}"
        else:
            detail = str(self.message)
        return _printable(f"{self.status}  {self.path}  {detail}")


def check_file(path: str, options: ParseOptions) -> Outcome:
    """Parses one file with the given ``parse_xml`` options and says how it went.

    >>> import pathlib, tempfile
    >>> path = pathlib.Path(tempfile.mkdtemp(), "upload.svg")
    >>> _ = path.write_text("<!DOCTYPE svg [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><svg>&e;</svg>")
    >>> check_file(str(path), {}).exception
    'ExternalReferenceForbidden'
    >>> check_file(str(path), {"forbid_external": False}).fields["system_id"]
    'file:///etc/passwd'
    """
    size = 0
    try:
        with open(path, "rb") as handle:
            size = os.fstat(handle.fileno()).st_size
            tree = parse(handle, **options)
    except DefusedXmlException as exc:
        return _failure(path, "refused", exc, size)
    except ParseError as exc:
        outcome = _failure(path, "malformed", exc, size)
        if _looks_binary(path):
            return replace(outcome, message=f"binary file, not XML text ({outcome.message})")
        return outcome
    except OSError as exc:
        return Outcome(path, "error", message=f"cannot read: {exc.strerror or exc}", size=size)
    except Exception as exc:  # a fault of ours: report it on its line rather than end the run
        message = f"internal error: {_shorten(str(exc), _MAX_MESSAGE_CHARS)}"
        return Outcome(path, "error", type(exc).__name__, message, size=size)
    root = tree.getroot()
    return Outcome(path, "ok", root=None if root is None else root.tag, elements=sum(1 for _ in tree.iter()), size=size)


def _failure(path: str, status: Status, exc: Exception, size: int) -> Outcome:
    fields = {
        key: value if value is None or isinstance(value, int) else _shorten(str(value), _MAX_FIELD_CHARS)
        for key, value in vars(exc).items()
        if not key.startswith("_")
    }
    return Outcome(path, status, type(exc).__name__, _shorten(str(exc), _MAX_MESSAGE_CHARS), fields, size=size)


def _shorten(text: str, limit: int) -> str:
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text)} characters)"


def _looks_binary(path: str) -> bool:
    """NUL bytes and no UTF-16/32 signature: an image, an archive, a binary plist."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(_BINARY_PROBE)
    except OSError:
        return False
    wide = head.startswith((b"\xff\xfe", b"\xfe\xff", b"\x00\x00\xfe\xff", b"<\x00", b"\x00<"))
    return b"\x00" in head and not wide


# Control characters and bidirectional overrides in a hostile file name or message must not
# reach a terminal as such: they are shown escaped.
_UNPRINTABLE: Final = {
    code: f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"
    for code in (*range(0x20), *range(0x7F, 0xA0), 0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A))
}


def _text(text: str) -> str:
    # File names that are not valid UTF-8 arrive with surrogate escapes: show their bytes.
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _printable(text: str) -> str:
    return _text(text).translate(_UNPRINTABLE)


# ---- choosing the files


class _Globs:
    """Globs matched, case-insensitively, against a name, or against a path with ``/`` as
    separator (``sub/*.xml`` matches at any depth). All compiled into two expressions: a
    walk tests every name it meets."""

    def __init__(self, globs: Sequence[str]) -> None:
        self.any = bool(globs)
        names = [fnmatch.translate(glob) for glob in globs]
        paths = names + [fnmatch.translate("*/" + glob) for glob in globs]
        self.name = re.compile("|".join(names) or "(?!)", re.IGNORECASE)
        self.path = re.compile("|".join(paths) or "(?!)", re.IGNORECASE)

    def match(self, path: str, name: str | None = None) -> bool:
        if not self.any:
            return False
        name = os.path.basename(path) if name is None else name
        return bool(self.name.match(name) or self.path.match(path.replace(os.sep, "/")))


@dataclass(slots=True)
class _Selection:
    files: list[str] = field(default_factory=list)
    problems: list[Outcome] = field(default_factory=list)
    seen: set[str] = field(default_factory=set)

    def add(self, path: str) -> None:
        key = os.path.normpath(path)
        if key not in self.seen:
            self.seen.add(key)
            self.files.append(path)

    def problem(self, path: str, message: str) -> None:
        self.problems.append(Outcome(path, "error", message=message))


def _select(paths: Sequence[str], include: Sequence[str], exclude: Sequence[str]) -> _Selection:
    """Files named on the command line are checked whatever their name unless excluded;
    directories are walked for the included names, skipping hidden and excluded entries."""
    selection = _Selection()
    included, excluded = _Globs(include), _Globs(exclude)
    for path in paths:
        if excluded.match(path):
            continue
        try:
            info = os.stat(path)
        except OSError as exc:
            selection.problem(path, f"cannot read: {exc.strerror or exc}")
            continue
        if stat.S_ISDIR(info.st_mode):
            before = len(selection.files)
            _walk(path, included, excluded, selection)
            if len(selection.files) == before:
                selection.problem(path, f"no file here matches {' '.join(include)}")
        elif stat.S_ISREG(info.st_mode):
            selection.add(path)
        else:
            selection.problem(path, "cannot read: not a regular file")
    return selection


def _walk(top: str, included: _Globs, excluded: _Globs, selection: _Selection) -> None:
    """Depth first in name order. The directory entries' types come with the listing, so
    only symbolic links cost a stat."""
    pending = [top]
    while pending:
        directory = pending.pop()
        try:
            with os.scandir(directory) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as exc:
            selection.problem(directory, f"cannot read directory: {exc.strerror or exc}")
            continue
        subdirectories = []
        for entry in entries:
            if entry.name.startswith(".") or excluded.match(entry.path, entry.name):
                continue
            try:
                if entry.is_dir(follow_symlinks=False):
                    subdirectories.append(entry.path)
                elif included.match(entry.path, entry.name):
                    if entry.is_file():
                        selection.add(entry.path)
                    elif entry.is_symlink():
                        entry.stat()  # a link to nowhere is an unreadable file
            except OSError as exc:
                selection.problem(entry.path, f"cannot read: {exc.strerror or exc}")
        pending.extend(reversed(subdirectories))


# ---- checking them


def _usable_cores() -> int:
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the parent alone handles it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _executor(kind: str, workers: int) -> Executor:
    # Imported here: a check of a few files (a commit's) never starts a pool.
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

    if kind == "threads":
        return ThreadPoolExecutor(workers)
    # fork starts a worker in milliseconds; it is safe only while the parent has no other
    # thread (the command line has none; a program calling check_files may).
    fork = sys.platform == "linux" and threading.active_count() == 1
    context = multiprocessing.get_context("fork" if fork else None)
    return ProcessPoolExecutor(workers, mp_context=context, initializer=_ignore_interrupts)


def check_files(paths: Sequence[str], options: ParseOptions, jobs: int,
                pool: Literal["processes", "threads"] = "processes") -> Iterator[Outcome]:
    """Outcomes in the order of ``paths``. The tree is built under the interpreter lock and
    that is most of a parse, so threads barely scale and processes are the default; ``pool``
    is there to measure the difference.

    >>> import pathlib, tempfile
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "a.xml").write_text("<a/>"), (folder / "b.xml").write_text("<b>")
    >>> [o.status for o in check_files([str(folder / "a.xml"), str(folder / "b.xml")], {}, jobs=2)]
    ['ok', 'malformed']
    """
    workers = min(jobs, len(paths))
    check = functools.partial(check_file, options=options)
    if workers <= 1 or not _worth_a_pool(paths):
        yield from map(check, paths)
        return
    # Each result is sent back and handled by this process, which shares the cores with the
    # workers: chunks of up to 256 files keep that cost small (1.37x to 1.65x on two cores for
    # 21,739 small files) while every worker still gets about eight of them.
    chunk = max(1, min(256, len(paths) // (workers * 8)))
    with _executor(pool, workers) as executor:
        yield from executor.map(check, paths, chunksize=chunk)


def _worth_a_pool(paths: Sequence[str]) -> bool:
    if len(paths) >= _POOL_MIN_FILES:
        return True
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:
            continue  # reported when the file is checked
        if total >= _POOL_MIN_BYTES:
            return True
    return False


# ---- reporting


class _Progress:
    """``checked N/M files`` on standard error, only on a terminal and only once a run has
    taken long enough to need it; redrawn at most ten times a second."""

    def __init__(self, stream: IO[str], total: int, clock: Callable[[], float] = time.monotonic,
                 delay: float = 1.0) -> None:
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
class _Tally:
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(("ok", "refused", "malformed", "error"), 0))

    def add(self, outcome: Outcome) -> None:
        self.counts[outcome.status] += 1

    def exit_status(self) -> int:
        if self.counts["error"]:
            return 2
        return 1 if self.counts["refused"] or self.counts["malformed"] else 0

    def summary(self, files: int, size: int, seconds: float) -> str:
        c = self.counts
        rate = f", {files / seconds:.0f} files/s" if seconds >= 0.05 else ""
        return (f"{_plural(files, 'file')} ({_megabytes(size)}) in {seconds:.2f} s{rate}: {c['ok']} ok, "
                f"{c['refused']} refused, {c['malformed']} malformed, {_plural(c['error'], 'error')}")


def _megabytes(size: int) -> str:
    return f"{size / 1e6:.1f} MB" if size >= 100_000 else f"{size / 1e3:.1f} kB"


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


_RULES: Final = (
    (DTDForbidden, "DOCTYPE declaration while DOCTYPEs are forbidden",
     ["security", "external/cwe/cwe-827"], "4.0"),
    (EntitiesForbidden, "Entity declaration or reference to an entity that is not predefined (entity expansion)",
     ["security", "external/cwe/cwe-776"], "7.5"),
    (ExternalReferenceForbidden, "External identifier in a DOCTYPE or an entity declaration (XXE)",
     ["security", "external/cwe/cwe-611"], "8.2"),
    (DefusedXmlException, "A limit on the size or shape of the document was exceeded",
     ["security", "external/cwe/cwe-400"], "5.3"),
    (ParseError, "Not a well-formed XML document", ["correctness"], None),
)


def _uri(path: str) -> str:
    import urllib.parse

    return urllib.parse.quote(os.fsencode(path.replace(os.sep, "/")))


def _artifact(path: str, base: str) -> dict[str, str]:
    """Paths under the working directory stay relative to it (what code scanning wants);
    others become absolute file URIs."""
    absolute = os.path.abspath(path)
    relative = os.path.relpath(absolute, base)
    if relative != os.pardir and not relative.startswith(os.pardir + os.sep):
        return {"uri": _uri(relative), "uriBaseId": "%SRCROOT%"}
    return {"uri": "file://" + _uri(absolute)}


def _location(path: str, base: str) -> dict[str, Any]:
    # Messages carry no position; the file's first line stands for the whole file.
    return {"physicalLocation": {"artifactLocation": _artifact(path, base), "region": {"startLine": 1}}}


def sarif_log(outcomes: Sequence[Outcome], base: str | None = None) -> dict[str, Any]:
    """A SARIF 2.1.0 log: one result per refused or malformed file, with the exception class
    as the rule; unreadable paths are tool notifications.

    >>> log = sarif_log([Outcome("feeds/news 1.rss", "malformed", "ParseError", "No XML root element found")],
    ...                 base=".")
    >>> result = log["runs"][0]["results"][0]
    >>> result["ruleId"], result["locations"][0]["physicalLocation"]["artifactLocation"]["uri"]
    ('ParseError', 'feeds/news%201.rss')
    """
    base = base or os.getcwd()
    rules, index = [], {}
    for position, (cls, text, tags, severity) in enumerate(_RULES):
        properties: dict[str, Any] = {"tags": tags}
        if severity is not None:
            properties["security-severity"] = severity
        rules.append({
            "id": cls.__name__,
            "name": cls.__name__,
            "shortDescription": {"text": text},
            "fullDescription": {"text": (cls.__doc__ or text).strip()},
            "defaultConfiguration": {"level": "error"},
            "properties": properties,
        })
        index[cls.__name__] = position
    results, notifications = [], []
    for outcome in outcomes:
        if outcome.status in ("refused", "malformed"):
            rule = outcome.exception if outcome.exception in index else (
                "ParseError" if outcome.status == "malformed" else "DefusedXmlException")
            results.append({
                "ruleId": rule,
                "ruleIndex": index[rule],
                "level": "error",
                "message": {"text": f"{outcome.status}: {outcome.exception}: {outcome.message}"},
                "locations": [_location(outcome.path, base)],
            })
        elif outcome.status == "error":
            notifications.append({
                "level": "error",
                "message": {"text": f"{_text(outcome.path)}: {outcome.message}"},
                "locations": [_location(outcome.path, base)],
            })
    return {
        "$schema": "https://json.schemastore.org/sarif-2.1.0.json",
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {
                "name": "vorlane",
                "version": __version__,
                "semanticVersion": __version__,
                "rules": rules,
            }},
            "originalUriBaseIds": {"%SRCROOT%": {"uri": "file://" + _uri(base).rstrip("/") + "/"}},
            "invocations": [{"executionSuccessful": not notifications,
                             "toolExecutionNotifications": notifications}],
            "results": results,
        }],
    }


# ---- the command line


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


def _build_parser() -> argparse.ArgumentParser:
    import inspect

    defaults = {name: p.default for name, p in inspect.signature(parse_xml).parameters.items()}
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
    check.add_argument("paths", nargs="*", metavar="PATH",
                       help="file (checked whatever its name) or directory (walked for --include names, "
                            "skipping hidden entries); every argument after \"--\" is a path")
    check.add_argument("--include", action="append", metavar="GLOB",
                       help=f"file names to check in directories (repeatable; default: {' '.join(DEFAULT_INCLUDE)})")
    check.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                       help="skip files and directories whose name or path matches (repeatable)")
    check.add_argument("-j", "--jobs", type=_jobs, default=_usable_cores(), metavar="N",
                       help="parse N files at once in worker processes (default: the usable cores, "
                            f"{_usable_cores()} here)")
    check.add_argument("--json", action="store_true", help="one JSON object per file on standard output")
    check.add_argument("-q", "--quiet", action="store_true", help="report problems only, without summary")
    check.add_argument("--sarif", metavar="FILE", help="also write a SARIF 2.1.0 report to FILE for code scanning")
    check.add_argument("--pre-commit", action="store_true",
                       help="the file names follow a \"--\", which must be there: pre-commit appends staged "
                            "names after the hook's args, and a name such as --sarif=pom.xml must never be "
                            "read as an option")
    check.add_argument("--no-progress", dest="progress", action="store_false",
                       help="no progress display (shown on a terminal when a run is long)")
    group = check.add_argument_group("parser options (the defaults are vorlane's)")
    for flag, name, text in _SWITCHES:
        action = "store_false" if defaults[name] else "store_true"
        group.add_argument(flag, dest=name, action=action, default=argparse.SUPPRESS, help=text)
    for flag, name, text in _LIMITS:
        group.add_argument(flag, dest=name, type=_count, default=argparse.SUPPRESS, metavar="N",
                           help=f"most {text} (default {defaults[name]})")
    return parser


def _normalise(argv: list[str]) -> list[str]:
    # ``vorlane FILE...``, the form before subcommands, still means ``vorlane check FILE...``.
    if argv and argv[0] not in ("check", "-h", "--help", "--version"):
        return ["check", *argv]
    return argv


def _parse_args(argv: list[str]) -> argparse.Namespace:
    # Everything after the first "--" is a path, taken as it is: argparse is never shown those
    # arguments, so no file name can turn into an option (or vanish, as a second "--" would).
    argv = _normalise(argv)
    after: list[str] | None = None
    if "--" in argv:
        split = argv.index("--")
        argv, after = argv[:split], argv[split + 1:]
    parser = _build_parser()
    if "--pre-commit" in argv and after is None:
        # Refused before anything is parsed: the staged names would be read as options.
        parser.error('--pre-commit: end the hook\'s args with "--"; pre-commit appends the file names '
                     "after them, and without it a file name could be read as an option")
    if "--pre-commit" in argv:
        # A staged file named "--" would end the options early; what it left before it would
        # then name existing files. Fail closed rather than guess.
        for arg in argv[1:]:
            if os.path.lexists(arg):
                parser.error(f'--pre-commit: {_printable(arg)!r} before "--" is also the name of a file')
    args = parser.parse_args(argv)
    if args.pre_commit and args.paths:
        parser.error('--pre-commit: every path comes after "--"')
    args.paths = [*args.paths, *(after or [])]
    if not args.paths:
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
    args = _parse_args(list(sys.argv[1:] if argv is None else argv))
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    options = cast(ParseOptions, {name: getattr(args, name) for _, name, _ in (*_SWITCHES, *_LIMITS) if hasattr(args, name)})
    sarif: IO[str] | None = None
    if args.sarif is not None:
        try:
            sarif = open(args.sarif, "w", encoding="utf-8")
        except OSError as exc:
            print(f"vorlane: cannot write {_printable(args.sarif)}: {exc.strerror or exc}", file=sys.stderr)
            return 2
    try:
        return _run(args, options, sarif)
    except KeyboardInterrupt:
        print("vorlane: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        if sarif is not None:
            sarif.close()


def _run(args: argparse.Namespace, options: ParseOptions, sarif: IO[str] | None) -> int:
    started = time.perf_counter()
    selection = _select(args.paths, args.include or DEFAULT_INCLUDE, args.exclude)
    tally = _Tally()
    reported: list[Outcome] = []
    progress = _Progress(sys.stderr, len(selection.files)) if args.progress else None

    def report(outcome: Outcome) -> None:
        tally.add(outcome)
        if outcome.status != "ok":
            reported.append(outcome)
        elif args.quiet:
            return
        if progress is not None:
            progress.clear()
        print(json.dumps(outcome.as_json(), ensure_ascii=False) if args.json else outcome.as_line(), flush=True)

    if not selection.files and not selection.problems:
        print("vorlane: nothing to check: every path given is excluded", file=sys.stderr)
        return 2
    for outcome in selection.problems:
        report(outcome)
    paths = selection.files
    size = 0
    for done, outcome in enumerate(check_files(paths, options, args.jobs), 1):
        size += outcome.size
        report(outcome)
        if progress is not None:
            progress.update(done)
    if progress is not None:
        progress.clear()

    if sarif is not None:
        json.dump(sarif_log(reported), sarif, indent=2, ensure_ascii=False)
        sarif.write("\n")
    if not args.quiet:
        summary = tally.summary(len(paths), size, time.perf_counter() - started)
        print(summary, file=sys.stderr if args.json else sys.stdout)
    return tally.exit_status()
