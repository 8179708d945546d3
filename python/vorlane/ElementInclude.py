"""XInclude processing of :mod:`xml.etree.ElementInclude`, opening only what it is allowed to.

:func:`include` expands ``xi:include`` elements as the standard function does, but its
default loader opens nothing unless given ``base_folder``; then only files inside that
folder, never a URL, parsed by vorlane with the caller's options. Depth (``max_depth``),
the number of inclusions (``max_includes``) and the bytes read in all (``max_size``) are
bounded; going past a bound raises :class:`vorlane.common.DefusedXmlException`, a refused
name :class:`vorlane.common.ExternalReferenceForbidden`.
"""

from __future__ import annotations

import os
import pathlib
import re
from collections.abc import Callable
from typing import Any, Unpack, cast
from xml.etree import ElementInclude as _standard
from xml.etree.ElementInclude import (
    XINCLUDE,
    XINCLUDE_FALLBACK,
    XINCLUDE_INCLUDE,
    FatalIncludeError,
    LimitedRecursiveIncludeError,
)
from xml.etree.ElementTree import Element, ElementTree

from vorlane.api import ParseOptions, _checked_options, fromstring
from vorlane.common import DefusedXmlException, ExternalReferenceForbidden

__all__ = [
    "DEFAULT_MAX_INCLUSION_DEPTH",
    "XINCLUDE",
    "XINCLUDE_FALLBACK",
    "XINCLUDE_INCLUDE",
    "FatalIncludeError",
    "FolderLoader",
    "LimitedRecursiveIncludeError",
    "include",
]

DEFAULT_MAX_INCLUSION_DEPTH = _standard.DEFAULT_MAX_INCLUSION_DEPTH
# A scheme ("http:", "file:") before any slash: a URL, never opened. One letter is a
# Windows drive, which the folder check judges.
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]+:")


class FolderLoader:
    """Loads ``href``s naming files inside *base_folder*, within a total byte budget.

    >>> loader = FolderLoader(None)
    >>> loader("a.xml", "xml")
    Traceback (most recent call last):
    ...
    vorlane.common.ExternalReferenceForbidden: external reference is forbidden (system_id='a.xml')
    """

    def __init__(
        self,
        base_folder: str | os.PathLike[str] | None,
        max_size: int = 16 * 2**20,
        max_includes: int = 1000,
        **options: Unpack[ParseOptions],
    ) -> None:
        self._folder = None if base_folder is None else pathlib.Path(base_folder).resolve()
        self._left = max_size
        self._max_size = max_size
        self._includes_left = max_includes
        self._options = _checked_options(options, "FolderLoader")

    def _path(self, href: str) -> pathlib.Path:
        if self._folder is None or _URL.match(href):
            raise ExternalReferenceForbidden("xi:include", None, href, None)
        path = (self._folder / href).resolve()
        if not path.is_relative_to(self._folder):
            raise ExternalReferenceForbidden("xi:include", str(self._folder), href, None)
        return path

    def __call__(self, href: str, parse: str, encoding: str | None = None) -> Element | str:
        """The root of the document (``parse="xml"``) or the text (``parse="text"``) at *href*."""
        path = self._path(href)
        self._includes_left -= 1
        if self._includes_left < 0:
            raise DefusedXmlException("too many inclusions")
        with open(path, "rb") as file:
            data = file.read(self._left + 1)
        self._left -= len(data)
        if self._left < 0:
            raise DefusedXmlException(f"included files exceed {self._max_size} bytes in all")
        if parse == "xml":
            return fromstring(data, **self._options)
        return data.decode(encoding or "utf-8")


def include(
    elem: Element | ElementTree,
    loader: Callable[..., Any] | None = None,
    base_url: str | None = None,
    max_depth: int | None = DEFAULT_MAX_INCLUSION_DEPTH,
    *,
    base_folder: str | os.PathLike[str] | None = None,
    max_size: int = 16 * 2**20,
    max_includes: int = 1000,
    parse_options: ParseOptions | None = None,
) -> None:
    """Expand the ``xi:include`` elements of *elem* in place.

    Without a *loader*, files are read from *base_folder* only (none when it is None);
    *max_depth* bounds nested inclusions (None means the standard default, never
    unbounded); *parse_options*, vorlane's options for the included documents, are a dict
    here since ``max_depth`` already has the standard meaning.

    >>> import tempfile, pathlib
    >>> folder = tempfile.mkdtemp()
    >>> _ = (pathlib.Path(folder) / "b.xml").write_text("<b/>")
    >>> root = fromstring('<a xmlns:xi="http://www.w3.org/2001/XInclude"><xi:include href="b.xml"/></a>')
    >>> include(root, base_folder=folder)
    >>> [child.tag for child in root]
    ['b']
    """
    if loader is None:
        loader = FolderLoader(base_folder, max_size, max_includes, **(parse_options or {}))
    depth = DEFAULT_MAX_INCLUSION_DEPTH if max_depth is None else max_depth
    _standard.include(elem, cast(Any, loader), base_url, depth)  # type: ignore[arg-type]
