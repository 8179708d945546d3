"""``parse`` and ``parseString`` of :mod:`xml.dom.pulldom` on vorlane's SAX reader.

The standard :class:`xml.dom.pulldom.DOMEventStream` pulls the document in pieces through
:class:`vorlane.sax.VorlaneReader`, so events come as the input is read, and
``expandNode`` builds one subtree at a time. The document of ``START_DOCUMENT`` carries
the DOCTYPE, if the document has one and it is allowed, as its ``doctype``, which the
standard stream leaves None. Refusals raise vorlane's exceptions; malformed input raises
``SAXParseException`` as the standard stream does.
"""

from __future__ import annotations

import io
from collections.abc import Buffer
from typing import Any, Unpack
from xml.dom import minidom
from xml.dom import pulldom as _standard
from xml.sax.handler import LexicalHandler, feature_namespaces, property_lexical_handler

from vorlane.api import ParseOptions
from vorlane.sax import make_parser

__all__ = ["DOMEventStream", "parse", "parseString"]

_PIECE = 2**14


class _PullDOM(_standard.PullDOM):
    """The standard builder of pull events, whose document also holds the DOCTYPE."""

    doctype: minidom.DocumentType | None = None

    def buildDocument(self, uri: str | None, tagname: str | None) -> Any:
        """The document, with its DOCTYPE first; its root element."""
        root = super().buildDocument(uri, tagname)
        if self.doctype is not None:
            document: Any = self.document
            self.doctype.ownerDocument = document
            document.insertBefore(self.doctype, document.firstChild)
            document.doctype = self.doctype
        return root


class _DoctypeOnly(LexicalHandler):
    """Takes the DOCTYPE for *pull*, and nothing else: the standard stream reports no comments."""

    def __init__(self, pull: _PullDOM) -> None:
        self._pull = pull

    def startDTD(self, name: str, public_id: str | None, system_id: str | None) -> None:
        """The DOCTYPE's node, for the document to come."""
        implementation: Any = minidom.getDOMImplementation()
        self._pull.doctype = implementation.createDocumentType(name, public_id, system_id)


class DOMEventStream(_standard.DOMEventStream):
    """The standard event stream, also giving the events that only the end of input completes.

    The standard stream stops as soon as its file is exhausted, losing what ``close``
    reports; vorlane delivers a construct only once it is known to be complete, so the last
    events may come at ``close``. ``END_DOCUMENT`` is not given, as the standard stream
    never gives it.

    >>> [event for event, node in DOMEventStream(io.BytesIO(b"<a/>"), make_parser(), 64)]
    ['START_DOCUMENT', 'START_ELEMENT', 'END_ELEMENT']
    """

    _closed = False

    def reset(self) -> None:
        """A new builder of events, reading through the parser with namespaces on."""
        self.pulldom = _PullDOM()
        parser: Any = self.parser
        parser.setFeature(feature_namespaces, True)
        parser.setContentHandler(self.pulldom)
        parser.setProperty(property_lexical_handler, _DoctypeOnly(self.pulldom))

    def getEvent(self) -> Any:
        """The next ``(event, node)``, reading more of the stream as needed; None at the end."""
        pull: Any = self.pulldom
        parser: Any = self.parser
        if not pull.firstEvent[1]:
            pull.lastEvent = pull.firstEvent
        while not pull.firstEvent[1]:
            if self._closed:
                return None
            piece = self.stream.read(self.bufsize)
            if piece:
                parser.feed(piece)
                continue
            self._closed = True
            parser.close()
            if pull.firstEvent[1] and pull.firstEvent[1][0][0] == _standard.END_DOCUMENT:
                return None
        event = pull.firstEvent[1][0]
        if event[0] == _standard.END_DOCUMENT:
            return None
        pull.firstEvent[1] = pull.firstEvent[1][1]
        return event


def parse(stream_or_string: Any, bufsize: int | None = None, **options: Unpack[ParseOptions]) -> DOMEventStream:
    """Events of the document in a file (a path or a binary or text file object).

    >>> stream = parse(io.BytesIO(b"<a><b>t</b></a>"))
    >>> [(event, node.nodeName) for event, node in stream]
    [('START_DOCUMENT', '#document'), ('START_ELEMENT', 'a'), ('START_ELEMENT', 'b'), ('CHARACTERS', '#text'), ('END_ELEMENT', 'b'), ('END_ELEMENT', 'a')]
    >>> next(parse(io.BytesIO(b"<!DOCTYPE a><a/>")))[1].doctype.name
    'a'
    """
    # The stream stays open for the events to come, as the standard parse leaves it.
    stream = open(stream_or_string, "rb") if isinstance(stream_or_string, str) else stream_or_string  # noqa: SIM115
    return DOMEventStream(stream, make_parser(**options), bufsize or _PIECE)


def parseString(string: str | Buffer, **options: Unpack[ParseOptions]) -> DOMEventStream:
    """Events of the document *string* (text, or bytes in the encoding it declares).

    >>> stream = parseString("<a><b>t</b></a>")
    >>> for event, node in stream:
    ...     if event == "START_ELEMENT" and node.tagName == "b":
    ...         stream.expandNode(node)
    ...         print(node.toxml())
    <b>t</b>
    """
    stream: Any = io.StringIO(string) if isinstance(string, str) else io.BytesIO(bytes(string))
    return DOMEventStream(stream, make_parser(**options), _PIECE)
