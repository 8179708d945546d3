"""``parse`` and ``parseString`` of :mod:`xml.dom.minidom`, built on the event engine.

The result is a standard :class:`xml.dom.minidom.Document`, built as the standard expat
builder builds it (namespace declarations first among an element's attributes, comments
and processing instructions in place, adjacent text in one node, CDATA sections kept), so its ``toxml()`` is
the standard one. A DOCTYPE is analysed, never applied: an allowed one becomes the
document's ``DocumentType`` (name, identifiers and internal subset as written, with no
entities or notations). Refusals raise vorlane's exceptions; malformed input raises
:class:`vorlane.common.ParseError`.
"""

from __future__ import annotations

import re
from collections.abc import Buffer, Iterator
from typing import Any, Unpack
from xml.dom import XMLNS_NAMESPACE, minidom

from vorlane._events import EventParser
from vorlane._incremental import Decoder, chunks
from vorlane.api import ParseOptions, _checked_options, engine_options

__all__ = ["parse", "parseString"]

_CDATA_OPEN = b"<![CDATA["
_REFERENCE = re.compile(r"&[^;]*;")


def _line_ends(text: str) -> str:
    r"""*text* with each ``\r\n`` and lone ``\r`` one ``\n``, as a strict reading gives text.

    >>> _line_ends("a\r\nb\rc")
    'a\nb\nc'
    """
    return text.replace("\r\n", "\n").replace("\r", "\n")


def _sections(text: str, raw: bytes | bytearray, start: int, strict: bool) -> Iterator[tuple[bool, str]]:
    r"""The run of character data *text*, written at *start* of *raw*, cut into its CDATA
    sections (True) and the text between them (False), as the standard builder keeps them.

    Only predefined and character references can stand in a run the engine delivers, and
    each stands for one character, so the text between sections is measured on the bytes;
    read strictly, a written ``\r\n`` is one character.

    >>> list(_sections("a\nb", b"<r>a\r\n<![CDATA[b]]></r>", 3, True))
    [(False, 'a\n'), (True, 'b')]
    """
    at, taken = start, 0
    while True:
        end = raw.find(b"<", at)
        if end != at:
            written = raw[at:end].decode("utf-8")
            size = len(written) - sum(len(ref) - 1 for ref in _REFERENCE.findall(written))
            size -= written.count("\r\n") if strict else 0
            yield False, text[taken : taken + size]
            taken += size
            at = end
        if not raw.startswith(_CDATA_OPEN, at):
            return
        close = raw.index(b"]]>", at)
        content = raw[at + len(_CDATA_OPEN) : close].decode("utf-8")
        size = len(content) - (content.count("\r\n") if strict else 0)
        yield True, text[taken : taken + size]
        taken += size
        at = close + 3


def _build(pieces: Iterator[str | Buffer], options: ParseOptions) -> minidom.Document:
    document = minidom.getDOMImplementation().createDocument(None, None, None)
    settled = engine_options(options)
    strict = settled["strict"]
    engine = EventParser(**settled)
    decoder = Decoder(None)
    node: Any = document
    declared: list[tuple[str, str]] = []
    out: list[tuple[Any, ...]] = []
    raw = bytearray()  # the document as the engine read it, to find its CDATA sections

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
                    namespace = key[1 : key.index("}")] if key.startswith("{") else None
                    element.setAttributeNS(namespace, name, value)
                node.appendChild(element)
                node = element
            elif kind == "end":
                node = node.parentNode
            elif kind == "data":
                for cdata, text in _sections(event[1], raw, event[2], strict):
                    last = node.lastChild
                    if cdata and text:
                        node.appendChild(document.createCDATASection(text))
                    elif not text or cdata:
                        continue  # the standard builder makes no node of nothing
                    elif last is not None and last.nodeType == last.TEXT_NODE:
                        last.data += text
                    else:
                        node.appendChild(document.createTextNode(text))
            elif kind == "comment":
                node.appendChild(document.createComment(event[1]))
            elif kind == "pi":
                node.appendChild(document.createProcessingInstruction(event[1], event[2]))
            elif kind == "start-ns":
                declared.append((event[1], event[2]))
            elif kind == "doctype":
                _, name, public_id, system_id, subset, _ = event
                doctype = document.implementation.createDocumentType(name, public_id, system_id)
                doctype.ownerDocument = document
                doctype.internalSubset = subset if subset is None or not strict else _line_ends(subset)
                document.appendChild(doctype)
                document.doctype = doctype
        out.clear()

    try:
        for piece in pieces:
            data = decoder.feed(piece)
            if data:
                raw += data
                engine.feed(data, False, out)
                apply()
        data = decoder.close()
        raw += data
        engine.feed(data, True, out)
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
    return _build(chunks(file), _checked_options(options, "parse"))


def parseString(string: str | Buffer, **options: Unpack[ParseOptions]) -> minidom.Document:
    """The document *string* (text, or bytes in the encoding it declares).

    >>> parseString("<a><!--c-->t<?p d?></a>").documentElement.toxml()
    '<a><!--c-->t<?p d?></a>'
    >>> parseString("<!DOCTYPE a [<!ELEMENT a ANY>]><a/>").doctype.toxml()
    '<!DOCTYPE a [<!ELEMENT a ANY>]>'
    """
    return _build(iter([string]), _checked_options(options, "parseString"))
