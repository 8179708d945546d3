"""Predefined entities and character references in character data and attribute values."""

import pytest

from support.messages import TEXT_SIZE
from vorlane import parse_xml
from vorlane.common import DefusedXmlException, EntitiesForbidden, ParseError

NO_ENTITIES = {"forbid_entities": False}

# (raw reference text, expected result) valid in both places
BOTH = [
    ("&lt;&gt;&amp;&apos;&quot;", "<>&'\""),
    ("&#65;&#x41;&#0065;", "AAA"),
    ("&amp;lt;", "&lt;"),
    ("a&amp;amp;b", "a&amp;b"),
    ("x&#xE9;y&#x20ac;", "x\u00e9y\u20ac"),
    ("&#x10FFFF;&#xD7FF;&#xE000;", "\U0010ffff\ud7ff\ue000"),
    ("&#1;&#x1F;", "\x01\x1f"),
    ("&#x0000000041;", "A"),
    ("a;b", "a;b"),
]

# Accepted in character data only; in attribute values they fail (see ATTRIBUTE_ERRORS).
TEXT_ONLY = [
    ("&#X41;", "A"),
    ("&#+65;", "A"),
    ("&#x+41;", "A"),
    ("&#0;", "\x00"),
]


@pytest.mark.parametrize("raw, expected", BOTH + TEXT_ONLY)
def test_text_references(raw, expected):
    assert parse_xml("<r>" + raw + "</r>").text == expected


def test_references_join_text_and_tail():
    root = parse_xml("<r>a&#66;<c/>&lt;d&gt;</r>")
    assert root.text == "aB"
    assert root[0].tail == "<d>"


@pytest.mark.parametrize("raw, expected", BOTH)
def test_attribute_references(raw, expected):
    for quote in "'\"":
        assert parse_xml("<r a=%s%s%s/>" % (quote, raw, quote)).get("a") == expected


# (name between '&' and ';', message)
TEXT_ERRORS = [
    ("#", "Invalid character reference: &#;"),
    ("#x", "Invalid character reference: &#x;"),
    ("#X", "Invalid character reference: &#X;"),
    ("#-1", "Invalid character reference: &#-1;"),
    ("#x+", "Invalid character reference: &#x+;"),
    ("#+", "Invalid character reference: &#+;"),
    ("#++1", "Invalid character reference: &#++1;"),
    ("#1-", "Invalid character reference: &#1-;"),
    ("#xZZ", "Invalid character reference: &#xZZ;"),
    ("#12a", "Invalid character reference: &#12a;"),
    ("#4294967296", "Invalid character reference: &#4294967296;"),
    ("#x100000000", "Invalid character reference: &#x100000000;"),
    ("#4294967295", "Invalid unicode character: &#4294967295;"),
    ("#xD800", "Invalid unicode character: &#xD800;"),
    ("#xDFFF", "Invalid unicode character: &#xDFFF;"),
    ("#x110000", "Invalid unicode character: &#x110000;"),
    ("#1114112", "Invalid unicode character: &#1114112;"),
]


@pytest.mark.parametrize("options", [{}, NO_ENTITIES], ids=["defaults", "entities-allowed"])
@pytest.mark.parametrize("name, message", TEXT_ERRORS)
def test_text_reference_errors(name, message, options):
    with pytest.raises(ParseError) as info:
        parse_xml("<r>&" + name + ";</r>", **options)
    assert info.value.args == (message,)


BAD = "invalid character reference: "
UNTERMINATED = "Error while escaping character at range %d..%d: Cannot find ';' after '&'"

# (raw attribute value, message)
ATTRIBUTE_ERRORS = [
    ("&#X41;", BAD + "invalid digit found in string"),
    ("&#+65;", BAD + "unexpected number sign"),
    ("&#-65;", BAD + "unexpected number sign"),
    ("&#x+41;", BAD + "unexpected number sign"),
    ("&#;", BAD + "cannot parse integer from empty string"),
    ("&#x;", BAD + "cannot parse integer from empty string"),
    ("&#xG1;", BAD + "invalid digit found in string"),
    ("&#99999999999x;", BAD + "number too large to fit in target type"),
    ("&#4294967296;", BAD + "number too large to fit in target type"),
    ("&#0;", BAD + "0x0 character is not permitted in XML"),
    ("&#x00;", BAD + "0x0 character is not permitted in XML"),
    ("&#xD800;", BAD + "`55296` is not a valid codepoint"),
    ("&#x110000;", BAD + "`1114112` is not a valid codepoint"),
    ("x&y", UNTERMINATED % (1, 3)),
    ("&a&b;", UNTERMINATED % (0, 5)),
    ("&lt;&", UNTERMINATED % (4, 5)),
    ("\u00e9&", UNTERMINATED % (2, 3)),
    # The leftmost problem decides.
    ("&#0;&", BAD + "0x0 character is not permitted in XML"),
    ("&#65;x&", UNTERMINATED % (6, 7)),
]


@pytest.mark.parametrize("options", [{}, NO_ENTITIES], ids=["defaults", "entities-allowed"])
@pytest.mark.parametrize("raw, message", ATTRIBUTE_ERRORS)
def test_attribute_reference_errors(raw, message, options):
    with pytest.raises(ParseError) as info:
        parse_xml('<r a="' + raw + '"/>', **options)
    assert info.value.args == (message,)


# (document, name of the refused entity, message when entities are allowed)
UNDEFINED = [
    ("<r>&foo;</r>", "foo", "Undefined entity: &foo;"),
    ("<r>&;</r>", "", "Undefined entity: &;"),
    ("<r>&Lt;</r>", "Lt", "Undefined entity: &Lt;"),
    ("<r a='&foo;'/>", "foo", "Unrecognized entity: &foo;"),
    ("<r a='&;'/>", "", "Unrecognized entity: &;"),
    ("<r a='&#65;&x;&#0;'/>", "x", "Unrecognized entity: &x;"),
    ("<!DOCTYPE r [<!ENTITY foo 'bar'>]><r>&foo;</r>", "foo", "Undefined entity: &foo;"),
    ("<!DOCTYPE r [<!ENTITY foo 'bar'>]><r a='&foo;'/>", "foo", "Unrecognized entity: &foo;"),
]


@pytest.mark.parametrize("document, name, message", UNDEFINED)
def test_undefined_entities(document, name, message):
    if "<!DOCTYPE" not in document:
        with pytest.raises(EntitiesForbidden) as info:
            parse_xml(document)
        assert type(info.value) is EntitiesForbidden
        assert info.value.args == (name, None, None, None, None, None)
        assert info.value.name == name
    # A declared entity is never expanded: it fails exactly like an undeclared one.
    with pytest.raises(ParseError) as info:
        parse_xml(document, forbid_entities=False, forbid_external=False)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "document, error",
    [
        ("&#32;<r/>&#10;", None),
        ("&#x3000;<r/>", None),
        ("&amp;<r/>", "Content before document element"),
        ("<r/>&#65;", "Junk after document element"),
    ],
)
def test_references_outside_the_root(document, error):
    if error is None:
        assert parse_xml(document).tag == "r"
    else:
        with pytest.raises(ParseError) as info:
            parse_xml(document)
        assert info.value.args == (error,)


def test_expansions_count_towards_text_size():
    assert parse_xml("<r>&lt;&#x20AC;</r>", max_text_size=4).text == "<\u20ac"
    with pytest.raises(DefusedXmlException) as info:
        parse_xml("<r>&lt;&#x20AC;</r>", max_text_size=3)
    assert info.value.args == (TEXT_SIZE + "3",)


def test_many_references_stay_linear():
    count = 500_000
    root = parse_xml("<r a='" + "&lt;" * count + "'>" + "&#x41;" * count + "</r>")
    assert root.get("a") == "<" * count
    assert root.text == "A" * count
