"""Parsing functions with the names and results of :mod:`xml.etree.ElementTree`.

Each reads one whole document with the keyword-only options of :func:`vorlane.parse_xml`
and one more, ``strict``, after :func:`vorlane.decode.decode_document` has chosen the text
encoding of a document given as bytes.
"""

from __future__ import annotations

import os
from collections.abc import Buffer, Iterable, Mapping
from typing import Protocol, TypedDict, Unpack, cast
from xml.etree.ElementTree import Element, ElementTree

from vorlane._events import parse_document
from vorlane.common import DefusedXmlException, ParseError, located
from vorlane.decode import decode_document

__all__ = [
    "XML",
    "XMLID",
    "ParseOptions",
    "fromstring",
    "fromstringlist",
    "parse",
]


class ParseOptions(TypedDict, total=False):
    """The options of every parsing function, for passing them on as ``**options``.

    This is the one declaration of the options in Python: every entry point takes
    ``**options: Unpack[ParseOptions]``, and a test holds it to the option table of the
    extension, its stub and the command line.

    ``strict`` is this package's own: on (the default), a document that XML 1.0 and
    Namespaces in XML call not well-formed is refused, and line ends and white space in
    attribute values are normalised as XML requires, so trees equal the standard
    library's. ``strict=False`` reads as :func:`vorlane.parse_xml` does: tolerant, and
    everything kept as written. The limits and switches are parse_xml's.

    >>> options: ParseOptions = {"forbid_dtd": True, "max_depth": 50}
    >>> fromstring("<a><b/></a>", **options).tag
    'a'
    >>> fromstring("<a>1\\r\\n2</a>").text, fromstring("<a>1\\r\\n2</a>", strict=False).text
    ('1\\n2', '1\\r\\n2')
    """

    forbid_dtd: bool
    forbid_entities: bool
    forbid_external: bool
    max_depth: int
    max_entity_size: int
    max_text_size: int
    max_attributes: int
    max_attribute_size: int
    max_name_size: int
    max_comment_size: int
    strict: bool


_OPTION_NAMES = frozenset(ParseOptions.__annotations__)
#: ``strict`` when a caller leaves it out: every road of the package is strict by default.
STRICT_DEFAULT = True


def engine_options(options: ParseOptions) -> ParseOptions:
    """*options* with ``strict`` settled, as the engine takes them (it is tolerant unless told).

    >>> engine_options({"max_depth": 5})
    {'max_depth': 5, 'strict': True}
    """
    if "strict" in options:
        return options
    settled = options.copy()
    settled["strict"] = STRICT_DEFAULT
    return settled


def _checked_options(options: Mapping[str, object], caller: str) -> ParseOptions:
    """*options* if they are all options; a TypeError in *caller*'s name otherwise.

    Checked where they are taken, so an object that parses later (``XMLParser``) refuses
    a misspelt option when it is made, as a function with explicit keywords would.
    """
    for name in options:
        if name not in _OPTION_NAMES:
            raise TypeError(f"{caller}() got an unexpected keyword argument {name!r}")
    return cast(ParseOptions, options)


class Readable(Protocol):
    """A file object opened in binary or text mode."""

    def read(self, /) -> str | bytes: ...


#: A document: text, or bytes in the encoding its start declares.
Document = str | Buffer
#: Where :func:`parse` reads a document from.
Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | Readable

# The parser's two fixed limits, which no option raises. Its messages for them speak to
# its native callers; a Python caller is told what the limit means for them instead.
_FIXED_LIMITS = (
    (
        "more than 128 namespace bindings in scope",
        "more than 128 namespace bindings in scope: a fixed limit that no option raises "
        "(a document needs fewer xmlns declarations open at once)",
    ),
    (
        "document nests elements deeper than the supported limit of 65535",
        "document nests elements deeper than the supported limit of 65535: a fixed limit "
        "that no option raises, whatever max_depth says",
    ),
)


def _parse_document(document: Document, options: ParseOptions, encoding: str | None = None) -> Element:
    """Parse *document* (str or bytes) with *options*; the one road to the parser."""
    try:
        text = decode_document(document, encoding)
    except ParseError as exc:
        raise located(exc, _failure_position(document, encoding, options, exc, decoding=True)) from exc.__cause__
    try:
        return parse_document(text, **engine_options(options))
    except (ParseError, DefusedXmlException) as exc:
        raise located(_explained(exc), _failure_position(document, encoding, options, exc)) from None
    except ValueError as exc:
        if type(exc) is ValueError and isinstance(document, str):
            try:
                _refuse_unencodable(document)
            except ParseError as refusal:
                position = _failure_position(document, encoding, options, refusal, decoding=True)
                raise located(refusal, position) from None
        raise


def _failure_position(
    document: Document, encoding: str | None, options: ParseOptions, failure: BaseException, decoding: bool = False
) -> tuple[int, int] | None:
    # Imported here: the incremental road is built on this module.
    from vorlane._incremental import failure_position

    return failure_position(document, encoding, options, failure, decoding)


def _explained(exc: BaseException) -> BaseException:
    """*exc*, or in its place what one of the two fixed limits means to a Python caller."""
    message = str(exc)
    for native, explained in _FIXED_LIMITS:
        if isinstance(exc, ParseError) and message.startswith(native):
            return ParseError(explained)
    return exc


def _refuse_unencodable(text: str) -> None:
    """ParseError for a str that has no UTF-8 form: a lone surrogate is no character."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise ParseError(
            f"the document is not Unicode text: {exc.reason} (U+{ord(text[exc.start]):04X} at character {exc.start})"
        ) from None


def _file_object(source: Source) -> Readable | None:
    """*source* if it is a file object, None if it is a path (a str subclass with ``read`` is one)."""
    if isinstance(source, (str, bytes, os.PathLike)) or not hasattr(source, "read"):
        return None
    return source


def _read_source(source: Source) -> str | bytes:
    """The whole content of *source*: a file object read in one call, or a path opened in binary mode."""
    reader = _file_object(source)
    if reader is None:
        with open(source, "rb") as handle:  # type: ignore[arg-type]
            data = handle.read()
    else:
        data = reader.read()
    if isinstance(data, (str, bytes)):
        return data
    if isinstance(data, Buffer):
        return bytes(data)
    raise TypeError(f"read() must return str or bytes, not {type(data).__name__}")


def _join_documents(sequence: Iterable[Document]) -> str | bytes:
    """The pieces of one document joined; all text or all bytes."""
    pieces = list(sequence)
    if all(isinstance(piece, str) for piece in pieces):
        return "".join(pieces)  # type: ignore[arg-type]
    if any(isinstance(piece, str) for piece in pieces):
        raise TypeError("the pieces of a document must be all str or all bytes")
    return b"".join(pieces)  # type: ignore[arg-type]


def _collect_ids(root: Element) -> dict[str, Element]:
    """The elements under *root* (itself included) by their non-empty ``id`` attribute."""
    ids: dict[str, Element] = {}
    for element in root.iter():
        identifier = element.get("id")
        if identifier:
            ids[identifier] = element
    return ids


def fromstring(text: Document, **options: Unpack[ParseOptions]) -> Element:
    """Parse XML document from string constant.

    *text* is a string or bytes containing a whole XML document. Bytes are read in the
    encoding that a UTF-16 or UTF-32 byte order mark or the XML declaration names, and
    as UTF-8 otherwise. The keyword-only options are :class:`ParseOptions`: parse_xml's
    and ``strict``.

    Returns the root Element. Raises :class:`vorlane.ParseError` for malformed input
    and :class:`vorlane.DefusedXmlException` (or a subclass) for a refused document.

    >>> root = fromstring("<feed><entry id='1'>one</entry></feed>")
    >>> root.find("entry").text
    'one'
    >>> fromstring(b"<?xml version='1.0' encoding='windows-1251'?><p>\\xcc\\xe8\\xf0</p>").text
    'Мир'
    >>> fromstring("<!DOCTYPE p [<!ENTITY e 'x'>]><p>&e;</p>")
    Traceback (most recent call last):
      ...
    vorlane.common.EntitiesForbidden: entity 'e' is forbidden (name='e', value='x')
    """
    return _parse_document(text, _checked_options(options, "fromstring"))


#: ``XML`` is :func:`fromstring`, as in :mod:`xml.etree.ElementTree`.
XML = fromstring


def fromstringlist(sequence: Iterable[Document], **options: Unpack[ParseOptions]) -> Element:
    """Parse XML document from sequence of string fragments.

    *sequence* is an iterable of strings, or of bytes, that together make one document;
    the options are those of :func:`fromstring`. Returns the root Element.

    >>> fromstringlist(["<a><b>", "text</b", "></a>"])[0].text
    'text'
    """
    return _parse_document(_join_documents(sequence), _checked_options(options, "fromstringlist"))


def XMLID(text: Document, **options: Unpack[ParseOptions]) -> tuple[Element, dict[str, Element]]:
    """Parse XML document from string constant for its ID dictionary.

    *text* and the options are those of :func:`fromstring`.

    Returns an (Element, dict) tuple, in which the dict maps each non-empty ``id``
    attribute value to its element.

    >>> root, ids = XMLID("<doc><sec id='intro'/><sec id='end'/></doc>")
    >>> sorted(ids), ids["end"] is root[1]
    (['end', 'intro'], True)
    """
    root = _parse_document(text, _checked_options(options, "XMLID"))
    return root, _collect_ids(root)


def parse(source: Source, **options: Unpack[ParseOptions]) -> ElementTree:
    """Parse XML document into element tree.

    *source* is a filename or path (str, bytes or os.PathLike) or a file object opened
    in binary or text mode; it is read and parsed 64 KiB at a time, never held whole. Errors opening
    a file are the usual OSErrors. The options are those of :func:`fromstring`.

    Return an ElementTree instance.

    >>> import io
    >>> tree = parse(io.BytesIO(b"<config><port>8080</port></config>"))
    >>> tree.getroot().findtext("port")
    '8080'
    """
    from vorlane._incremental import parse_stream  # it builds on this module

    return ElementTree(parse_stream(source, _checked_options(options, "parse")))
