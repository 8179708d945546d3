"""Namespace scope and `{namespace}local` rendering: reserved prefixes, the binding and
nesting bounds, and declarations stored as written."""

import subprocess
import sys

import pytest

from support.messages import QUALIFIED
from vorlane import parse_xml
from vorlane.common import DefusedXmlException, ParseError

XML_NS = "http://www.w3.org/XML/1998/namespace"
XMLNS_NS = "http://www.w3.org/2000/xmlns/"
TOO_MANY = (
    "more than 128 namespace bindings in scope; raise the limit with NamespaceResolver::set_max_namespace_bindings"
)
TOO_DEEP = "document nests elements deeper than the supported limit of 65535"


def tags(e):
    return [e.tag] + [t for c in e for t in tags(c)]


@pytest.mark.parametrize(
    "source, expected_tags",
    [
        ("<a xmlns='u'><b/></a>", ["{u}a", "{u}b"]),
        ("<a xmlns='u'><b xmlns=''/></a>", ["{u}a", "b"]),
        ("<a xmlns:p='u'><p:b/></a>", ["a", "{u}b"]),
        ("<r><a xmlns:p='u'/><p:b/></r>", ["r", "a", "p:b"]),  # a closed sibling's binding is gone
        ("<r><a xmlns='u'></a><b/></r>", ["r", "{u}a", "b"]),
        ("<a xmlns:p=''><p:b/></a>", ["a", "p:b"]),
        ("<q:a/>", ["q:a"]),
        ("<a xmlns:='u'><b/></a>", ["{u}a", "{u}b"]),
        ("<p:a:b xmlns:p='u'/>", ["{u}a:b"]),
        ("<xml:a/>", ["{%s}a" % XML_NS]),
        ("<xmlns:a/>", ["{%s}a" % XMLNS_NS]),
        ("<a xmlns:p='a&amp;b'><p:c/></a>", ["a", "{a&amp;b}c"]),  # stored raw, never expanded
        ("<a xmlns='u'><p:b xmlns:p='v'><c/></p:b></a>", ["{u}a", "{v}b", "{u}c"]),
        ("<a xmlns:p='u'><b xmlns:p='v'><p:c/></b><p:d/></a>", ["a", "b", "{v}c", "{u}d"]),
        ("<a xmlns=' u '/>", ["{ u }a"]),
    ],
)
def test_element_rendering(source, expected_tags):
    assert tags(parse_xml(source)) == expected_tags


@pytest.mark.parametrize(
    "source, tag, attrib",
    [
        ("<a xmlns='u' b='1' p:c='2' xmlns:p='v'/>", "{u}a", {"b": "1", "{v}c": "2"}),
        ("<q:a q:b='1'/>", "q:a", {"q:b": "1"}),
        ("<a xml:lang='en'/>", "a", {"{%s}lang" % XML_NS: "en"}),
        ("<a xmlns:p='' p:b='1'/>", "a", {"p:b": "1"}),
        ("<a xmlns='u' :b='1'/>", "{u}a", {"{u}b": "1"}),
        ("<a xmlns:xml='%s' xml:b='1'/>" % XML_NS, "a", {"{%s}b" % XML_NS: "1"}),
    ],
)
def test_attribute_rendering(source, tag, attrib):
    root = parse_xml(source)
    assert (root.tag, root.attrib) == (tag, attrib)
    assert list(root.attrib) == list(attrib)


@pytest.mark.parametrize(
    "source, message",
    [
        ("<a xmlns:xml='x'/>", "the namespace prefix 'xml' cannot be bound to 'x'"),
        ("<a xmlns:xmlns='x'/>", "the namespace prefix 'xmlns' cannot be bound to 'x'"),
        ("<a xmlns:xmlns='%s'/>" % XMLNS_NS, "the namespace prefix 'xmlns' cannot be bound to '%s'" % XMLNS_NS),
        ("<a xmlns:p='%s'/>" % XML_NS, "the namespace prefix 'p' cannot be bound to '%s'" % XML_NS),
        ("<a xmlns:p='%s'/>" % XMLNS_NS, "the namespace prefix 'p' cannot be bound to '%s'" % XMLNS_NS),
        ("<a xmlns:xml='&amp;'/>", "the namespace prefix 'xml' cannot be bound to '&amp;'"),
        # the scan stops silently at a malformed attribute; the attribute error is reported
        ("<a b xmlns:xml='x'/>", "position 4: attribute key must be directly followed by `=` or space"),
        # a namespace error comes before any attribute error after it
        ("<a xmlns:xml='x' b='1' b='2'/>", "the namespace prefix 'xml' cannot be bound to 'x'"),
    ],
)
def test_reserved_prefixes(source, message):
    with pytest.raises(ParseError) as info:
        parse_xml(source)
    assert info.value.args[0] == message


def test_default_declaration_is_not_compared_with_reserved_names():
    assert parse_xml("<a xmlns='%s'/>" % XML_NS).tag == "{%s}a" % XML_NS


def declarations(count, stem="p"):
    return "".join(f" xmlns:{stem}{i}='u{i}'" for i in range(count))


@pytest.mark.parametrize(
    "source, ok",
    [
        ("<a%s/>" % declarations(128), True),
        ("<a%s/>" % declarations(129), False),
        ("<a%s><b%s/></a>" % (declarations(100, "a"), declarations(28, "b")), True),
        ("<a%s><b%s/></a>" % (declarations(100, "a"), declarations(29, "b")), False),
        ("<a%s><b%s/><c%s/></a>" % (declarations(100, "a"), declarations(28, "b"), declarations(28, "c")), True),
        ("<a%s><b xmlns:a0='again'/></a>" % declarations(128, "a"), False),  # redeclarations count
        ("<a%s xmlns:xml='%s'/>" % (declarations(128), XML_NS), True),  # the xml prefix's is not counted
        ("<a%s xmlns='d'/>" % declarations(128), False),
    ],
)
def test_binding_limit(source, ok):
    if ok:
        parse_xml(source)
    else:
        with pytest.raises(ParseError) as info:
            parse_xml(source)
        assert info.value.args[0] == TOO_MANY


@pytest.mark.parametrize("depth, ok", [(65535, True), (65536, False)])
def test_nesting_limit(depth, ok):
    source = "<a>" * depth + "</a>" * depth
    if ok:
        root = parse_xml(source, max_depth=100_000)
        for _ in range(depth - 1):
            root = root[0]
        assert len(root) == 0
    else:
        with pytest.raises(ParseError) as info:
            parse_xml(source, max_depth=100_000)
        assert info.value.args[0] == TOO_DEEP


def test_many_declarations_stay_linear():
    # 100,000 declarations fail at the 129th, without quadratic work on the rest.
    with pytest.raises(ParseError) as info:
        parse_xml("<a%s/>" % declarations(100_000))
    assert info.value.args[0] == TOO_MANY


# Distinct "{namespace}local" names share a budget of max(8 MiB, bytes read up to the end of
# the current tag): one long namespace name times many local names must not claim memory
# quadratic in the input, and no outcome may depend on bytes not yet read.
URI = "u" * 1_000_000  # each rendered name is about 1 MB
BUDGET = 8 * 2**20


def qualified(count, form="prefix", padding=0, uri=URI):
    if form == "default":
        return f"<r xmlns='{uri}'>" + "".join(f"<n{i}/>" for i in range(count)) + " " * padding + "</r>"
    if form == "attribute":
        return f"<r xmlns:p='{uri}'><e" + "".join(f" p:k{i}='v'" for i in range(count)) + "/></r>"
    return f"<r xmlns:p='{uri}'>" + " " * padding + "".join(f"<p:n{i}/><p:n{i}/>" for i in range(count)) + "</r>"


@pytest.mark.parametrize(
    "source, options, limit",
    [
        (qualified(2000), {}, BUDGET),
        (qualified(2000, "default"), {}, BUDGET),
        (qualified(999, "attribute"), {}, BUDGET),
        (qualified(9), {}, BUDGET),  # 9 MB of names
        (qualified(8), {}, None),  # 8 MB: just under, each name counted once however often used
        (qualified(8, "attribute"), {"max_text_size": 0}, None),
        (qualified(11, padding=9_500_000), {}, "<p:n10/>"),  # past 8 MiB the bytes read are the budget
        (qualified(2000, "default", padding=9_500_000), {}, BUDGET),  # bytes after the names do not count
        (qualified(9, padding=9_500_000), {}, None),
        (qualified(50, uri="u" * 4000), {"max_text_size": 0}, None),  # long but legitimate
    ],
)
def test_qualified_name_budget(source, options, limit):
    if limit is None:
        assert len(parse_xml(source, **options)) > 0
        return
    if isinstance(limit, str):  # up to the end of the first tag that crossed it
        limit = source.index(limit) + len(limit)
    with pytest.raises(DefusedXmlException) as info:
        parse_xml(source, **options)
    assert info.value.args == (f"{QUALIFIED}{limit}",)


def test_qualified_name_attack_memory_stays_bounded():
    script = """
import resource
from vorlane import parse_xml
source = ("<r xmlns:p='" + "u" * 1_000_000 + "'>" + "".join(f"<p:n{i}/>" for i in range(2000)) + "</r>").encode()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    parse_xml(source)
except ValueError:
    pass
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 64 * 1024  # KiB: within a small multiple of budget plus input
