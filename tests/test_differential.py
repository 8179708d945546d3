"""Generated well-formed documents parse to the same tree as the standard library's
`xml.etree.ElementTree.fromstring`.

The generator stays inside what both parsers read alike: no DOCTYPE, no carriage
returns (the standard library normalises line ends), only plain spaces as white space
inside attribute values (it normalises attribute white space), no empty CDATA sections
(which give "" here and None there), no duplicate expanded attribute names, and every
prefix declared before use."""

import xml.etree.ElementTree as ET

from hypothesis import given, settings
from hypothesis import strategies as st

from support import shape
from vorlane import parse_xml

NAMES = st.sampled_from(["a", "b", "item", "x-y", "n.1", "\u00e9l\u00e9ment", "\u4e2d", "_z"])
PREFIXES = st.sampled_from(["p", "q", "ns1"])
URIS = st.sampled_from(["urn:one", "http://example.com/two", "urn:\u00fcn\u00efcode", "u"])

# Characters allowed in character data apart from markup; no carriage return.
TEXT_CHARS = st.characters(
    codec="utf-8",
    exclude_categories=("Cs",),
    exclude_characters="<&\r\x00",
    min_codepoint=0x09,
).filter(lambda c: c in "\t\n" or ord(c) >= 0x20)
# A character-data piece that cannot contain "]]>" or "--" and cannot end in "-" or "]".
SAFE_TEXT = st.text(TEXT_CHARS, max_size=12).map(
    lambda s: s.replace("]]>", "]] >").replace("--", "- -").replace("?>", "? >")
)
VALUE_CHARS = st.characters(
    codec="utf-8",
    exclude_categories=("Cs", "Cc", "Zl", "Zp"),
    exclude_characters="<&\"'\u0085",
)
REFERENCES = st.sampled_from(["&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#65;", "&#x20AC;", "&#x1F600;", "&#233;"])


@st.composite
def attribute_value(draw):
    pieces = draw(st.lists(st.one_of(st.text(VALUE_CHARS, max_size=8), REFERENCES), max_size=4))
    quote = draw(st.sampled_from(["'", '"']))
    return quote + "".join(pieces) + quote


@st.composite
def content_piece(draw):
    kind = draw(st.sampled_from(["text", "text", "ref", "comment", "pi", "cdata"]))
    if kind == "text":
        return draw(SAFE_TEXT)
    if kind == "ref":
        return draw(REFERENCES)
    body = draw(SAFE_TEXT).rstrip("-]")
    if kind == "comment":
        return "<!--" + body + "-->"
    if kind == "pi":
        return "<?pi " + body + "?>"
    return "<![CDATA[" + (body or "c") + "]]>"


@st.composite
def element(draw, depth, scope):
    scope = dict(scope)
    attributes = []
    if draw(st.integers(0, 3)) == 0:
        uri = draw(st.one_of(URIS, st.just("")))
        attributes.append("xmlns=" + repr(uri).replace("\\", ""))
        scope[""] = uri
    for prefix in draw(st.lists(PREFIXES, max_size=2, unique=True)):
        uri = draw(URIS)
        attributes.append(f"xmlns:{prefix}='{uri}'")
        scope[prefix] = uri
    declared = [p for p in scope if p]

    def qualified(local):
        if declared and draw(st.booleans()):
            return draw(st.sampled_from(declared)) + ":" + local
        return local

    tag = qualified(draw(NAMES))
    seen = set()
    for _ in range(draw(st.integers(0, 3))):
        local = draw(NAMES)
        if local in seen:  # distinct local names keep expanded names distinct
            continue
        seen.add(local)
        attributes.append(qualified(local) + "=" + draw(attribute_value()))
    draw(st.randoms()).shuffle(attributes)
    spaces = st.sampled_from([" ", "\n", "\t ", "  "])
    start = "<" + tag + "".join(draw(spaces) + a for a in attributes) + draw(st.sampled_from(["", " ", "\n"]))
    children = []
    if depth > 0:
        for _ in range(draw(st.integers(0, 3))):
            children.append(draw(content_piece()))
            if draw(st.booleans()):
                children.append(draw(element(depth - 1, scope)))
    if not children and draw(st.booleans()):
        return start + "/>"
    return start + ">" + "".join(children) + "</" + tag + ">"


@st.composite
def document(draw):
    """(our source, the standard library's source): they differ only in that a no-break
    space outside the root, white space here, is a plain space there."""
    misc = st.sampled_from(["", " ", "\n", "<!-- c -->", "<?pi x?>", "\u00a0", "\u3000 "])
    prolog = draw(st.sampled_from(["", "<?xml version='1.0' encoding='UTF-8'?>"]))
    before, after = draw(misc), draw(misc)
    root = draw(element(3, {}))
    ours = prolog + before + root + after
    plain = str.maketrans("\u00a0\u3000", "  ")
    return ours, prolog + before.translate(plain) + root + after.translate(plain)


@settings(max_examples=200, deadline=None)
@given(document())
def test_same_tree_as_the_standard_library(sources):
    ours, theirs = sources
    expected = shape(ET.fromstring(theirs.encode("utf-8")))
    assert shape(parse_xml(ours)) == expected
    assert shape(parse_xml(ours.encode("utf-8"))) == expected
