"""What checking one file gave, and how its text is made safe to show."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Final, Literal

__all__ = ["STATUSES", "Outcome", "Status", "displayed", "json_safe", "plural", "printable", "shorten"]

Status = Literal["ok", "refused", "malformed", "error"]
STATUSES: Final[tuple[Status, ...]] = ("ok", "refused", "malformed", "error")

# Field values and messages can hold most of a hostile document (an entity value, say):
# reports keep the start of each.
MAX_FIELD_CHARS: Final = 200
MAX_MESSAGE_CHARS: Final = 1000


@dataclass(frozen=True, slots=True)
class Outcome:
    """What checking one path gave; crosses process boundaries, so plain data only.

    ``line`` and ``column`` (1-based) say where in the file the problem is, when that is
    known; every writer leaves them out otherwise.

    >>> Outcome("a.xml", "malformed", "ParseError", "unclosed", line=3).as_json()
    {'path': 'a.xml', 'status': 'malformed', 'exception': 'ParseError', 'message': 'unclosed', 'line': 3}
    """

    path: str
    status: Status
    exception: str | None = None
    message: str | None = None
    fields: dict[str, str | int | None] = field(default_factory=dict)
    root: str | None = None
    elements: int | None = None
    size: int = 0
    line: int | None = None
    column: int | None = None

    def as_json(self) -> dict[str, Any]:
        """The record of ``--json``: what a program reading the report needs."""
        record: dict[str, Any] = {"path": displayed(self.path), "status": self.status}
        if self.status == "ok":
            record.update(root=self.root, elements=self.elements)
        else:
            if self.exception is not None:
                record["exception"] = self.exception
            record["message"] = self.message
            if self.fields:
                record["fields"] = self.fields
        if self.line is not None:
            record["line"] = self.line
            if self.column is not None:
                record["column"] = self.column
        return record

    def detail(self) -> str:
        """What the report says about the file after its status and path."""
        if self.status == "ok":
            return f"{self.root}  {plural(self.elements or 0, 'element')}"
        if self.exception is not None:
            return f"{self.exception}: {self.message}"
        return str(self.message)

    def where(self) -> str:
        """``path``, or ``path:line`` and ``path:line:column`` when the position is known."""
        position = "" if self.line is None else f":{self.line}" + ("" if self.column is None else f":{self.column}")
        return self.path + position


def shorten(text: str, limit: int) -> str:
    """*text* cut to *limit* characters, saying how long it was.

    >>> shorten("abcdef", 3)
    'abc... (6 characters)'
    """
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text)} characters)"


def plural(count: int, noun: str) -> str:
    """``1 file``, ``2 files``.

    >>> plural(1, "file"), plural(2, "error")
    ('1 file', '2 errors')
    """
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


# Control characters and bidirectional overrides in a hostile file name or message must not
# reach a terminal or a log as such.
_UNPRINTABLE: Final = (
    *range(0x20),
    *range(0x7F, 0xA0),
    0x200E,
    0x200F,
    0x2028,
    0x2029,
    *range(0x202A, 0x202F),
    *range(0x2066, 0x206A),
)
_ESCAPED: Final = {code: f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" for code in _UNPRINTABLE}
# JSON escapes the C0 controls itself; the others become \u escapes, which read back as the
# same characters.
_JSON_ESCAPED: Final = {code: f"\\u{code:04x}" for code in _UNPRINTABLE if code >= 0x7F}


def displayed(text: str) -> str:
    """*text* with the bytes of a file name that is not UTF-8 (surrogate escapes) shown.

    >>> displayed(b"caf\\xe9.xml".decode("utf-8", "surrogateescape"))
    'caf\\\\xe9.xml'
    """
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def printable(text: str) -> str:
    """*text* for a terminal: controls and direction overrides escaped.

    >>> printable("evil\\x1b[2J\\u202e.xml")
    'evil\\\\x1b[2J\\\\u202e.xml'
    """
    return displayed(text).translate(_ESCAPED)


def json_safe(encoded: str) -> str:
    """A JSON text with the characters that C0 escaping leaves raw written as ``\\u`` escapes.

    >>> json_safe('{"path": "\\u202ecod.xml"}')
    '{"path": "\\\\u202ecod.xml"}'
    """
    return encoded.translate(_JSON_ESCAPED)
