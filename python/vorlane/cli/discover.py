"""Which files a run checks: named files, directories walked for the included names."""

from __future__ import annotations

import fnmatch
import os
import re
import stat
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Final

from vorlane.cli.outcome import Outcome

__all__ = ["DEFAULT_INCLUDE", "STDIN", "Globs", "Selection", "select"]

DEFAULT_INCLUDE: Final = (
    "*.xml",
    "*.svg",
    "*.xsd",
    "*.xsl",
    "*.xslt",
    "*.rss",
    "*.atom",
    "*.plist",
    "*.xhtml",
    "*.gpx",
    "*.kml",
)

#: How a run names standard input (given as ``-`` before any ``--``).
STDIN: Final = "<stdin>"


class Globs:
    """Globs matched, case-insensitively, against a name, or against a path with ``/`` as
    separator (``sub/*.xml`` matches at any depth). All compiled into two expressions: a
    walk tests every name it meets.

    >>> Globs(["vendor", "tests/*.xml"]).match("src/tests/a.XML")
    True
    """

    def __init__(self, globs: Sequence[str]) -> None:
        self.any = bool(globs)
        names = [fnmatch.translate(glob) for glob in globs]
        paths = names + [fnmatch.translate("*/" + glob) for glob in globs]
        self.name = re.compile("|".join(names) or "(?!)", re.IGNORECASE)
        self.path = re.compile("|".join(paths) or "(?!)", re.IGNORECASE)

    def match(self, path: str, name: str | None = None) -> bool:
        """Whether *path* (whose last part is *name*) matches one of the globs."""
        if not self.any:
            return False
        name = os.path.basename(path) if name is None else name
        return bool(self.name.match(name) or self.path.match(path.replace(os.sep, "/")))


@dataclass(slots=True)
class Selection:
    """The files to check, in order, and the paths that are reported without a check."""

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


def select(paths: Sequence[str], include: Sequence[str], exclude: Sequence[str]) -> Selection:
    """Files named are checked whatever their name unless excluded; directories are walked
    for the included names, skipping hidden and excluded entries.

    >>> import pathlib, tempfile
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "a.xml").write_text("<a/>"), (folder / "b.txt").write_text("")
    >>> [pathlib.Path(p).name for p in select([str(folder)], DEFAULT_INCLUDE, []).files]
    ['a.xml']
    """
    selection = Selection()
    included, excluded = Globs(include), Globs(exclude)
    for path in paths:
        if excluded.match(path):
            continue
        try:
            info = os.stat(path)
        except OSError as exc:
            selection.problem(path, f"cannot read: {exc.strerror or exc}")
            continue
        if stat.S_ISDIR(info.st_mode):
            before = len(selection.files), len(selection.problems)
            _walk(path, included, excluded, selection)
            if (len(selection.files), len(selection.problems)) == before:
                selection.problem(path, f"no file here matches {' '.join(include)}")
        elif stat.S_ISREG(info.st_mode):
            selection.add(path)
        else:
            selection.problem(path, "cannot read: not a regular file")
    return selection


def _walk(top: str, included: Globs, excluded: Globs, selection: Selection) -> None:
    """Depth first in name order. The directory entries' types come with the listing, so
    only entries that are not plain files or directories cost a stat. Links to directories
    are not followed; any other entry with an included name that is not a regular file (a
    FIFO, a device, a link to one, a link to nowhere) is reported."""
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
                    elif not stat.S_ISDIR(entry.stat().st_mode):
                        selection.problem(entry.path, "cannot read: not a regular file")
            except OSError as exc:
                selection.problem(entry.path, f"cannot read: {exc.strerror or exc}")
        pending.extend(reversed(subdirectories))
