"""A SAX2 reader on the event engine, with the functions of :mod:`xml.sax`.

:func:`make_parser` returns a :class:`VorlaneReader`, an incremental reader that reports
what the standard expat reader reports, in the same order and with the same arguments:
``startElement`` with the ``xmlns`` attributes in place when ``feature_namespaces`` is off,
``startPrefixMapping`` and ``startElementNS`` when it is on, ``characters`` (never
``ignorableWhitespace``), ``processingInstruction``, comments to a lexical handler when one
is set, and an allowed DOCTYPE to its ``startDTD`` and ``endDTD``. Nothing is expanded or
opened: asking for external entities or validation raises ``SAXNotSupportedException``.
The locator gives the line (from 1) and column (from 0, in characters) where the construct
being reported starts.

Malformed input goes to the error handler's ``fatalError`` as a ``SAXParseException``
wrapping vorlane's :class:`~vorlane.common.ParseError`, placed where the parse failed, as
the standard reader does. A refusal (a limit, a forbidden DTD or entity) raises vorlane's
exception itself, with its ``position``, never through the error handler, so that no
handler can choose to go on past it.
"""

from __future__ import annotations

from collections.abc import Buffer
from typing import Any, Unpack
from xml.sax import handler as _handler
from xml.sax import saxutils, xmlreader
from xml.sax._exceptions import SAXNotRecognizedException, SAXNotSupportedException, SAXParseException

from vorlane._events import EventParser
from vorlane._incremental import Decoder
from vorlane.api import ParseOptions, _checked_options, _explained, engine_options
from vorlane.common import DefusedXmlException, ParseError, located

__all__ = ["VorlaneReader", "make_parser", "parse", "parseString"]

_XMLNS = "http://www.w3.org/2000/xmlns/"
# Features that would open or apply what the document names: only False is accepted.
_REFUSED = frozenset({_handler.feature_external_ges, _handler.feature_external_pes, _handler.feature_validation})
_ACCEPTED = frozenset(
    {_handler.feature_namespaces, _handler.feature_namespace_prefixes, _handler.feature_string_interning}
)


def _split(name: str) -> tuple[str | None, str]:
    """``{uri}local`` as the pair SAX reports, ``(None, name)`` outside any namespace."""
    if name.startswith("{"):
        uri, _, local = name[1:].partition("}")
        return uri, local
    return None, name


class VorlaneReader(xmlreader.IncrementalParser, xmlreader.Locator):
    """An incremental SAX2 reader: ``feed`` pieces, then ``close``; or ``parse`` a source.

    >>> from xml.sax.handler import ContentHandler
    >>> class Names(ContentHandler):
    ...     def __init__(self): super().__init__(); self.names = []
    ...     def startElement(self, name, attrs): self.names.append((name, dict(attrs)))
    >>> reader, names = VorlaneReader(), Names()
    >>> reader.setContentHandler(names)
    >>> reader.feed(b"<a xmlns:p='u'><p:b p:c='1'/>"); reader.feed("</a>"); reader.close()
    >>> names.names
    [('a', {'xmlns:p': 'u'}), ('p:b', {'p:c': '1'})]
    """

    def __init__(self, bufsize: int = 2**16, **options: Unpack[ParseOptions]) -> None:
        xmlreader.IncrementalParser.__init__(self, bufsize)
        self._piece = bufsize
        self._options = _checked_options(options, "make_parser")
        self._namespaces = False
        self._prefixes = False
        self._interning = False
        self._lexical: Any = None
        self._source: xmlreader.InputSource | None = None
        self._engine: EventParser | None = None
        self._decoder = Decoder(None)
        self._parsing = False
        self._offset: int | None = None
        self._pending_ns: list[tuple[str, str]] = []

    # -- configuration ------------------------------------------------------------------

    def getFeature(self, name: str) -> bool:
        """The value of feature *name*."""
        if name == _handler.feature_namespaces:
            return self._namespaces
        if name == _handler.feature_namespace_prefixes:
            return self._prefixes
        if name == _handler.feature_string_interning:
            return self._interning
        if name in _REFUSED:
            return False
        raise SAXNotRecognizedException(f"feature {name!r} not recognized")

    def setFeature(self, name: str, state: int) -> None:
        """Set feature *name*; external entities and validation can only be off."""
        if self._parsing:
            raise SAXNotSupportedException("cannot set features while parsing")
        if name in _REFUSED:
            if state:
                raise SAXNotSupportedException(
                    f"vorlane never loads or validates against what a document names: {name!r}"
                )
            return
        if name not in _ACCEPTED:
            raise SAXNotRecognizedException(f"feature {name!r} not recognized")
        if name == _handler.feature_namespaces:
            self._namespaces = bool(state)
        elif name == _handler.feature_namespace_prefixes:
            self._prefixes = bool(state)
        else:
            self._interning = bool(state)

    def getProperty(self, name: str) -> Any:
        """The lexical handler, the only property kept."""
        if name == _handler.property_lexical_handler:
            return self._lexical
        raise SAXNotRecognizedException(f"property {name!r} not recognized")

    def setProperty(self, name: str, value: Any) -> None:
        """Set the lexical handler (which receives comments and the DOCTYPE)."""
        if name == _handler.property_lexical_handler:
            self._lexical = value
            return
        raise SAXNotRecognizedException(f"property {name!r} not recognized")

    # -- the locator ----------------------------------------------------------------------

    def _position(self) -> tuple[int, int] | None:
        if self._engine is None or self._offset is None:
            return None
        try:
            return self._engine.position(self._offset)
        except (AttributeError, ValueError):
            return None

    def getLineNumber(self) -> int | None:
        """The line of the event being reported (from 1), or None before any."""
        where = self._position()
        return None if where is None else where[0]

    def getColumnNumber(self) -> int | None:
        """The column of the event being reported (from 0), or None before any."""
        where = self._position()
        return None if where is None else where[1]

    def getPublicId(self) -> str | None:
        """The public identifier of the source being read."""
        return None if self._source is None else self._source.getPublicId()

    def getSystemId(self) -> str | None:
        """The system identifier of the source being read."""
        return None if self._source is None else self._source.getSystemId()

    # -- parsing --------------------------------------------------------------------------

    def prepareParser(self, source: xmlreader.InputSource) -> None:
        """Take *source*'s identifiers and encoding for the document to come."""
        self._source = source
        self.reset()

    def reset(self) -> None:
        """Forget what was fed: the next ``feed`` starts a new document."""
        self._engine = EventParser(**engine_options(self._options))
        self._decoder = Decoder(self._source.getEncoding() if self._source is not None else None)
        self._parsing = False
        self._offset = 0  # at startDocument: the first line's start, as the standard reader says
        self._pending_ns = []

    def parse(self, source: Any) -> None:
        """Read a whole document from a system identifier, file object or ``InputSource``."""
        source = saxutils.prepare_input_source(source)
        self.prepareParser(source)
        try:
            stream = source.getCharacterStream() or source.getByteStream()
            while piece := stream.read(self._piece):
                self.feed(piece)
            self.close()
        finally:
            self._close_source(source)

    @staticmethod
    def _close_source(source: xmlreader.InputSource) -> None:
        for stream in (source.getCharacterStream(), source.getByteStream()):
            if stream is not None:
                stream.close()

    def feed(self, data: str | Buffer) -> None:
        """Parse *data* after what was fed before, reporting the events it completes."""
        if not self._parsing:
            if self._engine is None:
                self.reset()
            self._parsing = True
            self.getContentHandler().setDocumentLocator(self)
            self.getContentHandler().startDocument()
        self._run(self._decoder.feed, data, final=False)

    def close(self) -> None:
        """The document ends here: report the rest and ``endDocument``, or the failure."""
        if not self._parsing:
            self.feed(b"")
        self._run(self._decoder.close, final=True)
        assert self._engine is not None
        self._offset = self._engine.bytes_fed()  # at endDocument: the end of the input
        self.getContentHandler().endDocument()
        self._parsing = False
        self._engine = None

    def _run(self, step: Any, *args: Any, final: bool) -> None:
        engine = self._engine
        assert engine is not None
        out: list[tuple[Any, ...]] = []
        undecodable: int | None = None  # where bytes that do not decode start, in the engine's input
        try:
            try:
                piece = step(*args)
            except ParseError:
                # The characters before the bad bytes are parsed first: a failure in them comes first.
                before = self._decoder.undecodable_at
                if before:
                    engine.feed(before, False, out)
                undecodable = engine.bytes_fed()
                raise
            if piece or final:
                engine.feed(piece, final, out)
        except (ParseError, DefusedXmlException) as exc:
            self._report(out)
            self._offset = engine.error_offset() if undecodable is None else undecodable
            failure = located(_explained(exc), engine.position(self._offset))
            if not isinstance(failure, ParseError):
                raise failure from None
            self.getErrorHandler().fatalError(SAXParseException(str(failure), failure, self))
            return
        self._report(out)

    def _report(self, events: list[tuple[Any, ...]]) -> None:
        content: Any = self.getContentHandler()
        for event in events:
            kind = event[0]
            self._offset = event[3] if kind in ("start", "end") else event[-1]
            if kind == "start":
                _, tag, attrib, _, qname, written = event
                if self._namespaces:
                    self._start_ns(tag, qname, written)
                else:
                    attrs = {("xmlns:" + p if p else "xmlns"): uri for p, uri in self._pending_ns}
                    attrs.update((name, value) for name, _, value in written)
                    self._pending_ns = []
                    content.startElement(qname, xmlreader.AttributesImpl(attrs))
            elif kind == "end":
                if self._namespaces:
                    content.endElementNS(_split(event[1]), event[3] if self._prefixes else None)
                else:
                    content.endElement(event[3])
            elif kind == "data":
                content.characters(event[1])
            elif kind == "pi":
                content.processingInstruction(event[1], event[2])
            elif kind == "comment":
                if self._lexical is not None:
                    self._lexical.comment(event[1])
            elif kind == "start-ns":
                if self._namespaces:
                    # An undeclared default namespace (xmlns="") maps to None, as expat says.
                    content.startPrefixMapping(event[1] or None, event[2] or None)
                else:
                    self._pending_ns.append((event[1], event[2]))
            elif kind == "end-ns" and self._namespaces:
                content.endPrefixMapping(event[1] or None)
            elif kind == "doctype" and self._lexical is not None:
                self._lexical.startDTD(event[1], event[2], event[3])
                self._lexical.endDTD()

    def _start_ns(self, tag: str, qname: str, written: tuple[tuple[str, str, str], ...]) -> None:
        values: dict[tuple[str | None, str], str] = {}
        qnames: dict[tuple[str | None, str], str] = {}
        for name, key, value in written:
            pair = _split(key)
            values[pair] = value
            qnames[pair] = name
        self.getContentHandler().startElementNS(
            _split(tag), qname if self._prefixes else None, xmlreader.AttributesNSImpl(values, qnames)
        )


def make_parser(**options: Unpack[ParseOptions]) -> VorlaneReader:
    """A new SAX2 reader taking vorlane's *options*.

    >>> make_parser(max_depth=10).getFeature("http://xml.org/sax/features/namespaces")
    False
    """
    return VorlaneReader(**options)


def parse(
    source: Any,
    handler: _handler.ContentHandler,
    errorHandler: Any = None,  # noqa: N803 (the standard name)
    **options: Unpack[ParseOptions],
) -> None:
    """Read *source* (a path, file object or ``InputSource``), reporting to *handler*.

    >>> import io
    >>> from xml.sax.handler import ContentHandler
    >>> parse(io.BytesIO(b"<a/>"), ContentHandler())
    """
    reader = make_parser(**options)
    reader.setContentHandler(handler)
    reader.setErrorHandler(errorHandler if errorHandler is not None else _handler.ErrorHandler())
    reader.parse(source)


def parseString(
    string: str | Buffer,
    handler: _handler.ContentHandler,
    errorHandler: Any = None,  # noqa: N803 (the standard name)
    **options: Unpack[ParseOptions],
) -> None:
    """Read the document *string* (text or bytes), reporting to *handler*.

    >>> from xml.sax.handler import ContentHandler
    >>> parseString("<a>&lt;</a>", ContentHandler())
    """
    reader = make_parser(**options)
    reader.setContentHandler(handler)
    reader.setErrorHandler(errorHandler if errorHandler is not None else _handler.ErrorHandler())
    reader.prepareParser(xmlreader.InputSource())
    reader.feed(string)
    reader.close()
