import pytest

from vorlane import parse_xml
from vorlane.common import ParseError

SYNTAX = "syntax error: "
ILL = "ill-formed document: "
DECODE = "cannot decode input using UTF-8: "

UNCLOSED_TAG = SYNTAX + "tag not closed: `>` not found before end of input"
UNCLOSED_SQ = SYNTAX + "attribute value not closed: `'` not found before end of input"
UNCLOSED_DQ = SYNTAX + 'attribute value not closed: `"` not found before end of input'
UNKNOWN = SYNTAX + "unknown or missed symbol in markup"
UNCLOSED_PI = SYNTAX + "processing instruction not closed: `?>` not found before end of input"
UNCLOSED_DECL = SYNTAX + "XML declaration not closed: `?>` not found before end of input"
UNCLOSED_COMMENT = SYNTAX + "comment not closed: `-->` not found before end of input"
UNCLOSED_DOCTYPE = SYNTAX + "DOCTYPE not closed: `>` not found before end of input"
UNCLOSED_CDATA = SYNTAX + "CDATA not closed: `]]>` not found before end of input"
UNCLOSED_REF = ILL + "entity or character reference not closed: `;` not found before end of input"


@pytest.mark.parametrize(
    "document, message",
    [
        ("<a", UNCLOSED_TAG),
        ("<", UNCLOSED_TAG),
        ("<a><b", UNCLOSED_TAG),
        ("<a></a", UNCLOSED_TAG),
        ('<a b="x>', UNCLOSED_DQ),
        ("<a b='x>", UNCLOSED_SQ),
        ("<a b='x\"/>", UNCLOSED_SQ),
        ("<!", UNKNOWN),
        ('<!ENTITY e "x">', UNKNOWN),
        ("<a><!ELEMENT a ANY></a>", UNKNOWN),
        ("<!-x-->", UNCLOSED_COMMENT),
        ("<!-->", UNCLOSED_COMMENT),
        ("<a><!-- x</a>", UNCLOSED_COMMENT),
        ("<?pi", UNCLOSED_PI),
        ("<?>", UNCLOSED_PI),
        ("<?xmlns x", UNCLOSED_PI),
        ('<?xml version="1.0"', UNCLOSED_DECL),
        ("<?xml", UNCLOSED_DECL),
        ("<![CDATA[x", UNCLOSED_CDATA),
        ("<a><![cdata[x]]></a>", UNCLOSED_CDATA),
        ("<!DOCTYPE r", UNCLOSED_DOCTYPE),
        ("<!DOCTYPE r [<!ENTITY e ']>'", UNCLOSED_DOCTYPE),
        ("<!DOCTYP r><r/>", UNCLOSED_DOCTYPE),
        ("<!DOCTYPE>", ILL + "`<!DOCTYPE>` declaration does not contain a name of a document type"),
        ("<a></b>", ILL + "expected `</a>`, but `</b>` was found"),
        ("<a><b></a>", ILL + "expected `</b>`, but `</a>` was found"),
        ("<a></ a>", ILL + "expected `</a>`, but `</ a>` was found"),
        ("<ns:a></a>", ILL + "expected `</ns:a>`, but `</a>` was found"),
        ("</a>", ILL + "close tag `</a>` does not match any open tag"),
        ("<a/></b>", ILL + "close tag `</b>` does not match any open tag"),
        ("<a>AT&T</a>", UNCLOSED_REF),
        ("<a>&amp</a>", UNCLOSED_REF),
        ("<a>&amp", UNCLOSED_REF),
        (b"<a>ab\xff</a>", DECODE + "invalid utf-8 sequence of 1 bytes from index 2"),
        (b"ab\xe2\x82<a/>", DECODE + "incomplete utf-8 byte sequence from index 2"),
        (b"<a>\xe2\x82", DECODE + "incomplete utf-8 byte sequence from index 0"),
        (b"<a>\xe2\x82x</a>", DECODE + "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"<a>\xed\xa0\x80</a>", DECODE + "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"<a>\xf0\x9f\x98x</a>", DECODE + "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"<a>\xf0\x9f\x98</a>", DECODE + "incomplete utf-8 byte sequence from index 0"),
        (b"<a b='\xc0\x80'/>", DECODE + "invalid utf-8 sequence of 1 bytes from index 6"),
        (b"<a>&\xf5;</a>", DECODE + "invalid utf-8 sequence of 1 bytes from index 1"),
        (b"<a><!-- \xf4\x90 --></a>", DECODE + "invalid utf-8 sequence of 1 bytes from index 5"),
        (b"\xef\xbb\xbfx\xff<a/>", DECODE + "invalid utf-8 sequence of 1 bytes from index 1"),
    ],
)
def test_malformed_documents(document, message):
    with pytest.raises(ParseError) as info:
        parse_xml(document)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_unclosed_root_is_left_to_the_driver():
    with pytest.raises(ParseError) as info:
        parse_xml("<a><b/>")
    assert info.value.args == ("No XML root element found",)


@pytest.mark.parametrize(
    "document, tag, attrib, text",
    [
        ("<a></a >", "a", {}, None),
        ("<a\n></a\t\r\n>", "a", {}, None),
        ('<a b=">"/>', "a", {"b": ">"}, None),
        ("<a b='<x>'/>", "a", {"b": "<x>"}, None),
        ("<a><!-- x -- y --></a>", "a", {}, None),
        ("<a>]]></a>", "a", {}, "]]>"),
        ("<a>x<!---->y</a>", "a", {}, "xy"),
        ("<a>x\r\ny</a>", "a", {}, "x\r\ny"),
        ("<a><![CDATA[<&]]]></a>", "a", {}, "<&]"),
        ("<a><?pi ?> ?></a>", "a", {}, " ?>"),
        ('<a><?xml version="9.9"?></a>', "a", {}, None),
        ('<a/><?xml version="9.9"?>', "a", {}, None),
        (b'<?xml version="1.0" encoding="latin1"?><a>\xc3\xa9</a>', "a", {}, "\u00e9"),
        (b"\xef\xbb\xbf<a>\xf0\x9f\x98\x80</a>", "a", {}, "\U0001f600"),
        ("<!DOCTYPE a><!DOCTYPE b><a/>", "a", {}, None),
    ],
)
def test_accepted_oddities(document, tag, attrib, text):
    root = parse_xml(document)
    assert (root.tag, root.attrib, root.text) == (tag, attrib, text)
