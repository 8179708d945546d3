"""Choosing the text encoding of a document given as bytes.

``parse_xml`` reads UTF-8 only. The parsing functions of :mod:`vorlane.api` pass other
documents through :func:`decode_document` first: a UTF-16 or UTF-32 byte order mark, a
first ``<`` written in one of them, or an encoding named in the XML declaration, selects a Python text codec and the document
goes to the parser as ``str``. Everything else is UTF-8 and stays ``bytes``, untouched.

Only the first :data:`DECLARATION_WINDOW` characters are ever looked at to find the
declaration, and only character encodings from a fixed list are used: a document cannot
select UTF-7 or another stateful 7-bit encoding, an escape codec or a bytes-to-bytes
transform such as ``zlib``.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Buffer
from encodings import aliases as _aliases
from encodings import normalize_encoding

from vorlane.common import ParseError

__all__ = ["DECLARATION_WINDOW", "codec_of", "decode_document", "sniff_encoding"]

#: How many characters from the start of a document may hold its XML declaration.
DECLARATION_WINDOW = 1024

# The whole policy: what a document may do with each codec (keys are module names of the
# ``encodings`` package). UTF-8 goes to the parser as bytes; an 8-bit codec writes every
# ASCII character that markup uses as its ASCII byte, and nothing else as one, whatever
# came before (the tests check this), so a declaration read as ASCII means the same in it;
# a wide codec is read only when a byte order mark or the first bytes select it. Any other
# value is the reason a codec is refused; a codec missing here is unknown.
_UTF8 = "utf-8"
_8BIT = "8-bit"
_WIDE = "wide"
_NOT_TEXT = "not a character encoding"
_STATEFUL = "a stateful 7-bit encoding: its escape sequences can write markup that its bytes do not show"
_POLICY: dict[str, str] = {
    "utf_8": _UTF8,
    "utf_8_sig": _UTF8,
    **dict.fromkeys(["utf_16", "utf_16_le", "utf_16_be", "utf_32", "utf_32_le", "utf_32_be"], _WIDE),
    **dict.fromkeys(
        """
        ascii latin_1 iso8859_1 iso8859_2 iso8859_3 iso8859_4 iso8859_5 iso8859_6 iso8859_7
        iso8859_8 iso8859_9 iso8859_10 iso8859_11 iso8859_13 iso8859_14 iso8859_15 iso8859_16
        cp1250 cp1251 cp1252 cp1253 cp1254 cp1255 cp1256 cp1257 cp1258 cp437 cp720 cp737 cp775
        cp850 cp852 cp855 cp856 cp857 cp858 cp860 cp861 cp862 cp863 cp865 cp866 cp869 cp874
        cp1006 cp1125 koi8_r koi8_t koi8_u kz1048 ptcp154 tis_620 hp_roman8 mac_arabic
        mac_croatian mac_cyrillic mac_farsi mac_greek mac_iceland mac_latin2 mac_roman
        mac_romanian mac_turkish big5 big5hkscs cp932 cp949 cp950 euc_jis_2004 euc_jisx0213
        euc_jp euc_kr gb18030 gb2312 gbk johab shift_jis shift_jis_2004 shift_jisx0213
        """.split(),
        _8BIT,
    ),
    "utf_7": "UTF-7 can write markup without the bytes of '<' and '&'",
    **dict.fromkeys(
        [
            "hz",
            "iso2022_jp",
            "iso2022_jp_1",
            "iso2022_jp_2",
            "iso2022_jp_2004",
            "iso2022_jp_3",
            "iso2022_jp_ext",
            "iso2022_kr",
        ],
        _STATEFUL,
    ),
    "unicode_escape": "backslash escapes can write markup without its bytes",
    "raw_unicode_escape": "backslash escapes can write markup without its bytes",
    "idna": "it encodes host names, not documents",
    "punycode": "it encodes host names, not documents",
    **dict.fromkeys(
        [
            "base64_codec",
            "bz2_codec",
            "hex_codec",
            "quopri_codec",
            "rot_13",
            "uu_codec",
            "zlib_codec",
            "charmap",
            "undefined",
        ],
        _NOT_TEXT,
    ),
    "mbcs": "it depends on the Windows configuration",
    "oem": "it depends on the Windows configuration",
    "palmos": "not a document encoding",
    **dict.fromkeys(
        ["cp037", "cp273", "cp424", "cp500", "cp875", "cp1026", "cp1140"], "EBCDIC is not read from the declaration"
    ),
}

# Byte order marks and, for documents without one, the first bytes of "<" in a wide
# encoding (as expat detects them). Four-byte starts are tried first: FF FE 00 00 and
# 3C 00 00 00 are UTF-32. No UTF-8 document starts with a NUL byte or "<" and one.
_WIDE_STARTS = {
    codecs.BOM_UTF32_LE: "utf_32_le",
    codecs.BOM_UTF32_BE: "utf_32_be",
    b"<\0\0\0": "utf_32_le",
    b"\0\0\0<": "utf_32_be",
    codecs.BOM_UTF16_LE: "utf_16_le",
    codecs.BOM_UTF16_BE: "utf_16_be",
    b"<\0": "utf_16_le",
    b"\0<": "utf_16_be",
}


def sniff_encoding(head: bytes) -> str | None:
    """The codec that the first bytes of a document select before any declaration is read.

    A UTF-16 or UTF-32 byte order mark, or ``<`` in UTF-16 or UTF-32 without one, selects
    that codec of one byte order; a UTF-8 byte order mark selects ``utf_8_sig``. Anything
    else is None: the declaration, if any, decides, else UTF-8.

    >>> sniff_encoding("<a/>".encode("utf-16")), sniff_encoding("<a/>".encode("utf-16-be"))
    ('utf_16_le', 'utf_16_be')
    >>> sniff_encoding(b"\\0\\0\\0<\\0\\0\\0a"), sniff_encoding(b"<a/>")
    ('utf_32_be', None)
    """
    family = _WIDE_STARTS.get(head[:4]) or _WIDE_STARTS.get(head[:2])
    if family is None and head.startswith(codecs.BOM_UTF8):
        return "utf_8_sig"
    return family


_S = "[ \t\r\n]"
_VALUE = "(?:\"([^\"<]*)\"|'([^'<]*)')"
# A declaration as the grammar has it, read in one match; anything else goes the slow way.
_DECLARATION = re.compile(
    f"<\\?xml{_S}+version{_S}*={_S}*(?:\"[^\"<]*\"|'[^'<]*')"
    f"(?:{_S}+encoding{_S}*={_S}*{_VALUE})?"
    f"(?:{_S}+standalone{_S}*={_S}*(?:\"[^\"<]*\"|'[^'<]*'))?{_S}*\\?>"
)
_DECLARATION_START = re.compile(f"<\\?xml(?={_S}|\\?)")
_PSEUDO_ATTRIBUTE = re.compile(f"{_S}+([A-Za-z]+){_S}*={_S}*{_VALUE}")
_DECLARATION_END = re.compile(f"{_S}*\\?>")
_ENCODING_NAME = re.compile(r"[A-Za-z][A-Za-z0-9._-]*\Z")


def decode_document(data: str | Buffer, encoding: str | None = None) -> str | bytes:
    """Return *data* as the parser should read it.

    *data* is the whole document. A ``str`` is returned unchanged: it is text already,
    and an encoding its declaration names is not applied again. Bytes in UTF-8 (no
    declaration, a UTF-8 byte order mark, or a declaration naming UTF-8) are returned as
    ``bytes``. Bytes with a UTF-16 or UTF-32 byte order mark, or whose XML declaration
    names another encoding, are decoded and returned as ``str``. *encoding*, if given,
    overrides the byte order mark and the declaration.

    Raises :class:`vorlane.ParseError` naming the encoding when it is unknown or refused,
    when the declaration contradicts the byte order mark or the width of the bytes it is
    written in, and with the codec's message when the bytes do not decode.

    >>> decode_document(b"<a>caf\\xc3\\xa9</a>")
    b'<a>caf\\xc3\\xa9</a>'
    >>> decode_document(b"<?xml version='1.0' encoding='latin-1'?><a>caf\\xe9</a>")
    "<?xml version='1.0' encoding='latin-1'?><a>caf\\xe9</a>"
    >>> decode_document("<a/>".encode("utf-16"))
    '\\ufeff<a/>'
    >>> decode_document(b"<?xml version='1.0' encoding='utf-7'?><a/>")
    Traceback (most recent call last):
      ...
    vorlane.common.ParseError: unsupported encoding 'utf-7': UTF-7 can write markup without the bytes of '<' and '&'
    """
    if not isinstance(data, bytes):
        if isinstance(data, str):
            return data
        if not isinstance(data, Buffer):
            raise TypeError(f"a document must be str or bytes, not {type(data).__name__}")
        data = bytes(data)
    codec = codec_of(data, encoding)
    return data if codec == "utf_8" else _decode(data, codec)


def codec_of(head: bytes, encoding: str | None = None) -> str:
    """The codec that reads a document whose first bytes are *head*: ``"utf_8"`` when the
    bytes go to the parser as they are.

    *head* is the whole document or at least its first ``4 * DECLARATION_WINDOW`` bytes,
    or as much of it as holds the end of its XML declaration; *encoding*, if given,
    overrides the byte order mark and the declaration. Raises :class:`vorlane.ParseError`
    as :func:`decode_document` does.

    >>> codec_of(b"<?xml version='1.0' encoding='latin-1'?><a>"), codec_of(b"<a>")
    ('latin_1', 'utf_8')
    """
    if encoding is not None:
        codec = _codec_for(encoding)
        return "utf_8" if _POLICY[codec] == _UTF8 else codec
    if head.startswith(b"<") and not head.startswith((b"<?xml", b"<\0")):
        return "utf_8"  # the common case, decided by two bytes
    sniffed = sniff_encoding(head)
    if sniffed is not None and sniffed != "utf_8_sig":
        _check_wide_declaration(head, sniffed)
        # The codec of one byte order keeps a leading byte order mark as U+FEFF, which the
        # parser skips, so positions in decoding errors count from the document's first byte.
        return sniffed
    offset = 3 if sniffed else 0
    if not head.startswith(b"<?xml", offset):
        return "utf_8"
    declared = _ascii_declaration(head, offset)
    if declared is None:
        return "utf_8"
    name, codec, declaration = declared
    kind = _POLICY[codec]
    if kind == _UTF8:
        return "utf_8"
    if offset:
        raise ParseError(f"the document has a UTF-8 byte order mark but declares encoding {name!r}")
    if kind != _8BIT:
        raise ParseError(f"encoding {name!r} is declared in 8-bit bytes, which it does not read")
    if _decode(head[: len(declaration)], codec) != declaration:
        raise ParseError(f"encoding {name!r} does not read the XML declaration as it is written")
    return codec


def _ascii_declaration(data: bytes, offset: int) -> tuple[str, str, str] | None:
    """The name, codec and text of the encoding that the declaration at *offset* names, if any.

    Only the first DECLARATION_WINDOW bytes are read, whatever the document.
    """
    close = data.find(b"?>", offset, offset + DECLARATION_WINDOW)
    if close < 0:
        _check_closed(data[offset : offset + DECLARATION_WINDOW].decode("latin_1"), len(data) - offset)
        return None
    text = data[offset : close + 2].decode("latin_1")
    name = _read_declaration(text)
    return None if name is None else (name, _codec_for(name), text)


def _check_wide_declaration(data: bytes, family: str) -> None:
    """Refuse a declaration that names another encoding than the width and order of *data*."""
    unit = 2 if family.startswith("utf_16") else 4
    head = data[: DECLARATION_WINDOW * unit]
    text = head[: len(head) - len(head) % unit].decode(family, "replace").removeprefix("\ufeff")
    close = text.find("?>")
    if close < 0:
        _check_closed(text, len(data) // unit)
    else:
        name = _read_declaration(text[: close + 2])
        # The exact codec, or the one of both byte orders (which reads the mark), is accepted.
        if name is not None and _codec_for(name) not in (family, family[:6]):
            written = family.replace("_", "-").upper()
            raise ParseError(f"the document is written in {written} but declares encoding {name!r}")


def _check_closed(head: str, length: int) -> None:
    """Refuse a declaration that *head*, the window, opens and does not close."""
    if length > DECLARATION_WINDOW and _DECLARATION_START.match(head) is not None:
        raise ParseError(f"XML declaration not closed within its first {DECLARATION_WINDOW} characters")
    # Otherwise there is no declaration, or the parser reports it unclosed.


def _read_declaration(declaration: str) -> str | None:
    """The encoding that *declaration* (from "<?xml" to the first "?>") names, if any."""
    if _DECLARATION_START.match(declaration) is None:
        return None
    match = _DECLARATION.fullmatch(declaration)
    if match is not None:
        return match.group(1) if match.group(1) is not None else match.group(2)
    if "encoding" not in declaration:
        return None
    # Not in the grammar's form: the encoding counts only if it can be read unambiguously.
    names: list[str] = []
    position = 5
    while (pseudo := _PSEUDO_ATTRIBUTE.match(declaration, position)) is not None:
        if pseudo.group(1) == "encoding":
            names.append(pseudo.group(2) if pseudo.group(2) is not None else pseudo.group(3))
        position = pseudo.end()
    if _DECLARATION_END.fullmatch(declaration, position) is None or len(names) != 1:
        raise ParseError("the XML declaration names its encoding in a form that cannot be read")
    return names[0]


def _codec_for(name: str) -> str:
    """The module name of the codec that *name* selects, or ParseError if it is refused."""
    if _ENCODING_NAME.match(name) is None:
        raise ParseError(f"invalid encoding name {name!r}")
    normalized = normalize_encoding(name.lower())
    table = _aliases.aliases
    module = table.get(normalized) or table.get(normalized.replace(".", "_")) or normalized
    verdict = _POLICY.get(module)
    if verdict is None:
        raise ParseError(f"unknown encoding {name!r}")
    if verdict not in (_UTF8, _8BIT, _WIDE):
        raise ParseError(f"unsupported encoding {name!r}: {verdict}")
    return module


def _decode(data: bytes, codec: str) -> str:
    try:
        return codecs.decode(data, codec)
    except UnicodeError as exc:
        raise ParseError(str(exc)) from exc
