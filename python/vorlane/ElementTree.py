"""A drop-in replacement for :mod:`xml.etree.ElementTree` that parses with vorlane.

``import vorlane.ElementTree as ET`` in place of ``import xml.etree.ElementTree as ET``:
everything in the standard module's ``__all__`` is here. The classes and functions that
build, search and serialise trees (``Element``, ``SubElement``, ``TreeBuilder``,
``tostring``, ``indent``, ``register_namespace``...) are the standard ones. Every entry
point that reads a document (``fromstring``, ``XML``, ``fromstringlist``, ``XMLID``,
``parse``, ``iterparse``, ``ElementTree.parse``, ``XMLParser``, ``XMLPullParser`` and
``canonicalize``) reads it with vorlane instead of expat, and takes its options as
keywords: ``ET.parse(path, forbid_dtd=True)``. The incremental readers are incremental:
each feed reports what the data so far completes.

How the results differ from the standard library's:

- Refused documents raise :class:`vorlane.DefusedXmlException` or one of its
  subclasses (``ValueError``), malformed ones :class:`vorlane.ParseError`; both are
  ``ET.ParseError``, with ``position`` (line, column) where known and ``code`` None.
- Line ends and attribute values are kept as written; a DTD is never applied. An allowed
  DOCTYPE goes to a target's ``doctype(name, pubid, system)``, as the standard parser
  calls it.
- In the incremental readers ``max_text_size`` bounds each run of character data, not
  the whole document.
- ``iterparse`` takes ``tag=`` and ``release=`` for the record loop.
- A parser object of the standard library is refused wherever a ``parser`` argument
  is taken; pass an ``ET.XMLParser`` from this module.

>>> import vorlane.ElementTree as ET
>>> root = ET.fromstring("<list><item n='1'/><item n='2'/></list>")
>>> [item.get("n") for item in root.iter("item")]
['1', '2']
>>> ET.tostring(root)
b'<list><item n="1" /><item n="2" /></list>'
"""

from __future__ import annotations

import io as _io
import itertools as _itertools
import typing as _typing
import weakref as _weakref
import xml.etree.ElementTree as _standard
from collections.abc import Buffer, Callable, Generator, Iterable, Iterator
from typing import Any, Protocol, Unpack
from xml.etree.ElementTree import (
    PI,
    VERSION,
    C14NWriterTarget,
    Comment,
    Element,
    ParseError,
    ProcessingInstruction,
    QName,
    SubElement,
    TreeBuilder,
    dump,
    indent,
    iselement,
    register_namespace,
    tostring,
    tostringlist,
)

from vorlane._incremental import CHUNK as _PIECE
from vorlane._incremental import REFUSALS as _REFUSALS
from vorlane._incremental import Feeder as _Feeder
from vorlane._incremental import chunks as _chunks
from vorlane._vorlane import version as _version
from vorlane.api import Document as _Document
from vorlane.api import ParseOptions as _ParseOptions
from vorlane.api import Source as _Source
from vorlane.api import _checked_options, _collect_ids, _file_object, _join_documents, _parse_document

__all__ = [
    "Comment",
    "dump",
    "Element",
    "ElementTree",
    "fromstring",
    "fromstringlist",
    "indent",
    "iselement",
    "iterparse",
    "parse",
    "ParseError",
    "PI",
    "ProcessingInstruction",
    "QName",
    "SubElement",
    "tostring",
    "tostringlist",
    "TreeBuilder",
    "VERSION",
    "XML",
    "XMLID",
    "XMLParser",
    "XMLPullParser",
    "register_namespace",
    "canonicalize",
    "C14NWriterTarget",
]

# The standard module's private helpers that code in the wild reaches for
# (ET._Element_Py, ET._namespace_map, ET._serialize_xml...). None of them parses.
globals().update(
    (name, getattr(_standard, name))
    for name in dir(_standard)
    if (name.startswith("_") and not name.startswith("__")) or name in ("ElementPath", "HTML_EMPTY")
)

_Event = tuple[str, Any]

# Events a pull parser that owns its builder has built at a time: few enough that a loop
# dropping them keeps young collections from promoting a whole feed's Elements.
_SLICE = 256


def _check_parser(parser: object, options: _ParseOptions, caller: str) -> XMLParser:
    if not isinstance(parser, XMLParser):
        kind = f"{type(parser).__module__}.{type(parser).__qualname__}"
        raise TypeError(
            f"{caller}() refuses a parser of type {kind}: only vorlane.ElementTree.XMLParser "
            "parses safely here; pass one of those, or no parser and the options as keywords"
        )
    if options:  # any option given, even at its default value
        raise TypeError(f"{caller}() takes options or a parser, not both: give the options to XMLParser()")
    return parser


def _parse_with(document: _Document, parser: object, options: _ParseOptions, caller: str) -> Any:
    _checked_options(options, caller)
    if parser is None:
        return _parse_document(document, options)
    checked = _check_parser(parser, options, caller)
    checked.feed(document)
    return checked.close()


class XMLParser:
    """Element structure builder for XML source data, reading with vorlane.

    *target* is the target object, by default a standard TreeBuilder; its ``start``,
    ``end``, ``data``, ``comment``, ``pi``, ``start_ns``, ``end_ns``, ``doctype`` and
    ``close`` methods are called as the standard XMLParser calls them, as soon as what they report
    is complete in the data fed. *encoding*, if given, overrides the encoding that the
    document declares. The keyword-only options are :class:`vorlane.ParseOptions`.

    >>> parser = XMLParser()
    >>> parser.feed("<greeting lang='en'>")
    >>> parser.feed("hello</greeting>")
    >>> parser.close().text
    'hello'
    """

    def __init__(self, *, target: Any = None, encoding: str | None = None, **options: Unpack[_ParseOptions]) -> None:
        self.target: Any = TreeBuilder() if target is None else target
        self._feeder = _Feeder(self.target, encoding, _checked_options(options, "XMLParser"))
        self._piece = self._feeder.piece
        # Looked up once, here, as the standard parser does.
        self._close: Callable[[], Any] | None = getattr(self.target, "close", None)
        self.entity: dict[str, str] = {}  # kept for code that fills it; entities are never expanded
        self.version = f"vorlane {_version()}"
        self._closed = False

    def _setevents(self, kinds: Iterable[str], deferred: bool = False) -> list[_Event]:
        """Have the events of *kinds* listed from now on; the list they go to. *deferred*
        (for a reader that owns the target): they are built as :meth:`_more_events` asks."""
        self._feeder.report(kinds, deferred)
        return self._feeder.events

    def _select(self, tags: frozenset[str] | None, release: bool) -> Callable[[], None] | None:
        """See :meth:`XMLPullParser._select`."""
        return self._feeder.select(tags, release)

    def _more_events(self, limit: int) -> None:
        """List up to *limit* more deferred events (none: there are none before more is fed)."""
        self._feeder.take(limit)

    def feed(self, data: str | Buffer) -> None:
        """Feed encoded data to parser."""
        # Once the input is known to be UTF-8, a bytes or str piece goes straight to the
        # engine: a feed of a byte or two costs little more than this call.
        try:
            if self._piece(data):
                return
        except _REFUSALS as exc:
            self._feeder.raise_refusal(exc)
            raise  # raised by a handler of the target
        if self._closed:
            raise ParseError("feed() after close()")
        self._feeder.feed(data)

    def flush(self) -> None:
        """Nothing to do: every construct complete in the data fed has been reported."""

    def close(self) -> Any:
        """Finish feeding data to parser; return what the target's ``close`` returns."""
        if self._closed:
            raise ParseError("close() was called already")
        self._closed = True
        self._feeder.close()
        return self._close() if self._close is not None else None


class XMLPullParser:
    """Parser that reports events, reading with vorlane.

    *events* is a sequence of event names: "start", "end", "comment", "pi", "start-ns"
    and "end-ns" (the default is "end" only). The keyword-only options are
    :class:`vorlane.ParseOptions`. After each :meth:`feed`, :meth:`read_events` yields the
    events that the data fed so far completes; a failure is raised there, after the
    events before it.

    >>> parser = XMLPullParser(events=("start", "end"))
    >>> parser.feed("<a><b/>")
    >>> [(event, element.tag) for event, element in parser.read_events()]
    [('start', 'a'), ('start', 'b'), ('end', 'b')]
    >>> parser.feed("</a>")
    >>> parser.close()
    >>> [(event, element.tag) for event, element in parser.read_events()]
    [('end', 'a')]
    """

    def __init__(
        self, events: Iterable[str] | None = None, *, _parser: XMLParser | None = None, **options: Unpack[_ParseOptions]
    ) -> None:
        # Only a builder of its own may see its calls when the events are read, not when fed.
        owned = _parser is None
        if _parser is None:
            _parser = XMLParser(target=TreeBuilder(), **options)
        else:
            _check_parser(_parser, options, "XMLPullParser")
        self._parser = _parser
        self._events = _parser._setevents(("end",) if events is None else events, deferred=owned)
        self._read = 0  # events of the list already read
        self._failure: BaseException | None = None

    def feed(self, data: str | Buffer) -> None:
        """Feed encoded data to parser."""
        if data:
            self._run(self._parser.feed, data)

    def _run(self, step: Callable[..., Any], *args: Any) -> Any:
        # As the standard pull parser: a failure waits for read_events, after the events before it.
        if self._failure is not None:
            return None
        try:
            return step(*args)
        except (SyntaxError, ValueError) as exc:
            self._failure = exc
            return None

    def flush(self) -> None:
        """Nothing to do: every construct complete in the data fed has been reported."""

    def _select(self, tags: frozenset[str] | None, release: bool) -> Callable[[], None] | None:
        """List start and end events only of elements whose tag is in *tags* (None: all);
        with *release*, return what frees the element of the oldest listed end event not yet
        freed (*release* only before the first feed)."""
        return self._parser._select(tags, release)

    def _close_and_return_root(self) -> Any:
        root = self._run(self._parser.close)
        return root

    def close(self) -> None:
        """Finish feeding data to parser; its last events become available."""
        self._close_and_return_root()

    def _take_events(self) -> list[_Event]:
        """The events not yet read, taken off the queue at once, or the next slice of them;
        none left before more is fed: then call :meth:`_raise_failure`."""
        events = self._events
        self._refill()
        taken = events[self._read :]
        events.clear()
        self._read = 0
        return taken

    def _refill(self) -> None:
        """Once every listed event is read: the list emptied and the next slice built into it."""
        if self._read == len(self._events):
            self._events.clear()
            self._read = 0
            self._parser._more_events(_SLICE)

    def _raise_failure(self) -> None:
        if self._failure is not None:
            failure, self._failure = self._failure, None
            raise failure

    def read_events(self) -> Iterator[_Event]:
        """Return an iterator over the events not yet read, then raise a failure if there was one."""
        events = self._events
        while True:
            self._refill()
            if self._read == len(events):
                break
            event = events[self._read]
            self._read += 1
            if self._read == len(events):
                events.clear()  # read: the list does not keep the elements alive
                self._read = 0
            yield event
        self._raise_failure()


if _typing.TYPE_CHECKING:
    _StandardTree = _standard.ElementTree[Element]
else:
    _StandardTree = _standard.ElementTree


class ElementTree(_StandardTree):
    """An XML element hierarchy whose :meth:`parse` reads with vorlane.

    *element* is an optional root element; *file*, if given, is parsed with the default
    options as by :meth:`parse`. Everything else is the standard ElementTree.

    >>> import io
    >>> tree = ElementTree(file=io.StringIO("<site><page/></site>"))
    >>> tree.getroot().tag, len(tree.findall("page"))
    ('site', 1)
    """

    def parse(  # type: ignore[override]
        self,
        source: _Source,
        parser: XMLParser | None = None,
        **options: Unpack[_ParseOptions],
    ) -> Element:
        """Load external XML document into element tree.

        *source* is a file name or file object, read in pieces. *parser* is an optional
        XMLParser of this module; without it the keyword-only options are
        :class:`vorlane.ParseOptions`. Returns the root element of the given source document.

        >>> import io
        >>> ElementTree().parse(io.BytesIO(b"<a><b/></a>"), max_depth=5).tag
        'a'
        """
        return self._parse(source, parser, options)

    def _parse(self, source: _Source, parser: object, options: _ParseOptions) -> Element:
        _checked_options(options, "parse")
        checked = XMLParser(**options) if parser is None else _check_parser(parser, options, "parse")
        for data in _chunks(source):
            checked.feed(data)
        root: Element = checked.close()
        self._setroot(root)
        return root


def fromstring(
    text: _Document,
    parser: XMLParser | None = None,
    **options: Unpack[_ParseOptions],
) -> Element:
    """Parse XML document from string constant.

    *text* is a string or bytes holding a whole XML document, *parser* an optional
    XMLParser of this module. Without a parser the keyword-only options are
    :class:`vorlane.ParseOptions`. Returns an Element instance.

    >>> fromstring("<html><body>text</body></html>")[0].text
    'text'
    >>> import xml.etree.ElementTree
    >>> fromstring("<a/>", parser=xml.etree.ElementTree.XMLParser())
    Traceback (most recent call last):
      ...
    TypeError: fromstring() refuses a parser of type xml.etree.ElementTree.XMLParser: ...
    """
    root: Element = _parse_with(text, parser, options, "fromstring")
    return root


#: ``XML`` is :func:`fromstring`, as in the standard module.
XML = fromstring


def fromstringlist(
    sequence: Iterable[_Document],
    parser: XMLParser | None = None,
    **options: Unpack[_ParseOptions],
) -> Element:
    """Parse XML document from sequence of string fragments.

    *sequence* is a list or other sequence of strings or bytes, *parser* and the
    options are those of :func:`fromstring`. Returns an Element instance.

    >>> fromstringlist(["<html><body>", "text</bo", "dy></html>"])[0].text
    'text'
    """
    _checked_options(options, "fromstringlist")
    if parser is None:
        return _parse_document(_join_documents(sequence), options)
    checked = _check_parser(parser, options, "fromstringlist")
    for piece in sequence:
        checked.feed(piece)
    root: Element = checked.close()
    return root


def XMLID(
    text: _Document,
    parser: XMLParser | None = None,
    **options: Unpack[_ParseOptions],
) -> tuple[Element, dict[str, Element]]:
    """Parse XML document from string constant for its ID dictionary.

    *text*, *parser* and the options are those of :func:`fromstring`. Returns an
    (Element, dict) tuple, in which the dict maps each non-empty ``id`` to its element.

    >>> root, ids = XMLID("<html><body id='body'>text</body></html>")
    >>> ids["body"].text
    'text'
    """
    root: Element = _parse_with(text, parser, options, "XMLID")
    return root, _collect_ids(root)


def parse(
    source: _Source,
    parser: XMLParser | None = None,
    **options: Unpack[_ParseOptions],
) -> ElementTree:
    """Parse XML document into element tree.

    *source* is a filename or file object holding the XML data, read and parsed in
    pieces, *parser* and the options are those of :func:`fromstring`. Return an
    ElementTree instance.

    >>> import io
    >>> parse(io.StringIO("<config><port>8080</port></config>")).findtext("port")
    '8080'
    """
    tree = ElementTree()
    tree._parse(source, parser, options)
    return tree


class _Writer(Protocol):
    def write(self, text: str, /) -> object: ...


class _IterParseIterator(_itertools.chain[_Event]):
    """The iterator of :func:`iterparse`: its ``root`` is set once the events are exhausted."""

    # A chain of the batches itself, made by from_iterable: each step is the chain's own C
    # slot, where a Python class's __next__ would cost an attribute lookup and a call an event.
    root: Element | None = None
    _stop: Callable[[], None]  # ends the events, even in the middle of a batch
    _close_source: Callable[[], None]

    def close(self) -> None:
        """Stop: the source is closed if iterparse opened it."""
        self._close_source()
        self._stop()

    def __del__(self) -> None:
        self._close_source()


def iterparse(
    source: _Source,
    events: Iterable[str] | None = None,
    parser: XMLParser | None = None,
    *,
    tag: str | Iterable[str] | None = None,
    release: bool = False,
    **options: Unpack[_ParseOptions],
) -> _IterParseIterator:
    """Parse XML document into element tree incrementally, reporting events as it goes.

    *source* is a filename or file object, read 64 KiB at a time; *events* a sequence of
    the events to report: "start", "end" (the default is "end" only), "comment", "pi",
    "start-ns" and "end-ns". *parser* and the options are those of :func:`fromstring`.
    The iterator's ``root`` is set once the events are exhausted. A malformed or refused
    document raises where the reading gets to the failure, after the events before it.

    Two keywords make the usual record loop cheap. *tag*, a tag or a sequence of tags as
    the elements have them (``"{uri}local"``), reports the "start" and "end" events of
    those elements only. *release* frees each element of an "end" event reported once
    the loop has moved past it: it is cleared and taken out of its parent, so memory stays
    flat however long the document is, without clearing and deleting by hand.

    >>> import io
    >>> for event, element in iterparse(io.BytesIO(b"<log><e>1</e><e>2</e></log>")):
    ...     if element.tag == "e":
    ...         print(element.text)
    ...         element.clear()
    1
    2
    >>> records = iterparse(io.BytesIO(b"<log><e>1</e><x/><e>2</e></log>"), tag="e", release=True)
    >>> [element.text for event, element in records], len(records.root)
    (['1', '2'], 1)
    """
    _checked_options(options, "iterparse")
    tags = None if tag is None else frozenset([tag] if isinstance(tag, str) else tag)
    pull = XMLPullParser(("end",) if events is None else events, _parser=parser, **options)
    free = pull._select(tags, release)
    reader = _file_object(source)
    handle: Any = open(source, "rb") if reader is None else reader  # type: ignore[arg-type]  # noqa: SIM115

    def close_source() -> None:
        if reader is None:
            handle.close()

    def generate() -> Generator[Iterable[_Event]]:
        # Batches of events, each a list (or, to free elements, a generator over one): the
        # loop steps through a batch in C, and Python runs once a batch, not once an event.
        try:
            while True:
                events = pull._take_events()
                if events:
                    batch[0] = events if free is None else _released(events, free)
                    yield batch[0]
                    continue
                pull._raise_failure()
                data = handle.read(_PIECE)
                if not data:
                    break
                pull.feed(data)
            root = pull._close_and_return_root()
            while events := pull._take_events():
                batch[0] = events if free is None else _released(events, free)
                yield batch[0]
            pull._raise_failure()
        finally:
            close_source()
        iterator = reference()
        if iterator is not None:
            iterator.root = root

    batch: list[Iterable[_Event]] = [[]]  # the one being stepped through
    batches = generate()

    def stop() -> None:
        batches.close()
        current = batch[0]
        if isinstance(current, list):
            current.clear()  # its iterator in the chain ends
        elif isinstance(current, Generator):
            current.close()

    result = _typing.cast(_IterParseIterator, _IterParseIterator.from_iterable(batches))
    result._stop, result._close_source = stop, close_source
    reference = _weakref.ref(result)
    return result


def _released(events: list[_Event], free: Callable[[], None]) -> Iterator[_Event]:
    """The *events*; when the consumer resumes after an "end" event, *free* frees its element."""
    for event in events:
        yield event
        if event[0] == "end":
            free()


def canonicalize(
    xml_data: _Document | None = None,
    *,
    out: _Writer | None = None,
    from_file: _Source | None = None,
    with_comments: bool = False,
    strip_text: bool = False,
    rewrite_prefixes: bool = False,
    qname_aware_tags: Iterable[str] | None = None,
    qname_aware_attrs: Iterable[str] | None = None,
    exclude_attrs: Iterable[str] | None = None,
    exclude_tags: Iterable[str] | None = None,
) -> str | None:
    """Convert XML to its C14N 2.0 serialised form, reading it with vorlane's defaults.

    Give the document as *xml_data* or *from_file*; with *out* (an object with a
    ``write`` method taking str) the result is written there and None returned,
    otherwise it is returned as a string. The other options are those of the standard
    ``canonicalize``.

    vorlane applies no DTD, so where the standard form could differ (a document with an
    ``<!ATTLIST`` declaration, whose defaults the standard parser adds) this raises
    ValueError rather than give another form. The document is read strictly: line ends and
    attribute values are normalised as the standard parser does.

    >>> canonicalize("<doc b='2' a='1'><!-- c --><empty/></doc>", with_comments=True)
    '<doc a="1" b="2"><!-- c --><empty></empty></doc>'
    """
    if xml_data is None and from_file is None:
        raise ValueError("Either 'xml_data' or 'from_file' must be provided as input")
    buffer = None
    if out is None:
        buffer = out = _io.StringIO()
    target = C14NWriterTarget(
        out.write,
        with_comments=with_comments,
        strip_text=strip_text,
        rewrite_prefixes=rewrite_prefixes,
        qname_aware_tags=qname_aware_tags,
        qname_aware_attrs=qname_aware_attrs,
        exclude_attrs=exclude_attrs,
        exclude_tags=exclude_tags,
    )
    parser = XMLParser(target=target, strict=True)
    tail = b""  # of the previous piece, so that a declaration cut in two is still seen
    for piece in [xml_data] if xml_data is not None else _chunks(from_file):  # type: ignore[arg-type]
        raw = piece.encode("utf-8", "surrogatepass") if isinstance(piece, str) else bytes(piece)
        if any(mark in tail + raw for mark in _ATTLIST_MARKS):
            raise ValueError(f"canonicalize() cannot give the canonical form of a document with {_ATTLIST}")
        tail = raw[-20:]
        parser.feed(piece)
    parser.close()
    return buffer.getvalue() if buffer is not None else None


_ATTLIST = "an <!ATTLIST declaration (vorlane applies no DTD)"
_ATTLIST_MARKS = tuple("<!ATTLIST".encode(codec) for codec in ("utf-8", "utf-16-le", "utf-16-be"))


# The standard parsers are not reachable from here.
del _standard
