"""Reports of a run: one writer interface, a writer per format.

A run hands each writer every outcome as it comes, then the summary line. The text, JSON
and GitHub writers print as they go; the SARIF writer keeps the problems and writes its
file at the end, so an interrupted run leaves an older report as it was. An outcome's
position (line, column) is written where the format has a place for it, and left out when
it is not known.
"""

from __future__ import annotations

import json
import os
import stat
import sys
from collections.abc import Sequence
from typing import IO, Any, Final, Protocol

from vorlane import __version__
from vorlane.cli.outcome import Outcome, displayed, json_safe, printable
from vorlane.common import (
    DefusedXmlException,
    DTDForbidden,
    EntitiesForbidden,
    ExternalReferenceForbidden,
    ParseError,
)

__all__ = ["FORMATS", "OutputError", "Writer", "make_writer", "sarif_log"]


class OutputError(Exception):
    """A report could not be written; the message says which and why."""


class Writer(Protocol):
    """Where the outcomes of a run go."""

    def outcome(self, outcome: Outcome) -> None:
        """Report one checked path."""

    def finish(self, summary: str) -> None:
        """Report the end of the run: *summary* is its one-line tally."""


def _emit(stream: IO[str], text: str) -> None:
    """One line to *stream*, flushed so a reader sees it now; a failure is an OutputError
    (a reader that went away stays a BrokenPipeError, which ends a run quietly)."""
    try:
        stream.write(text + "\n")
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        name = {sys.stdout: "standard output", sys.stderr: "standard error"}.get(stream, "the report")
        raise OutputError(f"cannot write {name}: {exc.strerror or exc}") from None


class TextWriter:
    """``status  path  detail``, one line per file, and the summary; a problem whose
    position is known is ``path:line:column: status: detail``, the form editors jump to."""

    def __init__(self, stream: IO[str], quiet: bool) -> None:
        self.stream, self.quiet = stream, quiet

    def outcome(self, outcome: Outcome) -> None:
        if outcome.status != "ok" or not self.quiet:
            if outcome.line is not None:
                line = f"{outcome.where()}: {outcome.status}: {outcome.detail()}"
            else:
                line = f"{outcome.status}  {outcome.path}  {outcome.detail()}"
            _emit(self.stream, printable(line))

    def finish(self, summary: str) -> None:
        if not self.quiet:
            _emit(self.stream, summary)


class JsonWriter:
    """One JSON object per file on *stream*; the summary on *log*."""

    def __init__(self, stream: IO[str], log: IO[str], quiet: bool) -> None:
        self.stream, self.log, self.quiet = stream, log, quiet

    def outcome(self, outcome: Outcome) -> None:
        if outcome.status != "ok" or not self.quiet:
            _emit(self.stream, json_safe(json.dumps(outcome.as_json(), ensure_ascii=False)))

    def finish(self, summary: str) -> None:
        if not self.quiet:
            _emit(self.log, summary)


def _github_escape(text: str, property_value: bool) -> str:
    # The escaping of the workflow command syntax; a property value also escapes : and ,.
    text = printable(text).replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    return text.replace(":", "%3A").replace(",", "%2C") if property_value else text


class GithubWriter:
    """GitHub workflow commands: ``::error file=...,line=...,col=...,title=...::message`` for
    each problem, which the workflow shows as an annotation on the file; lines for the
    files that are ok, and the summary, as plain text."""

    def __init__(self, stream: IO[str], quiet: bool) -> None:
        self.text = TextWriter(stream, quiet)
        self.stream = stream

    def outcome(self, outcome: Outcome) -> None:
        if outcome.status == "ok":
            self.text.outcome(outcome)
            return
        properties = {"file": outcome.path, "line": outcome.line, "col": outcome.column}
        properties["title"] = f"vorlane: {outcome.status}" + (f" ({outcome.exception})" if outcome.exception else "")
        rendered = ",".join(
            f"{key}={_github_escape(str(value), True)}" for key, value in properties.items() if value is not None
        )
        message = outcome.message if outcome.exception is None else f"{outcome.exception}: {outcome.message}"
        _emit(self.stream, f"::error {rendered}::{_github_escape(str(message), False)}")

    def finish(self, summary: str) -> None:
        self.text.finish(summary)


class SarifWriter:
    """A SARIF 2.1.0 log written to *path* at the end of the run.

    The file is opened (created if need be) when the writer is made, so an unwritable path
    fails before any work, but emptied only when the log is written.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.problems: list[Outcome] = []
        try:
            self.fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o666)
        except OSError as exc:
            raise OutputError(f"cannot write {printable(path)}: {exc.strerror or exc}") from None

    def outcome(self, outcome: Outcome) -> None:
        if outcome.status != "ok":
            self.problems.append(outcome)

    def finish(self, summary: str) -> None:
        text = json_safe(json.dumps(sarif_log(self.problems), indent=2, ensure_ascii=False)) + "\n"
        try:
            if stat.S_ISREG(os.fstat(self.fd).st_mode):
                os.ftruncate(self.fd, 0)
            with os.fdopen(self.fd, "w", encoding="utf-8", closefd=False) as handle:
                handle.write(text)
        except OSError as exc:
            raise OutputError(f"cannot write {printable(self.path)}: {exc.strerror or exc}") from None

    def close(self) -> None:
        """Release the file; what it held stays unless :meth:`finish` wrote the log."""
        os.close(self.fd)


class Writers:
    """Several writers as one: the report on standard output and, say, a SARIF file."""

    def __init__(self, writers: Sequence[Writer]) -> None:
        self.writers = writers

    def outcome(self, outcome: Outcome) -> None:
        for writer in self.writers:
            writer.outcome(outcome)

    def finish(self, summary: str) -> None:
        for writer in self.writers:
            writer.finish(summary)


FORMATS: Final = ("text", "json", "github")


def make_writer(format: str, quiet: bool, stdout: IO[str], stderr: IO[str]) -> Writer:
    """The writer of the report on *stdout* in one of :data:`FORMATS`.

    >>> import io
    >>> out = io.StringIO()
    >>> writer = make_writer("github", False, out, out)
    >>> writer.outcome(Outcome("a,b.xml", "malformed", "ParseError", "no root element", line=2))
    >>> out.getvalue()
    '::error file=a%2Cb.xml,line=2,title=vorlane%3A malformed (ParseError)::ParseError: no root element\\n'
    """
    if format == "json":
        return JsonWriter(stdout, stderr, quiet)
    if format == "github":
        return GithubWriter(stdout, quiet)
    return TextWriter(stdout, quiet)


_RULES: Final = (
    (DTDForbidden, "DOCTYPE declaration while DOCTYPEs are forbidden", ["security", "external/cwe/cwe-827"], "4.0"),
    (
        EntitiesForbidden,
        "Entity declaration or reference to an entity that is not predefined (entity expansion)",
        ["security", "external/cwe/cwe-776"],
        "7.5",
    ),
    (
        ExternalReferenceForbidden,
        "External identifier in a DOCTYPE or an entity declaration (XXE)",
        ["security", "external/cwe/cwe-611"],
        "8.2",
    ),
    (
        DefusedXmlException,
        "A limit on the size or shape of the document was exceeded",
        ["security", "external/cwe/cwe-400"],
        "5.3",
    ),
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


def _location(outcome: Outcome, base: str) -> dict[str, Any]:
    # Code scanning wants a region: without a known position, the first line stands for the file.
    region: dict[str, int] = {"startLine": outcome.line or 1}
    if outcome.line is not None and outcome.column is not None:
        region["startColumn"] = outcome.column
    return {"physicalLocation": {"artifactLocation": _artifact(outcome.path, base), "region": region}}


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
        rules.append(
            {
                "id": cls.__name__,
                "name": cls.__name__,
                "shortDescription": {"text": text},
                "fullDescription": {"text": (cls.__doc__ or text).strip()},
                "defaultConfiguration": {"level": "error"},
                "properties": properties,
            }
        )
        index[cls.__name__] = position
    results, notifications = [], []
    for outcome in outcomes:
        if outcome.status in ("refused", "malformed"):
            fallback = "ParseError" if outcome.status == "malformed" else "DefusedXmlException"
            rule = outcome.exception if outcome.exception in index else fallback
            results.append(
                {
                    "ruleId": rule,
                    "ruleIndex": index[rule],
                    "level": "error",
                    "message": {"text": f"{outcome.status}: {outcome.exception}: {outcome.message}"},
                    "locations": [_location(outcome, base)],
                }
            )
        elif outcome.status == "error":
            notifications.append(
                {
                    "level": "error",
                    "message": {"text": f"{displayed(outcome.path)}: {outcome.message}"},
                    "locations": [_location(outcome, base)],
                }
            )
    return {
        "$schema": "https://json.schemastore.org/sarif-2.1.0.json",
        "version": "2.1.0",
        "runs": [
            {
                "tool": {
                    "driver": {
                        "name": "vorlane",
                        "version": __version__,
                        "semanticVersion": __version__,
                        "rules": rules,
                    }
                },
                "originalUriBaseIds": {"%SRCROOT%": {"uri": "file://" + _uri(base).rstrip("/") + "/"}},
                "invocations": [
                    {"executionSuccessful": not notifications, "toolExecutionNotifications": notifications}
                ],
                "results": results,
            }
        ],
    }
