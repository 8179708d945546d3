"""Checking files: one in this process, many in worker processes."""

from __future__ import annotations

import io
import os
import signal
import sys
import threading
from collections.abc import Iterator, Sequence
from dataclasses import replace
from typing import TYPE_CHECKING, BinaryIO, Final, Literal

from vorlane._incremental import CHUNK, Feeder
from vorlane.api import ParseOptions
from vorlane.cli.outcome import MAX_FIELD_CHARS, MAX_MESSAGE_CHARS, Outcome, Status, shorten
from vorlane.common import DefusedXmlException, ParseError
from vorlane.decode import sniff_encoding

if TYPE_CHECKING:
    from concurrent.futures import Executor, Future

__all__ = ["check_document", "check_file", "check_files", "check_stream", "looks_binary", "usable_cores"]

# A pool pays off from about this much work: starting one costs what parsing a few hundred
# kilobytes does, or opening and reading a few hundred small files.
POOL_MIN_FILES: Final = 256
POOL_MIN_BYTES: Final = 1 << 20
_BINARY_PROBE: Final = 8192
UNFINISHED: Final = "not checked: a worker process ended abruptly (killed, out of memory?)"


def check_file(path: str, options: ParseOptions) -> Outcome:
    """Parses one file with the given options and says how it went.

    >>> import pathlib, tempfile
    >>> path = pathlib.Path(tempfile.mkdtemp(), "upload.svg")
    >>> _ = path.write_text("<!DOCTYPE svg [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><svg>&e;</svg>")
    >>> check_file(str(path), {}).exception
    'ExternalReferenceForbidden'
    >>> check_file(str(path), {"forbid_external": False}).fields["system_id"]
    'file:///etc/passwd'
    """
    try:
        handle = open(path, "rb")  # noqa: SIM115 - closed below, after the stream is checked
    except OSError as exc:
        return Outcome(path, "error", message=f"cannot read: {exc.strerror or exc}")
    with handle:
        return check_stream(path, handle, options)


def check_document(name: str, data: bytes, options: ParseOptions) -> Outcome:
    """Parses *data*, the content of the file *name*, and says how it went.

    >>> check_document("-", b"<a><b/></a>", {}).elements
    2
    >>> check_document("-", b"\\x89PNG\\r\\n\\x1a\\n\\0\\0", {}).message
    'binary file, not XML text (...)'
    """
    return check_stream(name, io.BytesIO(data), options)


class _Count:
    """The engine's target when checking: only end tags are listed, as themselves."""

    end = str  # called with the tag, returns it: the last one listed is the root's


def check_stream(name: str, stream: BinaryIO, options: ParseOptions) -> Outcome:
    """Parses what *stream* holds, read in pieces and never held whole, and says how it went.

    The first bytes are kept to tell a binary file from malformed text; the elements are
    counted from their end events, without building them.

    >>> import io
    >>> outcome = check_stream("-", io.BytesIO(b"<a>\\n<b></c></a>"), {})
    >>> outcome.status, outcome.line, outcome.column
    ('malformed', 2, 4)
    """
    feeder = Feeder(_Count(), None, options)
    feeder.report(["end"])
    events = feeder.events
    head, size, elements, root = b"", 0, 0, None
    try:
        while True:
            try:
                piece = stream.read(CHUNK)
            except OSError as exc:
                return Outcome(name, "error", message=f"cannot read: {exc.strerror or exc}", size=size)
            if not piece:
                feeder.close()
                break
            if len(head) < _BINARY_PROBE:
                head += piece[: _BINARY_PROBE - len(head)]
            size += len(piece)
            feeder.feed(piece)
            if events:
                elements += len(events)
                root = events[-1][1]
                events.clear()
    except DefusedXmlException as exc:
        return _failure(name, "refused", exc, size)
    except ParseError as exc:
        outcome = _failure(name, "malformed", exc, size)
        if looks_binary(head):
            return replace(outcome, message=f"binary file, not XML text ({outcome.message})")
        return outcome
    except Exception as exc:  # noqa: BLE001 - a fault of ours: reported on its line rather than end the run
        message = f"internal error: {shorten(str(exc), MAX_MESSAGE_CHARS)}"
        return Outcome(name, "error", type(exc).__name__, message, size=size)
    elements += len(events)
    root = events[-1][1] if events else root
    return Outcome(name, "ok", root=root, elements=elements, size=size)


def looks_binary(head: bytes) -> bool:
    """NUL bytes where no UTF-16 or UTF-32 start explains them: an image, an archive, a
    binary plist.

    >>> looks_binary(b"\\0\\0\\0<\\0\\0\\0a"), looks_binary(b"\\x89PNG\\0")
    (False, True)
    """
    return b"\0" in head and sniff_encoding(head) in (None, "utf_8_sig")


def _failure(path: str, status: Status, exc: Exception, size: int) -> Outcome:
    fields = {
        key: value if value is None or isinstance(value, int) else shorten(str(value), MAX_FIELD_CHARS)
        for key, value in vars(exc).items()
        if not key.startswith("_") and key != "position"
    }
    position = getattr(exc, "position", None)
    line, column = (position[0], position[1] + 1) if position is not None else (None, None)
    message = shorten(str(exc), MAX_MESSAGE_CHARS)
    return Outcome(path, status, type(exc).__name__, message, fields, size=size, line=line, column=column)


def usable_cores() -> int:
    """The processors this process may run on.

    >>> usable_cores() >= 1
    True
    """
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def check_files(paths: Sequence[str], options: ParseOptions, jobs: int) -> Iterator[Outcome]:
    """Outcomes in the order of ``paths``, from up to ``jobs`` worker processes (never more
    than the usable processors or the files) when the work is worth a pool.

    A worker that dies (killed, out of memory) leaves its files and those still queued
    reported as errors. Closing the iterator early (an interrupt) cancels the queued work
    and ends the workers at once.

    >>> import pathlib, tempfile
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "a.xml").write_text("<a/>"), (folder / "b.xml").write_text("<b>")
    >>> [o.status for o in check_files([str(folder / "a.xml"), str(folder / "b.xml")], {}, jobs=2)]
    ['ok', 'malformed']
    """
    return _check_files(paths, options, jobs, "processes")


def _check_files(
    paths: Sequence[str], options: ParseOptions, jobs: int, pool: Literal["processes", "threads"]
) -> Iterator[Outcome]:
    """check_files with the kind of pool to use. The tree is built under the interpreter
    lock and that is most of a parse, so threads barely scale; bench/cli_scaling.py
    measures the difference."""
    workers = min(jobs, usable_cores(), len(paths))
    if workers <= 1 or not _worth_a_pool(paths):
        for path in paths:
            yield check_file(path, options)
        return
    # Each result is sent back and handled by this process, which shares the cores with the
    # workers: chunks of up to 256 files keep that cost small (1.37x to 1.65x on two cores for
    # 21,739 small files) while every worker still gets about eight of them.
    size = max(1, min(256, len(paths) // (workers * 8)))
    chunks = [paths[start : start + size] for start in range(0, len(paths), size)]
    executor = _executor(pool, workers)
    finished = False
    try:
        futures = [executor.submit(_check_chunk, chunk, options) for chunk in chunks]
        for chunk, future in zip(chunks, futures, strict=True):
            yield from _chunk_outcomes(chunk, future)
        finished = True
    finally:
        if finished:
            executor.shutdown()
        else:
            _stop(executor)


def _check_chunk(paths: Sequence[str], options: ParseOptions) -> list[Outcome]:
    return [check_file(path, options) for path in paths]


def _chunk_outcomes(chunk: Sequence[str], future: Future[list[Outcome]]) -> list[Outcome]:
    from concurrent.futures.process import BrokenProcessPool

    try:
        return future.result()
    except BrokenProcessPool:
        return [Outcome(path, "error", message=UNFINISHED) for path in chunk]


def _stop(executor: Executor) -> None:
    """Cancel the queued work and end the workers now, not after the chunks they hold."""
    # The executor has no public way to end its workers before Python 3.14; shutdown()
    # forgets them, so they are taken first.
    processes = list((getattr(executor, "_processes", None) or {}).values())
    executor.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(1)


def _worth_a_pool(paths: Sequence[str]) -> bool:
    if len(paths) >= POOL_MIN_FILES:
        return True
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:
            continue  # reported when the file is checked
        if total >= POOL_MIN_BYTES:
            return True
    return False


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
