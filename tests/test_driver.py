"""The document driver and character data: text and tail placement, the root rules,
the order of the checks on a start tag, and the limits at and one past their boundary."""

import pytest

from support import shape
from support.messages import COMMENT_SIZE as COMMENT
from support.messages import DEPTH
from support.messages import NAME_SIZE as NAME
from support.messages import TEXT_SIZE as TEXT
from vorlane import parse_xml
from vorlane.common import DefusedXmlException, ParseError


def limit_message(source, **options):
    with pytest.raises(DefusedXmlException) as info:
        parse_xml(source, **options)
    assert type(info.value) is DefusedXmlException
    return info.value.args[0]


def syntax_message(source, **options):
    with pytest.raises(ParseError) as info:
        parse_xml(source, **options)
    return info.value.args[0]


def nested(depth):
    return "<a>" * depth + "</a>" * depth


@pytest.mark.parametrize(
    "source, expected",
    [
        ("<a>t<b/>u<c/>v</a>", ("a", [], "t", None, [("b", [], None, "u", []), ("c", [], None, "v", [])])),
        ("<a> <b/> </a>", ("a", [], " ", None, [("b", [], None, " ", [])])),
        ("<a><b><c/>x</b>y</a>", ("a", [], None, None, [("b", [], None, "y", [("c", [], None, "x", [])])])),
        ("<a><![CDATA[]]></a>", ("a", [], "", None, [])),
        ("<a></a>", ("a", [], None, None, [])),
        ("<a>x<!--c-->y<?pi z?>w</a>", ("a", [], "xyw", None, [])),
        ("<a>x&amp;y<![CDATA[&lt;<]]></a>", ("a", [], "x&y&lt;<", None, [])),
        ("<a>\r\n\t</a>", ("a", [], "\r\n\t", None, [])),
        ("<a><b/>&#32;&#x41;</a>", ("a", [], None, None, [("b", [], None, " A", [])])),
        ("\ufeff<?xml version='1.0'?>\n<!--c-->\n<a/>\n<!--d-->\n", ("a", [], None, None, [])),
        ("\u00a0\u3000\u2028&#32;<a/>\u205f", ("a", [], None, None, [])),
    ],
)
def test_text_and_tail_placement(source, expected):
    assert shape(parse_xml(source)) == expected


@pytest.mark.parametrize(
    "source, message",
    [
        ("", "No XML root element found"),
        (" \n\t", "No XML root element found"),
        ("<!--c--><?pi?>", "No XML root element found"),
        ("<a><b/>", "No XML root element found"),
        ("x<a/>", "Content before document element"),
        ("&amp;<a/>", "Content before document element"),
        ("\u200b<a/>", "Content before document element"),
        ("<a/>x", "Junk after document element"),
        ("<a/>\u200b", "Junk after document element"),
        # A second top-level element is refused, before any check of its own.
        ("<a/><b/>", "Junk after document element"),
        ("<a></a><b></b>", "Junk after document element"),
        ("<a/><" + "b" * 2000 + "/>", "Junk after document element"),
        ("<a/><b>", "Junk after document element"),
        ("<a/><b\0/>", "Junk after document element"),
        ("<a><b/>t</a><c/>", "Junk after document element"),
    ],
)
def test_root_rules(source, message):
    assert syntax_message(source) == message


@pytest.mark.parametrize(
    "source, options, expected",
    [
        # name length, then NUL, then depth, then the namespace scope, then attributes
        ("<a><bbbb/></a>", dict(max_depth=1, max_name_size=3), NAME + "3"),
        ("<a><b\0/></a>", dict(max_depth=1), "Null byte detected in XML identifier"),
        ("<a><b\0" + "x" * 10 + "/></a>", dict(max_name_size=3), NAME + "3"),
        ("<a><b xmlns:xml='x'/></a>", dict(max_depth=1), DEPTH + "1"),
        ("<a xmlns:xml='x' b b/>", {}, "the namespace prefix 'xml' cannot be bound to 'x'"),
        ("<a xmlns:xmlns='x' " + "b" * 2000 + "='1'/>", {}, "the namespace prefix 'xmlns' cannot be bound to 'x'"),
    ],
)
def test_order_of_start_tag_checks(source, options, expected):
    with pytest.raises((DefusedXmlException, ParseError)) as info:
        parse_xml(source, **options)
    assert info.value.args[0] == expected


@pytest.mark.parametrize(
    "source, options, ok",
    [
        (nested(1000), {}, True),
        (nested(1001), {}, False),
        ("<a/>", dict(max_depth=1), True),
        ("<a></a>", dict(max_depth=1), True),
        ("<a><b/></a>", dict(max_depth=1), False),
        ("<a/>", dict(max_depth=0), False),
    ],
)
def test_depth_limit(source, options, ok):
    if ok:
        parse_xml(source, **options)
    else:
        assert limit_message(source, **options) == DEPTH + str(options.get("max_depth", 1000))


@pytest.mark.parametrize(
    "source, limit, ok",
    [
        ("<a>ab<b/>cd</a>", 4, True),
        ("<a>ab<b/>cde</a>", 4, False),
        (" <a>abc</a>", 4, True),
        (" <a>abcd</a>", 4, False),  # white space outside the root counts
        ("<a>abcd</a>\n", 4, False),
        ("<a>&amp;&#x20AC;</a>", 4, True),  # expansions count in UTF-8 bytes: 1 + 3
        ("<a>&amp;&#x20AC;x</a>", 4, False),
        ("\n<a/>", 0, False),
        ("<a><![CDATA[]]></a>", 0, True),
        ("<a>\u00e9\u00e9</a>", 4, True),
        ("<a>\u00e9\u00e9x</a>", 4, False),
    ],
)
def test_text_size_limit(source, limit, ok):
    if ok:
        parse_xml(source, max_text_size=limit)
    else:
        assert limit_message(source, max_text_size=limit) == TEXT + str(limit)


@pytest.mark.parametrize(
    "source, ok",
    [
        ("<!--abc--><a><!--abc--></a><!--abc-->", True),  # measured one by one, never summed
        ("<a><!--abcd--></a>", False),
        ("<!--abcd--><a/>", False),
        ("<a/><!--abcd-->", False),
        ("<a><!--\u00e9x--></a>", True),
        ("<a><!--\u00e9xy--></a>", False),
    ],
)
def test_comment_size_limit(source, ok):
    if ok:
        parse_xml(source, max_comment_size=3)
    else:
        assert limit_message(source, max_comment_size=3) == COMMENT + "3"


@pytest.mark.parametrize(
    "source, options, expected",
    [
        ("<" + "n" * 1024 + "/>", {}, "n" * 1024),
        ("<" + "n" * 1025 + "/>", {}, NAME + "1024"),
        ("<p:aaaaa xmlns:p='u'/>", dict(max_name_size=7), "{u}aaaaa"),  # prefix and colon count
        ("<p:aaaaaa xmlns:p='u'/>", dict(max_name_size=7), NAME + "7"),
        ("xxxxx<a/>", dict(max_text_size=4), TEXT + "4"),  # text size before placement
    ],
)
def test_name_limit(source, options, expected):
    if expected.startswith("XML "):
        assert limit_message(source, **options) == expected
    else:
        assert parse_xml(source, **options).tag == expected


def test_max_entity_size_changes_nothing():
    for value in (0, 1, 2**64 - 1):
        assert shape(parse_xml("<a>&amp;</a>", max_entity_size=value)) == ("a", [], "&", None, [])


def test_long_runs_of_references_stay_linear():
    # Half a million references joined into one text must not be quadratic.
    count = 500_000
    root = parse_xml("<a>" + "x&amp;" * count + "</a>")
    assert root.text == "x&" * count
