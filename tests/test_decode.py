import codecs
import string
import xml.etree.ElementTree as ET

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vorlane
import vorlane.ElementTree
from support import shape
from vorlane import parse_xml
from vorlane.decode import _8BIT, _POLICY, DECLARATION_WINDOW, decode_document, sniff_encoding

TEMPLATE = '<?xml version="1.0" encoding="{name}"?>\n<doc title="{text}">\n  <p>{text}</p>\n</doc>\n'
RUSSIAN = "Привет, мир"
JAPANESE = "日本語のテキスト"
CHINESE = "中文文本"
WESTERN = "Café crème à la fête"

# (name in the declaration or None, the codec that writes the bytes, a byte order mark, text)
ENCODINGS = [
    ("UTF-8", "utf-8", b"", RUSSIAN + JAPANESE),
    (None, "utf-8", b"", RUSSIAN + JAPANESE),
    (None, "utf-8", codecs.BOM_UTF8, RUSSIAN + JAPANESE),
    ("utf-8", "utf-8", codecs.BOM_UTF8, RUSSIAN),
    ("UTF-16", "utf-16-le", codecs.BOM_UTF16_LE, RUSSIAN + JAPANESE + "\U0001f600"),
    ("UTF-16", "utf-16-be", codecs.BOM_UTF16_BE, RUSSIAN + JAPANESE + "\U0001f600"),
    (None, "utf-16-le", codecs.BOM_UTF16_LE, RUSSIAN),
    ("UTF-16LE", "utf-16-le", b"", JAPANESE),
    ("UTF-16BE", "utf-16-be", b"", JAPANESE),
    ("UTF-32", "utf-32-le", codecs.BOM_UTF32_LE, CHINESE + "\U0001f600"),
    (None, "utf-32-be", codecs.BOM_UTF32_BE, CHINESE),
    ("ISO-8859-1", "latin-1", b"", WESTERN),
    ("windows-1252", "cp1252", b"", WESTERN + " €"),
    ("ISO-8859-15", "iso8859-15", b"", WESTERN + " €"),
    ("windows-1251", "cp1251", b"", RUSSIAN),
    ("KOI8-R", "koi8-r", b"", RUSSIAN),
    ("Shift_JIS", "shift_jis", b"", JAPANESE),
    ("EUC-JP", "euc-jp", b"", JAPANESE),
    ("GB18030", "gb18030", b"", CHINESE + " " + RUSSIAN + " \U0001f600"),
    ("GBK", "gbk", b"", CHINESE),
    ("Big5", "big5", b"", "中文"),
    ("EUC-KR", "euc-kr", b"", "한국어"),
    ("US-ASCII", "ascii", b"", "plain"),
]


@pytest.mark.parametrize("name, codec, bom, text", ENCODINGS)
def test_same_document_in_each_encoding(name, codec, bom, text):
    document = TEMPLATE.format(name=name, text=text)
    if name is None:
        document = document.split("\n", 1)[1]
    expected = parse_xml(document)
    root = vorlane.fromstring(bom + document.encode(codec))
    assert ET.tostring(root, encoding="unicode") == ET.tostring(expected, encoding="unicode")
    assert root.get("title") == root[0].text == text


@pytest.mark.parametrize(
    "data",
    [
        b"<a>\xc3\xa9</a>",
        codecs.BOM_UTF8 + b"<a/>",
        b"<?xml version='1.0'?><a/>",
        b"<?xml version='1.0' encoding='UTF-8'?><a>\xff</a>",
        b"<?xml version='1.0' encoding='utf8' standalone='yes'?><a/>",
        b"<?xml version='1.0'",  # unclosed: the parser's own message
        b"  <?xml version='1.0' encoding='latin-1'?><a/>",  # not a declaration at the start
        b"<?xml-stylesheet href='encoding.xsl'?><a/>",
    ],
)
def test_utf8_bytes_pass_untouched(data):
    # The same object reaches parse_xml, so its fast path and its exact errors stay.
    assert decode_document(data) is data


@pytest.mark.parametrize("data", [b"<a>\xff</a>", b"<a>", b"<?xml version='1.0'", b""])
def test_utf8_errors_are_the_parsers_own(data):
    with pytest.raises(vorlane.ParseError) as expected:
        parse_xml(data)
    with pytest.raises(vorlane.ParseError) as got:
        vorlane.fromstring(data)
    assert got.value.args == expected.value.args


def declared(name, body=b"<a/>"):
    return b"<?xml version='1.0' encoding='" + name.encode() + b"'?>" + body


@pytest.mark.parametrize(
    "data, message",
    [
        (declared("UTF-7"), "unsupported encoding 'UTF-7': UTF-7 can write markup"),
        (declared("utf_7", b"+ADw-a/+AD4-"), "unsupported encoding 'utf_7'"),
        (declared("zlib"), "unsupported encoding 'zlib': not a character encoding"),
        (declared("base64"), "unsupported encoding 'base64': not a character encoding"),
        (declared("rot13"), "unsupported encoding 'rot13': not a character encoding"),
        (declared("hex"), "unsupported encoding 'hex': not a character encoding"),
        (declared("bz2"), "unsupported encoding 'bz2': not a character encoding"),
        (declared("idna"), "unsupported encoding 'idna': it encodes host names"),
        (declared("unicode_escape"), "unsupported encoding 'unicode_escape': backslash escapes"),
        (declared("cp037"), "unsupported encoding 'cp037': EBCDIC"),
        (declared("ISO-2022-JP", f"<a>{JAPANESE}</a>".encode("iso2022-jp")), "'ISO-2022-JP': a stateful 7-bit"),
        (declared("iso-2022-kr"), "'iso-2022-kr': a stateful 7-bit"),
        (declared("HZ", b"<!DOC~\nTYPE a [<!ENTITY e 'x'>]><a>&e;</a>"), "unsupported encoding 'HZ': a stateful 7-bit"),
        (declared("x-no-such-thing"), "unknown encoding 'x-no-such-thing'"),
        (declared("aliases"), "unknown encoding 'aliases'"),
        (declared("..latin-1"), "invalid encoding name '..latin-1'"),
        (declared("latin 1"), "invalid encoding name 'latin 1'"),
        (declared("UTF-16"), "encoding 'UTF-16' is declared in 8-bit bytes"),
        (declared("UTF-32BE"), "encoding 'UTF-32BE' is declared in 8-bit bytes"),
        (codecs.BOM_UTF8 + declared("ISO-8859-1"), "UTF-8 byte order mark but declares encoding 'ISO-8859-1'"),
        (
            "<?xml version='1.0' encoding='ISO-8859-1'?><a/>".encode("utf-16"),
            "written in UTF-16-LE but declares encoding 'ISO-8859-1'",
        ),
        (
            "<?xml version='1.0' encoding='UTF-8'?><a/>".encode("utf-32"),
            "written in UTF-32-LE but declares encoding 'UTF-8'",
        ),
        (
            "<?xml version='1.0' encoding='UTF-16BE'?><a/>".encode("utf-16-le"),
            "written in UTF-16-LE but declares encoding 'UTF-16BE'",
        ),
        (b"<?xml version='1.0' encoding=latin-1?><a/>", "names its encoding in a form that cannot be read"),
        (
            b"<?xml version='1.0' encoding='latin-1' encoding='utf-8'?><a/>",
            "names its encoding in a form that cannot be read",
        ),
        (
            b"<?xml version='1.0' " + b" " * DECLARATION_WINDOW + b"encoding='latin-1'?><a/>",
            f"XML declaration not closed within its first {DECLARATION_WINDOW} characters",
        ),
        (
            declared("Shift_JIS", b"<a>\x82</a>"),
            "'shift_jis' codec can't decode byte 0x82 in position 45: illegal multibyte",
        ),
        (declared("US-ASCII", b"<a>\xe9</a>"), "'ascii' codec can't decode byte 0xe9 in position 44"),
        ("<a/>".encode("utf-16") + b"\x00", "'utf-16-le' codec can't decode byte 0x00 in position 10: truncated data"),
        (codecs.BOM_UTF32_BE + b"\x00\x11\x00\x00", "'utf-32-be' codec can't decode bytes in position 4-7"),
    ],
)
def test_refused_encodings(data, message):
    with pytest.raises(vorlane.ParseError) as info:
        vorlane.fromstring(data)
    assert message in str(info.value)
    assert isinstance(info.value, ET.ParseError)


def test_declaration_at_the_end_of_the_window_is_read():
    padding = " " * (DECLARATION_WINDOW - len("<?xml version='1.0'  encoding='koi8-r'?>"))
    data = f"<?xml version='1.0' {padding} encoding='koi8-r'?><a>{RUSSIAN}</a>".encode("koi8-r")
    assert vorlane.fromstring(data).text == RUSSIAN


def test_text_is_not_decoded_again():
    # A str is text already: the encoding its declaration names was applied by whoever decoded it.
    document = f"<?xml version='1.0' encoding='windows-1251'?><a>{RUSSIAN}</a>"
    assert decode_document(document) is document
    assert vorlane.fromstring(document).text == RUSSIAN


@pytest.mark.parametrize("wrap", [bytearray, memoryview])
def test_bytes_like_documents(wrap):
    data = declared("latin-1", b"<a>\xe9</a>")
    assert vorlane.fromstring(wrap(data)).text == "é"


@pytest.mark.parametrize(
    "data, encoding, expected",
    [
        (declared("utf-8", b"<a>\xe9</a>"), "latin-1", "é"),  # the caller knows better than the document
        ("<a>é</a>".encode("utf-16-be"), "utf-16-be", "é"),
        (b"<a>\xc3\xa9</a>", "UTF-8", "é"),
    ],
)
def test_encoding_override(data, encoding, expected):
    assert parse_xml(decode_document(data, encoding)).text == expected


def test_override_is_refused_like_a_declaration():
    with pytest.raises(vorlane.ParseError, match="unsupported encoding 'utf-7'"):
        decode_document(b"<a/>", "utf-7")


EIGHT_BIT = sorted(codec for codec, kind in _POLICY.items() if kind == _8BIT)
MARKUP = frozenset((string.ascii_letters + string.digits + " \t\r\n<>?!/=\"'&#;:._-[]()%").encode())


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(0, 0x7F), max_size=24).map(bytes))
@example(b"~\n")  # HZ: a line continuation, gone after decoding
@example(b"\x1b$B<!")  # ISO-2022-JP: two ASCII bytes become one kanji
@example(b"\x0e<!")  # ISO-2022-KR: shift out
def test_eight_bit_codecs_keep_ascii_markup_in_place(data):
    # Whatever came before, each ASCII byte of markup decodes to itself, one character
    # per byte: the declaration and every filter that reads the bytes as ASCII see what
    # the parser will. A stateful codec (escape sequences, shifts) cannot pass this.
    for codec in EIGHT_BIT:
        try:
            text = codecs.decode(data, codec)
        except UnicodeDecodeError:
            continue
        assert len(text) == len(data), codec
        assert all(chr(byte) == char for byte, char in zip(data, text) if byte in MARKUP), codec


@pytest.mark.parametrize(
    "head, codec",
    [
        ("<a/>".encode("utf-16"), "utf_16_le"),
        ("<?xml".encode("utf-16-be"), "utf_16_be"),
        ("<a/>".encode("utf-32-be"), "utf_32_be"),  # no byte order mark
        (codecs.BOM_UTF32_LE + b"<\0", "utf_32_le"),
        (codecs.BOM_UTF8 + b"<a/>", "utf_8_sig"),
        ("<a/>".encode("utf-16-le"), "utf_16_le"),  # no byte order mark: the first "<"
        (" <a/>".encode("utf-16-le"), None),  # nor white space before it, as in expat
        (b"\x89PNG\r\n", None),
    ],
)
def test_sniffing(head, codec):
    assert sniff_encoding(head) == codec


def test_refused_declarations_stay_refused():
    for spaces in range(3):
        data = f"<?xml version='1.0'{' ' * spaces} encoding='koi8-r'?><a>{RUSSIAN}</a>".encode("koi8-r")
        assert vorlane.fromstring(data).text == RUSSIAN
    for _ in range(2):
        with pytest.raises(vorlane.ParseError, match="unsupported encoding 'utf-7'"):
            vorlane.fromstring(declared("utf-7"))


@pytest.mark.parametrize("codec", ["utf-16-le", "utf-16-be"])
@pytest.mark.parametrize("declaration", ["", "<?xml version='1.0' encoding='UTF-16'?>\n"])
def test_utf16_without_a_byte_order_mark(codec, declaration):
    # As the standard parser reads it, whole, and fed in two pieces cut anywhere.
    data = f"{declaration}<doc a='{JAPANESE}'>{RUSSIAN}\n</doc>".encode(codec)
    whole = vorlane.fromstring(data)
    assert shape(whole) == shape(ET.fromstring(data)) == ("doc", [("a", JAPANESE)], RUSSIAN + "\n", None, [])
    for cut in range(len(data) + 1):
        parser = vorlane.ElementTree.XMLParser()
        parser.feed(data[:cut])
        parser.feed(data[cut:])
        assert shape(parser.close()) == shape(whole)


@pytest.mark.parametrize("codec", ["utf-8", "utf-8-sig", "latin-1", "utf-16"])
@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_pieces_of_a_byte_decode_as_the_whole(codec, wrap):
    # Once the encoding is settled, bytes take a shorter road than other buffers and than a
    # decoder's input: every road gives the same UTF-8.
    from vorlane._incremental import Decoder

    text = "<?xml version='1.0' encoding='%s'?><a b='é'>café</a>" % codec.replace("-sig", "")
    data = text.encode(codec)
    decoder = Decoder(None)
    out = b"".join(decoder.feed(wrap(data[i : i + 1])) for i in range(len(data))) + decoder.close()
    assert out.decode("utf-8").lstrip("\ufeff") == text
