"""One switch that makes the standard library's own XML entry points read through vorlane.

For code that cannot be changed (a dependency calling ``xml.etree.ElementTree.fromstring``
or ``xmlrpc.client``), :func:`enable` replaces, in their modules, every standard function
and class that reads a document with vorlane's counterpart, with vorlane's defaults;
:func:`disable` puts the standard ones back, and :func:`enabled` does both around a
``with`` block. It is process-wide and explicit: nothing happens on import.

Only lookups made after :func:`enable` see the change: code that ran
``from xml.etree.ElementTree import fromstring`` before keeps the standard function, so
enable it first thing, before importing such code. ``xml.etree.ElementInclude``'s default
loader becomes one that opens nothing.

>>> import xml.sax
>>> with enabled():
...     type(xml.sax.make_parser()).__name__
'VorlaneReader'
>>> type(xml.sax.make_parser()).__name__
'ExpatParser'
"""

from __future__ import annotations

import importlib
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from vorlane import ElementInclude, ElementTree, minidom, pulldom, sax
from vorlane import xmlrpc as _xmlrpc

__all__ = ["disable", "enable", "enabled", "is_enabled"]


def _sax_make_parser(parser_list: Any = ()) -> sax.VorlaneReader:
    return sax.make_parser()


def _minidom_parse(file: Any, parser: Any = None, bufsize: int | None = None) -> Any:
    if parser is not None:  # the caller chose a SAX reader: the standard road with it
        return _STANDARD[("xml.dom.minidom", "parse")](file, parser, bufsize)
    return minidom.parse(file)


def _minidom_parse_string(string: Any, parser: Any = None) -> Any:
    if parser is not None:
        return _STANDARD[("xml.dom.minidom", "parseString")](string, parser)
    return minidom.parseString(string)


def _pulldom_parse(stream_or_string: Any, parser: Any = None, bufsize: int | None = None) -> Any:
    if parser is not None:
        return _STANDARD[("xml.dom.pulldom", "parse")](stream_or_string, parser, bufsize)
    return pulldom.parse(stream_or_string, bufsize)


def _pulldom_parse_string(string: Any, parser: Any = None) -> Any:
    if parser is not None:
        return _STANDARD[("xml.dom.pulldom", "parseString")](string, parser)
    return pulldom.parseString(string)


def _refusing_loader(href: str, parse: str, encoding: str | None = None) -> Any:
    return ElementInclude.FolderLoader(None)(href, parse, encoding)


# (module, name) -> vorlane's replacement.
_REPLACEMENTS: dict[tuple[str, str], Any] = {
    **{
        ("xml.etree.ElementTree", name): getattr(ElementTree, name)
        for name in (
            "parse",
            "fromstring",
            "XML",
            "fromstringlist",
            "XMLID",
            "iterparse",
            "XMLParser",
            "XMLPullParser",
            "ElementTree",
            "canonicalize",
        )
    },
    ("xml.etree.ElementInclude", "default_loader"): _refusing_loader,
    ("xml.sax", "make_parser"): _sax_make_parser,
    ("xml.sax", "parse"): sax.parse,
    ("xml.sax", "parseString"): sax.parseString,
    ("xml.dom.minidom", "parse"): _minidom_parse,
    ("xml.dom.minidom", "parseString"): _minidom_parse_string,
    ("xml.dom.pulldom", "parse"): _pulldom_parse,
    ("xml.dom.pulldom", "parseString"): _pulldom_parse_string,
}
_STANDARD: dict[tuple[str, str], Any] = {
    (module, name): getattr(importlib.import_module(module), name) for module, name in _REPLACEMENTS
}
_LOCK = threading.Lock()
_enabled = False


def _install(table: dict[tuple[str, str], Any]) -> None:
    for (module, name), value in table.items():
        setattr(importlib.import_module(module), name, value)


def enable() -> None:
    """Route the standard library's XML entry points (ElementTree, SAX, minidom, pulldom,
    ElementInclude's loader, xmlrpc) through vorlane, for this process.

    >>> import xml.etree.ElementTree as ET
    >>> enable(); ET.XMLParser.__module__
    'vorlane.ElementTree'
    >>> disable(); ET.XMLParser.__module__
    'xml.etree.ElementTree'
    """
    global _enabled
    with _LOCK:
        _install(_REPLACEMENTS)
        _xmlrpc.enable()
        _enabled = True


def disable() -> None:
    """Give the standard library its own parsers back.

    >>> disable(); is_enabled()
    False
    """
    global _enabled
    with _LOCK:
        _install(_STANDARD)
        _xmlrpc.disable()
        _enabled = False


def is_enabled() -> bool:
    """Whether :func:`enable` is in effect.

    >>> is_enabled()
    False
    """
    return _enabled


@contextmanager
def enabled() -> Iterator[None]:
    """:func:`enable` for the ``with`` block, then back to the standard parsers if they were in place.

    >>> import xml.dom.minidom
    >>> with enabled():
    ...     xml.dom.minidom.parseString("<a/>").documentElement.tagName
    'a'
    """
    before = is_enabled()
    enable()
    try:
        yield
    finally:
        if not before:
            disable()
