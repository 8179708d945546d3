"""A drop-in replacement for :mod:`xml.etree.ElementTree` that parses with vorlane.

``import vorlane.ElementTree as ET`` in place of ``import xml.etree.ElementTree as ET``:
everything in the standard module's ``__all__`` is here. The classes and functions that
build, search and serialise trees (``Element``, ``SubElement``, ``TreeBuilder``,
``tostring``, ``indent``, ``register_namespace``...) are the standard ones. Every entry
point that reads a document (``fromstring``, ``XML``, ``fromstringlist``, ``XMLID``,
``parse``, ``iterparse``, ``ElementTree.parse``, ``XMLParser``, ``XMLPullParser`` and
``canonicalize``) reads it with :func:`vorlane.parse_xml` instead of expat, and takes
its options as keywords: ``ET.parse(path, forbid_dtd=True)``.

How the results differ from the standard library's:

- Refused documents raise :class:`vorlane.DefusedXmlException` or one of its
  subclasses (``ValueError``), malformed ones :class:`vorlane.ParseError`, which is an
  ``ET.ParseError`` without ``position`` or ``code``.
- Line ends and attribute values are kept as written; a DTD is never applied.
- Documents are read whole: ``iterparse``, ``XMLParser`` and ``XMLPullParser`` parse
  when the whole document is there, then report what they found.
- Comments, processing instructions and namespace declarations are not kept, so the
  events and target calls that would report them never happen.
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

import collections as _collections
import io as _io
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

from vorlane._vorlane import version as _version
from vorlane.api import Document as _Document
from vorlane.api import ParseOptions as _ParseOptions
from vorlane.api import Source as _Source
from vorlane.api import _checked_options, _collect_ids, _file_object, _join_documents, _parse_document, _read_source
from vorlane.decode import decode_document as _decode_document

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

# Events of the standard parsers that need what vorlane does not keep.
_UNKEPT_EVENTS = {
    "start-ns": "vorlane does not keep namespace declarations, only the {uri}local names they give",
    "end-ns": "vorlane does not keep namespace declarations, only the {uri}local names they give",
    "comment": "vorlane does not keep comments",
    "pi": "vorlane does not keep processing instructions",
}

_Event = tuple[str, Any]


def _wanted_events(events: Iterable[str] | None) -> frozenset[str]:
    if events is None:
        return frozenset({"end"})
    wanted = set()
    for event in events:
        if event in ("start", "end"):
            wanted.add(event)
        elif event in _UNKEPT_EVENTS:
            raise ValueError(f"event {event!r} is not available: {_UNKEPT_EVENTS[event]}")
        else:
            raise ValueError(f"unknown event {event!r}")
    return frozenset(wanted)


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


def _read_whole(source: _Source) -> str | bytes:
    """The whole document from *source*, read as the standard parser reads it.

    A path is opened in binary mode and a file object of the io module read in one
    call. Any other object with a read() method is read in pieces of 64 KiB until it
    returns nothing, as the standard parser reads it, so readers written for it work.
    """
    reader = _file_object(source)
    if reader is None or isinstance(reader, _io.IOBase):
        return _read_source(source)
    pieces = []
    while piece := reader.read(65536):  # type: ignore[call-arg]
        pieces.append(piece)
    return _join_documents(pieces)


def _walk(root: Element, starts: bool = True, ends: bool = True) -> Iterator[_Event]:
    """("start", element) and ("end", element) events in document order, as *starts* and *ends* ask.

    The children of an element are listed before it starts, so a caller that clears or
    removes elements while walking still gets every event, as from the standard parser.
    """
    stack = [(root, iter(list(root)))]
    if starts:
        yield "start", root
    while stack:
        element, children = stack[-1]
        for child in children:
            grandchildren = list(child) if len(child) else None
            if starts:
                yield "start", child
            if grandchildren:
                stack.append((child, iter(grandchildren)))
                break
            if ends:
                yield "end", child  # a leaf: no level of its own on the stack
        else:
            stack.pop()
            if ends:
                yield "end", element


def _tree_events(root: Element, wanted: frozenset[str]) -> Iterator[_Event]:
    return _walk(root, "start" in wanted, "end" in wanted) if wanted else iter(())


class XMLParser:
    """Element structure builder for XML source data, reading with vorlane.

    *target* is the target object, by default a standard TreeBuilder; its ``start``,
    ``data``, ``end`` and ``close`` methods are called as the standard XMLParser calls
    them. *encoding*, if given, overrides the encoding that the document declares.
    The keyword-only options are those of :func:`vorlane.parse_xml`.

    Nothing is incremental: :meth:`feed` keeps the data, :meth:`close` parses the whole
    document and only then calls the target, in document order. Comments, processing
    instructions, namespace declarations and the DOCTYPE are not reported to the target.

    >>> parser = XMLParser()
    >>> parser.feed("<greeting lang='en'>")
    >>> parser.feed("hello</greeting>")
    >>> parser.close().text
    'hello'
    """

    def __init__(
        self,
        *,
        target: Any = None,
        encoding: str | None = None,
        **options: Unpack[_ParseOptions],
    ) -> None:
        self._setup(target, encoding, _checked_options(options, "XMLParser"))

    def _setup(self, target: Any, encoding: str | None, options: _ParseOptions) -> None:
        self._builds_tree = target is None  # the parsed tree is the result, nothing to replay
        self.target: Any = TreeBuilder() if target is None else target
        # Looked up once, here, as the standard parser does: an error of the lookup
        # itself (other than AttributeError) surfaces now.
        self._start: Callable[..., Any] | None = getattr(self.target, "start", None)
        self._data: Callable[[str], Any] | None = getattr(self.target, "data", None)
        self._end: Callable[[str], Any] | None = getattr(self.target, "end", None)
        getattr(self.target, "comment", None)
        getattr(self.target, "pi", None)
        self._close: Callable[[], Any] | None = getattr(self.target, "close", None)
        self.entity: dict[str, str] = {}  # kept for code that fills it; entities are never expanded
        self.version = f"vorlane {_version()}"
        self._encoding = encoding
        self._options = options
        self._pieces: list[str | bytes] = []
        self._closed = False
        # The events close() records for the pull parser and iterparse.
        self._wanted: frozenset[str] = frozenset()
        self._events: Iterator[_Event] = iter(())

    def feed(self, data: str | Buffer) -> None:
        """Feed encoded data to parser."""
        if self._closed:
            raise ParseError("feed() after close()")
        if isinstance(data, (str, bytes)):
            self._pieces.append(data)
        elif isinstance(data, Buffer):
            self._pieces.append(bytes(data))
        else:
            raise TypeError(f"feed() takes str or bytes, not {type(data).__name__}")

    def flush(self) -> None:
        """Nothing to do: the data waits for :meth:`close` in any case."""

    def close(self) -> Any:
        """Finish feeding data to parser; parse and return what the target's ``close`` returns."""
        if self._closed:
            raise ParseError("close() was called already")
        self._closed = True
        document = _join_documents(self._pieces)
        self._pieces = []
        root = _parse_document(document, self._options, self._encoding)
        if self._builds_tree:
            self._events = _tree_events(root, self._wanted)
            return root
        self._events = iter(self._replay(root, self._wanted))
        return self._close() if self._close is not None else None

    def _replay(self, root: Element, wanted: frozenset[str]) -> list[_Event]:
        """Call the target for *root*'s tree; the events with what the target returned."""
        start, data, end = self._start, self._data, self._end
        events: list[_Event] = []
        for event, element in _walk(root):
            if event == "start":
                result = start(element.tag, element.attrib) if start is not None else None
                if "start" in wanted:
                    events.append(("start", result))
                if element.text and data is not None:
                    data(element.text)
            else:
                result = end(element.tag) if end is not None else None
                if "end" in wanted:
                    events.append(("end", result))
                if element.tail and data is not None and element is not root:
                    data(element.tail)
        return events


class XMLPullParser:
    """Parser that reports events, reading with vorlane.

    *events* is a sequence of event names: "start" and "end" (the default is "end"
    only). "start-ns", "end-ns", "comment" and "pi" raise ValueError: vorlane does not
    keep what they report. The keyword-only options are those of :func:`vorlane.parse_xml`.

    Nothing is incremental: :meth:`feed` keeps the data and :meth:`close` parses the
    whole document; :meth:`read_events` then yields its events. Asking for events after
    feeding and before close() raises RuntimeError rather than yield nothing.

    >>> parser = XMLPullParser(events=("start", "end"))
    >>> parser.feed("<a><b/></a>")
    >>> parser.close()
    >>> [(event, element.tag) for event, element in parser.read_events()]
    [('start', 'a'), ('start', 'b'), ('end', 'b'), ('end', 'a')]
    """

    def __init__(
        self,
        events: Iterable[str] | None = None,
        *,
        _parser: XMLParser | None = None,
        **options: Unpack[_ParseOptions],
    ) -> None:
        _checked_options(options, "XMLPullParser")
        self._wanted = _wanted_events(events)
        if _parser is None:
            _parser = XMLParser.__new__(XMLParser)
            _parser._setup(None, None, options)
        else:
            _check_parser(_parser, options, "XMLPullParser")
        self._parser = _parser
        self._events: _collections.deque[_Event] = _collections.deque()

    def feed(self, data: str | Buffer) -> None:
        """Feed encoded data to parser."""
        self._parser.feed(data)

    def flush(self) -> None:
        """Nothing to do: the data waits for :meth:`close` in any case."""

    def close(self) -> None:
        """Finish feeding data to parser: parse it and make its events available."""
        self._parser._wanted = self._wanted
        self._parser.close()
        self._events.extend(self._parser._events)

    def read_events(self) -> Iterator[_Event]:
        """Return an iterator over the events not yet read; they exist after :meth:`close`.

        Iterating while fed data waits for close() raises RuntimeError: events that
        an incremental parser would give are not there yet.
        """
        events = self._events
        while events or self._parser._pieces:
            if not events:
                raise RuntimeError(
                    "vorlane.ElementTree.XMLPullParser is not incremental: events are available after "
                    "close(); call close() first, or use iterparse() or parse()"
                )
            yield events.popleft()


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

        *source* is a file name or file object, read whole. *parser* is an optional
        XMLParser of this module; without it the keyword-only options are those of
        :func:`vorlane.parse_xml`. Returns the root element of the given source document.

        >>> import io
        >>> ElementTree().parse(io.BytesIO(b"<a><b/></a>"), max_depth=5).tag
        'a'
        """
        return self._parse(source, parser, options)

    def _parse(self, source: _Source, parser: object, options: _ParseOptions) -> Element:
        root: Element = _parse_with(_read_whole(source), parser, options, "parse")
        self._setroot(root)
        return root


def fromstring(
    text: _Document,
    parser: XMLParser | None = None,
    **options: Unpack[_ParseOptions],
) -> Element:
    """Parse XML document from string constant.

    *text* is a string or bytes holding a whole XML document, *parser* an optional
    XMLParser of this module. Without a parser the keyword-only options are those of
    :func:`vorlane.parse_xml`. Returns an Element instance.

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

    *source* is a filename or file object holding the XML data, read whole, *parser*
    and the options are those of :func:`fromstring`. Return an ElementTree instance.

    >>> import io
    >>> parse(io.StringIO("<config><port>8080</port></config>")).findtext("port")
    '8080'
    """
    tree = ElementTree()
    tree._parse(source, parser, options)
    return tree


class _Writer(Protocol):
    def write(self, text: str, /) -> object: ...


class _IterParseIterator(Iterator[_Event]):
    root: Element | None = None

    def __init__(self, events: Iterator[_Event], close_source: Callable[[], None]) -> None:
        self._events = events
        self._close_source = close_source

    def __next__(self) -> _Event:
        return next(self._events)

    def close(self) -> None:
        self._close_source()
        if isinstance(self._events, Generator):
            self._events.close()

    def __del__(self) -> None:
        self._close_source()


def iterparse(
    source: _Source,
    events: Iterable[str] | None = None,
    parser: XMLParser | None = None,
    **options: Unpack[_ParseOptions],
) -> _IterParseIterator:
    """Parse XML document into element tree, reporting events.

    *source* is a filename or file object, *events* a sequence of the events to report,
    "start" and "end" (the default is "end" only); "start-ns", "end-ns", "comment" and
    "pi" raise ValueError, since vorlane does not keep what they report. *parser* and
    the options are those of :func:`fromstring`.

    This is not incremental: the first step reads and parses the whole document, so a
    malformed or refused document raises before any event. The events then come in the
    order, and with the elements, that the standard iterparse gives for the document.
    The iterator's ``root`` is set once the events are exhausted.

    >>> import io
    >>> for event, element in iterparse(io.BytesIO(b"<log><e>1</e><e>2</e></log>")):
    ...     if element.tag == "e":
    ...         print(element.text)
    ...         element.clear()
    1
    2
    """
    _checked_options(options, "iterparse")
    wanted = _wanted_events(events)
    if parser is not None:
        _check_parser(parser, options, "iterparse")
    if hasattr(source, "read"):
        handle: Any = source
        opened = False
    else:
        handle = open(source, "rb")  # noqa: SIM115 - closed by the iterator
        opened = True

    def close_source() -> None:
        if opened:
            handle.close()

    def generate() -> Iterator[_Event]:
        try:
            document = _read_whole(handle)
        finally:
            close_source()
        if parser is None:
            root: Element = _parse_document(document, options)
            yield from _tree_events(root, wanted)
        else:
            parser._wanted = wanted
            parser.feed(document)
            root = parser.close()  # what a subclass's close() returns, as from the standard iterparse
            yield from parser._events
        iterator = reference()
        if iterator is not None:
            iterator.root = root

    result = _IterParseIterator(generate(), close_source)
    reference = _weakref.ref(result)
    return result


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

    vorlane keeps neither comments, nor processing instructions, nor namespace
    prefixes, and applies no DTD, so where the canonical form would need them this
    raises ValueError rather than give another one: for ``with_comments=True``, and for
    a document with a processing instruction or an ``<!ATTLIST`` declaration. A
    document that uses namespaces needs ``rewrite_prefixes=True``.

    >>> canonicalize("<doc b='2' a='1'><empty/></doc>")
    '<doc a="1" b="2"><empty></empty></doc>'
    """
    if with_comments:
        raise ValueError("canonicalize() cannot keep comments: vorlane does not keep them")
    if xml_data is None:
        if from_file is None:
            raise ValueError("Either 'xml_data' or 'from_file' must be provided as input")
        xml_data = _read_whole(from_file)
    document = _decode_document(xml_data)
    unkept = _unkept_in_canonical_form(document)
    if unkept is not None:
        raise ValueError(f"canonicalize() cannot give the canonical form of a document with {unkept}")
    buffer = None
    if out is None:
        buffer = out = _io.StringIO()
    target = C14NWriterTarget(
        out.write,
        strip_text=strip_text,
        rewrite_prefixes=rewrite_prefixes,
        qname_aware_tags=qname_aware_tags,
        qname_aware_attrs=qname_aware_attrs,
        exclude_attrs=exclude_attrs,
        exclude_tags=exclude_tags,
    )
    parser = XMLParser(target=target)
    parser.feed(document)
    parser.close()
    return buffer.getvalue() if buffer is not None else None


def _unkept_in_canonical_form(document: str | bytes) -> str | None:
    """What the standard canonical form of *document* would show that vorlane does not keep.

    Judged from the text, so a "<?" or "<!ATTLIST" in a comment or CDATA section is
    taken at its word: refusing too much is the safe side for a canonical form.
    """
    text = document if isinstance(document, str) else document.decode("latin-1")
    text = text.removeprefix("\ufeff").removeprefix("\xef\xbb\xbf")
    body = text[text.find("?>") + 2 :] if text.startswith("<?xml") else text
    if "<?" in body:
        return "processing instructions (vorlane does not keep them)"
    if "<!ATTLIST" in text:
        return "an <!ATTLIST declaration (vorlane applies no DTD)"
    return None


# The standard parsers are not reachable from here.
del _standard
