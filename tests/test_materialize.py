import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from vorlane import parse_xml


def test_bare_element():
    root = parse_xml("<a/>")
    assert (root.tag, root.attrib, root.text, root.tail, len(root)) == ("a", {}, None, None, 0)
    assert type(root) is ET.Element


def test_attribute_order_and_text_placement():
    root = parse_xml("<a y='2' x='1'>t<b/>u<c/>v</a>")
    assert list(root.attrib.items()) == [("y", "2"), ("x", "1")]
    assert root.text == "t"
    assert [(e.tag, e.text, e.tail) for e in root] == [("b", None, "u"), ("c", None, "v")]


def test_empty_text_differs_from_absent():
    root = parse_xml("<a><b><![CDATA[]]></b><c></c></a>")
    assert root[0].text == ""
    assert root[1].text is None


class Recording(ET.Element):
    log = []

    def __init__(self, tag, attrib):
        Recording.log.append(("new", tag, dict(attrib)))
        super().__init__(tag, attrib)

    def __setattr__(self, name, value):
        Recording.log.append(("set", self.tag, name, value))
        super().__setattr__(name, value)

    def append(self, child):
        Recording.log.append(("append", self.tag, child.tag))
        super().append(child)


def test_call_order_with_a_replaced_element_class(monkeypatch):
    monkeypatch.setattr(ET, "Element", Recording)
    Recording.log = []
    root = parse_xml("<a k='v'>t<b>x<c/></b>u<d/>w</a>")
    assert isinstance(root, Recording) and all(isinstance(e, Recording) for e in root.iter())
    assert Recording.log == [
        ("new", "a", {"k": "v"}),
        ("set", "a", "text", "t"),
        ("new", "b", {}),
        ("set", "b", "text", "x"),
        ("set", "b", "tail", "u"),
        ("new", "c", {}),
        ("append", "b", "c"),
        ("append", "a", "b"),
        ("new", "d", {}),
        ("set", "d", "tail", "w"),
        ("append", "a", "d"),
    ]


class NotAnElement(list):
    """A replacement class that does not derive from Element: its children are list items."""

    def __init__(self, tag, attrib):
        super().__init__()
        self.tag, self.attrib = tag, attrib


@pytest.mark.parametrize("failing", ["init", "append", "setattr"])
@pytest.mark.parametrize("base", [ET.Element, NotAnElement], ids=["subclass", "replacement"])
def test_failures_in_the_element_class_propagate(monkeypatch, failing, base):
    built = []

    class Failing(base):
        def __init__(self, tag, attrib):
            if failing == "init" and tag == "c":
                raise RuntimeError("no c")
            built.append(tag)
            super().__init__(tag, attrib)

        def append(self, child):
            if failing == "append" and child.tag == "c":
                raise RuntimeError("no c")
            super().append(child)

        def __setattr__(self, name, value):
            if failing == "setattr" and value == "tail-of-c":
                raise RuntimeError("no c")
            super().__setattr__(name, value)

    monkeypatch.setattr(ET, "Element", Failing)
    with pytest.raises(RuntimeError, match="no c"):
        parse_xml("<a><b/><c/>tail-of-c<d/></a>")
    assert "d" not in built  # the build stops at the failure


def test_element_class_fetched_at_every_call(monkeypatch):
    assert type(parse_xml("<a/>")) is ET.Element
    monkeypatch.setattr(ET, "Element", Recording)
    assert type(parse_xml("<a/>")) is Recording


def test_element_tree_module_is_looked_up_in_the_module_cache(monkeypatch):
    import sys
    import types

    stand_in = types.ModuleType("xml.etree.ElementTree")
    stand_in.Element = Recording
    monkeypatch.setitem(sys.modules, "xml.etree.ElementTree", stand_in)
    assert type(parse_xml("<a/>")) is Recording
    monkeypatch.setitem(sys.modules, "xml.etree.ElementTree", None)
    with pytest.raises(ImportError):
        parse_xml("<a/>")
    monkeypatch.setitem(sys.modules, "xml.etree.ElementTree", types.ModuleType("xml.etree.ElementTree"))
    with pytest.raises(AttributeError, match="Element"):
        parse_xml("<a/>")


def test_deepest_supported_tree_converts():
    depth = 65535
    root = parse_xml("<d>" * depth + "x" + "</d>" * depth, max_depth=100_000)
    level, node = 1, root
    while len(node):
        assert len(node) == 1
        node = node[0]
        level += 1
    assert level == depth and node.text == "x"


def test_repeated_whitespace_and_names_keep_their_values():
    doc = "<r>\n  <i a='1'/>\n  <i a='2'/>\n</r>"
    root = parse_xml(doc)
    assert [e.tail for e in root] == ["\n  ", "\n"]
    assert root.text == "\n  "
    assert [e.attrib for e in root] == [{"a": "1"}, {"a": "2"}]


PEAK_GROWTH = """
import resource, sys, xml.etree.ElementTree as ET, vorlane
data = b"<r>" + b"<a/>" * 300_000 + b"</r>"
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
root = ET.fromstring(data) if sys.argv[1] == "ET" else vorlane.parse_xml(data)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ru_maxrss in KiB, pages returned with madvise")
@pytest.mark.skipif(bool(os.environ.get("VORLANE_SANITIZED")), reason="the sanitizer's allocator keeps freed memory")
def test_peak_memory_of_bare_elements_stays_at_the_standard_librarys():
    # The parsed nodes are released while the elements are built; were their pages kept,
    # the peak would be about 1.4x the standard library's here.
    def growth(parser):
        run = subprocess.run([sys.executable, "-c", PEAK_GROWTH, parser], capture_output=True, text=True, check=True)
        return int(run.stdout)

    assert growth("vorlane") <= 1.05 * growth("ET")
