"""``parse`` and ``parseString`` of :mod:`xml.dom.minidom`, built on the event engine.

The result is a standard :class:`xml.dom.minidom.Document`, built as the standard expat
builder builds it (namespace declarations first among an element's attributes, comments
and processing instructions in place, adjacent text in one node), so its ``toxml()`` is
the standard one. A DOCTYPE is analysed, never applied, and no ``DocumentType`` node is
made for it. Refusals raise vorlane's exceptions; malformed input raises
:class:`vorlane.common.ParseError`.
"""

from __future__ import annotations

import os
from collections.abc import Buffer, Iterator
from typing import Any, Unpack
from xml.dom import XMLNS_NAMESPACE, minidom

from vorlane._events import EventParser
from vorlane._incremental import Decoder
from vorlane.api import ParseOptions, _checked_options

__all__ = ["parse", "parseString"]

_PIECE = 2**16


def _pieces(file: Any) -> Iterator[str | bytes]:
    """The pieces of *file* (a path or an open file), read as the standard parse reads it."""
    if isinstance(file, (str, bytes, os.PathLike)):
        with open(file, "rb") as stream:
            while piece := stream.read(_PIECE):
                yield piece
        return
    while piece := file.read(_PIECE):
        yield piece


def _build(pieces: Iterator[str | Buffer], options: ParseOptions) -> minidom.Document:
    document = minidom.getDOMImplementation().createDocument(None, None, None)
    engine = EventParser(**options)
    decoder = Decoder(None)
    node: Any = document
    declared: list[tuple[str, str]] = []
    out: list[tuple[Any, ...]] = []

    def apply() -> None:
        nonlocal node
        for event in out:
            kind = event[0]
            if kind == "start":
                _, tag, _, _, qname, written = event
                uri = tag[1 : tag.index("}")] if tag.startswith("{") else None
                element = document.createElementNS(uri, qname)
                for prefix, value in declared:
                    element.setAttributeNS(XMLNS_NAMESPACE, "xmlns:" + prefix if prefix else "xmlns", value)
                declared.clear()
                for name, key, value in written:
                    element.setAttributeNS(key[1 : key.index("}")] if key.startswith("{") else None, name, value)
                node.appendChild(element)
                node = element
            elif kind == "end":
                node = node.parentNode
            elif kind == "data":
                last = node.lastChild
                if last is not None and last.nodeType == last.TEXT_NODE:
                    last.data += event[1]
                else:
                    node.appendChild(document.createTextNode(event[1]))
            elif kind == "comment":
                node.appendChild(document.createComment(event[1]))
            elif kind == "pi":
                node.appendChild(document.createProcessingInstruction(event[1], event[2]))
            elif kind == "start-ns":
                declared.append((event[1], event[2]))
        out.clear()

    try:
        for piece in pieces:
            data = decoder.feed(piece)
            if data:
                engine.feed(data, False, out)
                apply()
        engine.feed(decoder.close(), True, out)
        apply()
    except BaseException:
        document.unlink()
        raise
    return document


def parse(file: Any, **options: Unpack[ParseOptions]) -> minidom.Document:
    """The document read from *file*, a path or a binary or text file object, in pieces.

    >>> import io
    >>> parse(io.BytesIO(b"<a xmlns:p='u'><p:b/></a>")).toxml()
    '<?xml version="1.0" ?><a xmlns:p="u"><p:b/></a>'
    """
    return _build(_pieces(file), _checked_options(options, "parse"))


def parseString(string: str | Buffer, **options: Unpack[ParseOptions]) -> minidom.Document:
    """The document *string* (text, or bytes in the encoding it declares).

    >>> parseString("<a><!--c-->t<?p d?></a>").documentElement.toxml()
    '<a><!--c-->t<?p d?></a>'
    """
    return _build(iter([string]), _checked_options(options, "parseString"))
