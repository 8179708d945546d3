"""Parsing functions with the names and results of :mod:`xml.etree.ElementTree`.

Each reads one whole document with :func:`vorlane.parse_xml` and its keyword-only
options, after :func:`vorlane.decode.decode_document` has chosen the text encoding of
a document given as bytes.
"""

from __future__ import annotations

import os
from collections.abc import Buffer, Iterable
from typing import Protocol, TypedDict
from xml.etree.ElementTree import Element, ElementTree

from vorlane._vorlane import parse_xml
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
    """The options of every parsing function, for passing them on as ``**options``."""

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


# The options in the order of parse_xml's positional parameters.
_Options = tuple[bool, bool, bool, int, int, int, int, int, int, int]


class Readable(Protocol):
    """A file object opened in binary or text mode."""

    def read(self, /) -> str | bytes: ...


#: A document: text, or bytes in the encoding its start declares.
Document = str | Buffer
#: Where :func:`parse` reads a document from.
Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | Readable


def _parse_document(document: Document, options: _Options) -> Element:
    """Parse *document* (str or bytes) with *options*; the one road to the parser."""
    return parse_xml(decode_document(document), *options)


def _read_source(source: Source) -> str | bytes:
    """The whole content of *source*: a file object read in one call, or a path opened in binary mode."""
    if hasattr(source, "read"):
        data = source.read()
    else:
        with open(source, "rb") as handle:
            data = handle.read()
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


def fromstring(
    text: Document,
    *,
    forbid_dtd: bool = False,
    forbid_entities: bool = True,
    forbid_external: bool = True,
    max_depth: int = 1000,
    max_entity_size: int = 10485760,
    max_text_size: int = 104857600,
    max_attributes: int = 1000,
    max_attribute_size: int = 10485760,
    max_name_size: int = 1024,
    max_comment_size: int = 10485760,
) -> Element:
    """Parse XML document from string constant.

    *text* is a string or bytes containing a whole XML document. Bytes are read in the
    encoding that a UTF-16 or UTF-32 byte order mark or the XML declaration names, and
    as UTF-8 otherwise. The keyword-only options are those of :func:`vorlane.parse_xml`.

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
    return _parse_document(
        text,
        (forbid_dtd, forbid_entities, forbid_external, max_depth, max_entity_size,
                 max_text_size, max_attributes, max_attribute_size, max_name_size, max_comment_size),
    )


#: ``XML`` is :func:`fromstring`, as in :mod:`xml.etree.ElementTree`.
XML = fromstring


def fromstringlist(
    sequence: Iterable[Document],
    *,
    forbid_dtd: bool = False,
    forbid_entities: bool = True,
    forbid_external: bool = True,
    max_depth: int = 1000,
    max_entity_size: int = 10485760,
    max_text_size: int = 104857600,
    max_attributes: int = 1000,
    max_attribute_size: int = 10485760,
    max_name_size: int = 1024,
    max_comment_size: int = 10485760,
) -> Element:
    """Parse XML document from sequence of string fragments.

    *sequence* is an iterable of strings, or of bytes, that together make one document;
    the options are those of :func:`fromstring`. Returns the root Element.

    >>> fromstringlist(["<a><b>", "text</b", "></a>"])[0].text
    'text'
    """
    return _parse_document(
        _join_documents(sequence),
        (forbid_dtd, forbid_entities, forbid_external, max_depth, max_entity_size,
                 max_text_size, max_attributes, max_attribute_size, max_name_size, max_comment_size),
    )


def XMLID(
    text: Document,
    *,
    forbid_dtd: bool = False,
    forbid_entities: bool = True,
    forbid_external: bool = True,
    max_depth: int = 1000,
    max_entity_size: int = 10485760,
    max_text_size: int = 104857600,
    max_attributes: int = 1000,
    max_attribute_size: int = 10485760,
    max_name_size: int = 1024,
    max_comment_size: int = 10485760,
) -> tuple[Element, dict[str, Element]]:
    """Parse XML document from string constant for its ID dictionary.

    *text* and the options are those of :func:`fromstring`.

    Returns an (Element, dict) tuple, in which the dict maps each non-empty ``id``
    attribute value to its element.

    >>> root, ids = XMLID("<doc><sec id='intro'/><sec id='end'/></doc>")
    >>> sorted(ids), ids["end"] is root[1]
    (['end', 'intro'], True)
    """
    root = _parse_document(
        text,
        (forbid_dtd, forbid_entities, forbid_external, max_depth, max_entity_size,
                 max_text_size, max_attributes, max_attribute_size, max_name_size, max_comment_size),
    )
    return root, _collect_ids(root)


def parse(
    source: Source,
    *,
    forbid_dtd: bool = False,
    forbid_entities: bool = True,
    forbid_external: bool = True,
    max_depth: int = 1000,
    max_entity_size: int = 10485760,
    max_text_size: int = 104857600,
    max_attributes: int = 1000,
    max_attribute_size: int = 10485760,
    max_name_size: int = 1024,
    max_comment_size: int = 10485760,
) -> ElementTree:
    """Parse XML document into element tree.

    *source* is a filename or path (str, bytes or os.PathLike) or a file object opened
    in binary or text mode; it is read whole, with one call of ``read()``. Errors opening
    a file are the usual OSErrors. The options are those of :func:`fromstring`.

    Return an ElementTree instance.

    >>> import io
    >>> tree = parse(io.BytesIO(b"<config><port>8080</port></config>"))
    >>> tree.getroot().findtext("port")
    '8080'
    """
    return ElementTree(
        _parse_document(
            _read_source(source),
            (forbid_dtd, forbid_entities, forbid_external, max_depth, max_entity_size,
                      max_text_size, max_attributes, max_attribute_size, max_name_size, max_comment_size),
        )
    )
