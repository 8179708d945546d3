"""Start tags: the attribute scan and its error positions, duplicates, the attribute
limits and the order of the checks within one attribute."""

import pytest

from support.messages import ATTRIBUTE_COUNT as COUNT
from support.messages import ATTRIBUTE_SIZE as SIZE
from support.messages import NAME_SIZE as NAME
from vorlane import parse_xml
from vorlane.common import DefusedXmlException, EntitiesForbidden, ParseError


def failure(source, **options):
    with pytest.raises((DefusedXmlException, ParseError)) as info:
        parse_xml(source, **options)
    return info.value.args[0]


@pytest.mark.parametrize(
    "source, attrib",
    [
        ("<a b='1'c=\"2\"/>", {"b": "1", "c": "2"}),
        ("<a b \n=\r\n'1'\t/>", {"b": "1"}),
        ("<a b='x\"y' c=\"x'y\"/>", {"b": 'x"y', "c": "x'y"}),
        ("<a b='<>'/>", {"b": "<>"}),
        ("<a b='1\n\t\r2'/>", {"b": "1\n\t\r2"}),
        ("<a b='&lt;&gt;&amp;&apos;&quot;'/>", {"b": "<>&'\""}),
        ("<a b='&#65;&#x42;'/>", {"b": "AB"}),
        ("<a b='a;b'/>", {"b": "a;b"}),
        ("<a b='&amp;lt;'/>", {"b": "&lt;"}),
        ("<a b=''/>", {"b": ""}),
        ("<a ='1'/>", {"": "1"}),
        ("<a xmlnsfoo='1'/>", {"xmlnsfoo": "1"}),
        ("<a xmlns='u' xmlns:p='v'/>", {}),
    ],
)
def test_values_as_written(source, attrib):
    assert parse_xml(source).attrib == attrib


def test_attribute_order_is_document_order():
    names = [f"k{i}" for i in range(50, 0, -1)]
    root = parse_xml("<a " + " ".join(f"{n}='{n}'" for n in names) + "/>")
    assert list(root.attrib) == names


@pytest.mark.parametrize(
    "source, message",
    [
        ("<a b/>", "position 3: attribute key must be directly followed by `=` or space"),
        ("<a b c='1'/>", "position 4: attribute key must be directly followed by `=` or space"),
        ("<a b  />", "position 5: attribute key must be directly followed by `=` or space"),
        ("< a>", "position 2: attribute key must be directly followed by `=` or space"),
        ("<a b=/>", "position 4: `=` must be followed by an attribute value"),
        ("<a b= \t/>", "position 6: `=` must be followed by an attribute value"),
        ("<a b=1/>", "position 4: attribute value must be enclosed in `\"` or `'`"),
        ("<a b = x/>", "position 6: attribute value must be enclosed in `\"` or `'`"),
        ("<a x='1' x='2'/>", "position 8: duplicated attribute, previous declaration at position 2"),
        ("<a x='1' y='2' x=3/>", "position 14: duplicated attribute, previous declaration at position 2"),
        ("<a xmlns='1' xmlns='2'/>", "position 12: duplicated attribute, previous declaration at position 2"),
        (
            "<p:a xmlns:p='u' p:x='1' p:x='2'/>",
            "position 24: duplicated attribute, previous declaration at position 16",
        ),
        ("<a b='1' c/>", "position 9: attribute key must be directly followed by `=` or space"),
        ("<a b xmlns:xml='x'/>", "position 4: attribute key must be directly followed by `=` or space"),
    ],
)
def test_scan_errors_and_positions(source, message):
    with pytest.raises(ParseError) as info:
        parse_xml(source)
    assert info.value.args[0] == message


@pytest.mark.parametrize("count", [2, 31, 32, 33, 100, 5000])
@pytest.mark.parametrize("which", ["first", "middle", "last"])
def test_duplicates_below_and_above_32_keys(count, which):
    tag = "<a"
    positions = []
    for i in range(count):
        positions.append(len(tag))  # the key follows a space; positions count from after "<"
        tag += f" k{i}='v'"
    assert len(parse_xml(tag + "/>", max_attributes=count).attrib) == count
    victim = {"first": 0, "middle": count // 2, "last": count - 1}[which]
    with pytest.raises(ParseError) as info:
        parse_xml(tag + f" k{victim}='w'/>", max_attributes=10**6)
    expected = f"position {len(tag)}: duplicated attribute, previous declaration at position {positions[victim]}"
    assert info.value.args[0] == expected


def test_same_rendered_key_from_two_prefixes_is_not_a_duplicate():
    root = parse_xml("<p:a xmlns:p='u' xmlns:p2='u' p:x='1' p2:x='2'/>")
    assert root.tag == "{u}a"
    assert root.attrib == {"{u}x": "2"}  # dictionary semantics: the later value wins


@pytest.mark.parametrize(
    "source, options, expected",
    [
        ("<a xmlns:p='u' b='1'/>", dict(max_attributes=1), {"b": "1"}),
        ("<a b='1' c='2'/>", dict(max_attributes=1), COUNT + "1"),
        ("<a b='1'/>", dict(max_attributes=0), COUNT + "0"),
        ("<a xmlns='u'/>", dict(max_attributes=0), {}),
        ("<a b='123'/>", dict(max_attribute_size=3), {"b": "123"}),
        ("<a b='1234'/>", dict(max_attribute_size=3), SIZE + "3"),
        ("<a b='&lt;&lt;'/>", dict(max_attribute_size=3), SIZE + "3"),
        ("<a b='&lt;&lt;'/>", dict(max_attribute_size=10), {"b": "<<"}),
        ("<a b='\u00e9\u00e9'/>", dict(max_attribute_size=3), SIZE + "3"),
        ("<a b=''/>", dict(max_attribute_size=0), {"b": ""}),
        ("<a bbbbb='1'/>", dict(max_name_size=5), {"bbbbb": "1"}),
        ("<a bbbbbb='1'/>", dict(max_name_size=5), NAME + "5"),
        ("<a xmlns:pppp='u'/>", dict(max_name_size=10), {}),
        ("<a xmlns:ppppp='u'/>", dict(max_name_size=10), NAME + "10"),
        # within one attribute: name size, NUL, count, value size, unescaping
        ("<a b='1' cccccc='2'/>", dict(max_attributes=1, max_name_size=5), NAME + "5"),
        ("<a b='1' c\0='2'/>", dict(max_attributes=1), "Null byte detected in XML identifier"),
        ("<a b='1' c='1234'/>", dict(max_attributes=1, max_attribute_size=3), COUNT + "1"),
        ("<a b='&foo;xxxx'/>", dict(max_attribute_size=3), SIZE + "3"),
        # the first failing attribute in document order decides
        (
            "<a b='&#0;' c='12345'/>",
            dict(max_attribute_size=4),
            "invalid character reference: 0x0 character is not permitted in XML",
        ),
        ("<a b='x&y'/>", {}, "Error while escaping character at range 1..3: Cannot find ';' after '&'"),
        ("<a b='&foo;'/>", dict(forbid_entities=False), "Unrecognized entity: &foo;"),
    ],
)
def test_limits_and_order_within_an_attribute(source, options, expected):
    if isinstance(expected, dict):
        assert parse_xml(source, **options).attrib == expected
    else:
        assert failure(source, **options) == expected


def test_declared_entity_is_never_expanded_in_values():
    with pytest.raises(ParseError) as info:
        parse_xml("<!DOCTYPE a [<!ENTITY foo 'x'>]><a b='&foo;'/>", forbid_entities=False)
    assert info.value.args[0] == "Unrecognized entity: &foo;"
    with pytest.raises(EntitiesForbidden) as info:
        parse_xml("<a b='&foo;'/>")
    assert info.value.name == "foo"


def test_many_attributes_parse():
    count = 100_000
    source = "<a " + " ".join(f"k{i}='{i}'" for i in range(count)) + "/>"
    root = parse_xml(source, max_attributes=count)
    assert len(root.attrib) == count and root.attrib["k99999"] == "99999"
    with pytest.raises(DefusedXmlException):
        parse_xml(source, max_attributes=count - 1)
