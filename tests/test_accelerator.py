"""When the element class is exactly the standard accelerator's own Element, the tree is built
through the accelerator's C tree builder. The result must be the tree that the generic call
sequence builds, and every other class must still see that sequence."""

import ast
import importlib
import pathlib
import subprocess
import sys
import types
import xml.etree.ElementTree as ET
import zipfile

import pytest

from vorlane import parse_xml

HERE = pathlib.Path(__file__).resolve().parent
CONFORMANCE = HERE.parents[1] / "shared" / "testdata" / "w3c-xmlconf" / "xmlts20130923.zip"
ALL_OFF = {"forbid_dtd": False, "forbid_entities": False, "forbid_external": False}

accelerated = pytest.mark.skipif(
    ET.Element is getattr(ET, "_Element_Py", None), reason="xml.etree.ElementTree runs without its accelerator"
)


def literal_documents():
    """Every str or bytes literal of the test modules that reads as a document, with where it is."""
    found = {}
    for path in sorted(HERE.glob("test_*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
                text = node.value if isinstance(node.value, str) else node.value.decode("utf-8", "replace")
                if text.lstrip("\ufeff \t\r\n").startswith("<"):
                    found.setdefault(node.value, f"{path.stem}:{node.lineno}")
    return found


def generated_documents():
    return {
        "siblings": "<r>" + "<a/>" * 3000 + "</r>",
        "deep-tails": "<d>t" * 900 + "</d>u" * 899 + "</d>",
        "pretty": "<r>" + "\n  <i n='1'>\n    <v>1</v>\n  </i>" * 50 + "\n</r>",
        "empty-texts": "<r><a><![CDATA[]]></a><b></b><c/><![CDATA[]]><d/>x</r>",
    }


def conformance_documents():
    if not CONFORMANCE.exists():
        return {}
    with zipfile.ZipFile(CONFORMANCE) as archive:
        return {archive.read(name): name for name in archive.namelist() if name.endswith(".xml")}


def documents():
    table = {doc: label for label, doc in generated_documents().items()}
    table.update(literal_documents())
    table.update(conformance_documents())
    parsed = []
    for doc, label in table.items():
        try:
            parse_xml(doc, **ALL_OFF)
        except (ValueError, SyntaxError):  # refused or malformed: only trees are compared
            continue
        parsed.append(pytest.param(doc, id=label))
    return parsed


def dump(root):
    """Everything observable of a tree, in document order, '' distinct from None."""
    elements = list(root.iter())
    attribs = [e.attrib for e in elements]
    assert len({id(a) for a in attribs}) == len(attribs), "attribute dicts are shared"
    assert all(type(a) is dict for a in attribs)
    return [(e.tag, list(e.attrib.items()), e.text, e.tail, len(e)) for e in elements]


class Forced(ET.Element):
    """Not the accelerator's own class: takes the generic call sequence."""


@accelerated
@pytest.mark.parametrize("doc", documents())
def test_both_builders_give_the_same_tree(doc, monkeypatch):
    fast = parse_xml(doc, **ALL_OFF)
    assert all(type(e) is ET.Element for e in fast.iter())
    monkeypatch.setattr(ET, "Element", Forced)
    generic = parse_xml(doc, **ALL_OFF)
    assert all(type(e) is Forced for e in generic.iter())
    assert dump(fast) == dump(generic)


def recording_class(base):
    class Recording(base):
        def __init__(self, tag, attrib):
            log.append(("new", tag, dict(attrib)))
            super().__init__(tag, attrib)

        def __setattr__(self, name, value):
            if name in ("text", "tail"):
                log.append(("set", self.tag, name, value))
            super().__setattr__(name, value)

        def append(self, child):
            log.append(("append", self.tag, child.tag))
            super().append(child)

    log = []
    return Recording, log


class Plain(list):
    """A replacement that is no Element at all: its children are list items."""

    def __init__(self, tag, attrib):
        super().__init__()
        self.tag, self.attrib = tag, attrib


EXPECTED_CALLS = [
    ("new", "a", {"k": "v"}),
    ("set", "a", "text", "t"),
    ("new", "b", {}),
    ("set", "b", "text", ""),
    ("set", "b", "tail", "u"),
    ("append", "a", "b"),
]


@pytest.mark.parametrize(
    "base",
    [ET.Element, getattr(ET, "_Element_Py", ET.Element), Plain],
    ids=["subclass-of-accelerator", "subclass-of-pure-python", "not-an-element"],
)
def test_other_classes_see_the_call_sequence(base, monkeypatch):
    cls, log = recording_class(base)
    monkeypatch.setattr(ET, "Element", cls)
    root = parse_xml("<a k='v'>t<b><![CDATA[]]></b>u</a>")
    assert type(root) is cls
    assert log == EXPECTED_CALLS


@pytest.fixture
def elementtree_without_accelerator(monkeypatch):
    """xml.etree.ElementTree imported afresh while `_elementtree` cannot be imported."""
    monkeypatch.setattr(sys.modules["xml.etree"], "ElementTree", ET)  # restored afterwards
    monkeypatch.delitem(sys.modules, "xml.etree.ElementTree")
    monkeypatch.setitem(sys.modules, "_elementtree", None)
    return importlib.import_module("xml.etree.ElementTree")


def test_elementtree_imported_without_its_accelerator(elementtree_without_accelerator):
    fresh = elementtree_without_accelerator
    assert fresh.Element is fresh._Element_Py
    root = parse_xml("<a k='v'>t<b/>u</a>")
    assert type(root) is fresh.Element and type(root[0]) is fresh.Element
    assert (root.attrib, root.text, root[0].tail) == ({"k": "v"}, "t", "u")


class RefusingBuilder:
    def __init__(self, *args, **kwargs):
        raise AssertionError("a patched tree builder was used")


@accelerated
@pytest.mark.parametrize("where", ["xml.etree.ElementTree", "_elementtree"])
def test_a_patched_tree_builder_is_never_used(where, monkeypatch):
    monkeypatch.setattr(sys.modules[where], "TreeBuilder", RefusingBuilder)
    root = parse_xml("<a k='v'>t<b><![CDATA[]]></b>u</a>")
    assert type(root) is ET.Element
    assert dump(root) == [("a", [("k", "v")], "t", None, 1), ("b", [], "", "u", 0)]


class ModuleWithProperty(types.ModuleType):
    @property
    def Element(self):
        return Plain


def module_getattr(name):
    if name == "Element":
        return Plain
    raise AttributeError(name)


@pytest.mark.parametrize(
    "stand_in",
    [
        lambda m: setattr(m, "Element", Plain),
        lambda m: setattr(m, "__getattr__", module_getattr),
        # The property, a data descriptor of the module's type, wins over the module's dict.
        lambda m: (vars(m).update(Element=ET.Element), setattr(m, "__class__", ModuleWithProperty)),
    ],
    ids=["in-dict", "module-getattr", "module-subclass"],
)
def test_element_is_an_attribute_of_the_cached_module(stand_in, monkeypatch):
    module = types.ModuleType("xml.etree.ElementTree")
    stand_in(module)
    monkeypatch.setitem(sys.modules, "xml.etree.ElementTree", module)
    assert type(parse_xml("<a/>")) is Plain


def test_element_tree_not_yet_imported():
    code = "import sys, vorlane; del sys.modules['xml.etree.ElementTree']; print(type(vorlane.parse_xml('<a/>')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "<class 'xml.etree.ElementTree.Element'>"
