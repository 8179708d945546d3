import gc
import inspect
import io
import os
import pathlib
import re
import typing
import xml.etree.ElementTree as std

import pytest

import vorlane
import vorlane.ElementTree as ET
from support import SOURCE_TREE
from vorlane import DefusedXmlException, DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden, ParseError
from vorlane._vorlane import parse_xml
from vorlane.cli.command import OPTION_HELP, build_parser, option_flags


def in_file(tmp_path, document):
    path = tmp_path / "document.xml"
    path.write_bytes(document.encode("utf-8"))
    return path


# Each entry point as a call (document as str, options, tmp_path) -> root element.
ENTRY_POINTS = {
    "fromstring str": lambda doc, opts, tmp: vorlane.fromstring(doc, **opts),
    "fromstring bytes": lambda doc, opts, tmp: vorlane.fromstring(doc.encode(), **opts),
    "fromstring utf-16": lambda doc, opts, tmp: vorlane.fromstring(doc.encode("utf-16"), **opts),
    "XML": lambda doc, opts, tmp: vorlane.XML(doc, **opts),
    "fromstringlist": lambda doc, opts, tmp: vorlane.fromstringlist([doc[:3], doc[3:]], **opts),
    "XMLID": lambda doc, opts, tmp: vorlane.XMLID(doc, **opts)[0],
    "parse str path": lambda doc, opts, tmp: vorlane.parse(str(in_file(tmp, doc)), **opts).getroot(),
    "parse bytes path": lambda doc, opts, tmp: vorlane.parse(os.fsencode(in_file(tmp, doc)), **opts).getroot(),
    "parse PathLike": lambda doc, opts, tmp: vorlane.parse(in_file(tmp, doc), **opts).getroot(),
    "parse binary file": lambda doc, opts, tmp: vorlane.parse(io.BytesIO(doc.encode()), **opts).getroot(),
    "parse text file": lambda doc, opts, tmp: vorlane.parse(io.StringIO(doc), **opts).getroot(),
}


def iterparse_root(doc, opts):
    context = ET.iterparse(io.StringIO(doc), ("start", "end"), **opts)
    list(context)
    return context.root


def pulled(doc, opts):
    parser = ET.XMLPullParser(("start",), **opts)
    parser.feed(doc)
    parser.close()
    return list(parser.read_events())[0][1]  # a failure is raised after the events before it


def fed(doc, opts, **arguments):
    parser = ET.XMLParser(**arguments, **opts)
    parser.feed(doc.encode())
    return parser.close()


# The same for the drop-in module.
ENTRY_POINTS.update(
    {
        "ET.fromstring": lambda doc, opts, tmp: ET.fromstring(doc, **opts),
        "ET.XML": lambda doc, opts, tmp: ET.XML(doc.encode("utf-16"), **opts),
        "ET.fromstringlist": lambda doc, opts, tmp: ET.fromstringlist([doc[:3], doc[3:]], **opts),
        "ET.XMLID": lambda doc, opts, tmp: ET.XMLID(doc, **opts)[0],
        "ET.parse": lambda doc, opts, tmp: ET.parse(in_file(tmp, doc), **opts).getroot(),
        "ET.ElementTree.parse": lambda doc, opts, tmp: ET.ElementTree().parse(io.StringIO(doc), **opts),
        "ET.iterparse": lambda doc, opts, tmp: iterparse_root(doc, opts),
        "ET.XMLParser": lambda doc, opts, tmp: fed(doc, opts),
        "ET.XMLParser target": lambda doc, opts, tmp: fed(doc, opts, target=ET.TreeBuilder()),
        "ET.XMLPullParser": lambda doc, opts, tmp: pulled(doc, opts),
        "ET.fromstring parser": lambda doc, opts, tmp: ET.fromstring(doc, ET.XMLParser(**opts)),
    }
)

# (document, options, exception class, text of the message)
REFUSALS = {
    "dtd": ("<!DOCTYPE r><r/>", {"forbid_dtd": True}, DTDForbidden, "DOCTYPE is forbidden"),
    "entity": ("<!DOCTYPE r [<!ENTITY e 'x'>]><r>&e;</r>", {}, EntitiesForbidden, "entity 'e' is forbidden"),
    "external": ("<!DOCTYPE r SYSTEM 'x.dtd'><r/>", {}, ExternalReferenceForbidden, "external reference"),
    "depth": ("<a><a><a/></a></a>", {"max_depth": 2}, DefusedXmlException, "nesting depth limit of 2"),
    "text": ("<a>hello</a>", {"max_text_size": 3}, DefusedXmlException, "text size limit of 3"),
    "attributes": ("<a x='1' y='2'/>", {"max_attributes": 1}, DefusedXmlException, "attribute count limit of 1"),
    "attribute size": (
        "<a x='1234'/>",
        {"max_attribute_size": 3},
        DefusedXmlException,
        "attribute exceeded maximum size limit of 3",
    ),
    "name": ("<abcdef/>", {"max_name_size": 3}, DefusedXmlException, "tag name exceeded maximum length limit of 3"),
    "comment": (
        "<a><!-- long --></a>",
        {"max_comment_size": 3},
        DefusedXmlException,
        "comment exceeded maximum size limit of 3",
    ),
    "malformed": ("<a><b></a>", {}, ParseError, "expected `</b>`, but `</a>` was found"),
}

# Documents refused by default and accepted once an option relaxes the rule.
RELAXED = [
    ("<!DOCTYPE r [<!ENTITY e 'x'>]><r>t</r>", {"forbid_entities": False}),
    ("<!DOCTYPE r SYSTEM 'x.dtd'><r>t</r>", {"forbid_external": False}),
    ("<a><a><a>t</a></a></a>", {"max_depth": 3}),
]


@pytest.mark.parametrize("refusal", REFUSALS.values(), ids=REFUSALS.keys())
@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_each_refusal_from_each_entry_point(entry, refusal, tmp_path):
    document, options, exception, message = refusal
    with pytest.raises(exception) as info:
        entry(document, options, tmp_path)
    assert message in str(info.value)
    # Only the refused option makes the difference.
    if options:
        assert entry(document.replace("&e;", ""), {}, tmp_path) is not None


@pytest.mark.parametrize("document, options", RELAXED)
@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_relaxing_options_reach_the_parser(entry, document, options, tmp_path):
    assert entry(document, options, tmp_path).itertext().__next__() == "t"


OPTION_TABLE = SOURCE_TREE / "src" / "common" / "parse_options.h"
ENTRY_SIGNATURES = [
    (vorlane.fromstring, ["text"]),
    (vorlane.fromstringlist, ["sequence"]),
    (vorlane.XMLID, ["text"]),
    (vorlane.parse, ["source"]),
    (ET.fromstring, ["text", "parser"]),
    (ET.fromstringlist, ["sequence", "parser"]),
    (ET.XMLID, ["text", "parser"]),
    (ET.parse, ["source", "parser"]),
    (ET.iterparse, ["source", "events", "parser", "tag", "release"]),
    (ET.ElementTree.parse, ["self", "source", "parser"]),
    (ET.XMLParser.__init__, ["self", "target", "encoding"]),
    (ET.XMLPullParser.__init__, ["self", "events", "_parser"]),
]


def test_one_option_list():
    # The C++ table (read from the source tree when it is there) is what the extension's
    # signature is generated from; ParseOptions, every entry point, the stub and the
    # command line must agree with it.
    runtime = [(n, p.default) for n, p in inspect.signature(parse_xml).parameters.items() if n != "source"]
    if OPTION_TABLE.exists():
        table = re.findall(r"X\((Switch|Limit), (\w+), (\w+)\)", OPTION_TABLE.read_text())
        literal = {"true": True, "false": False}
        assert [
            (name, literal.get(value, value) if kind == "Switch" else int(value)) for kind, name, value in table
        ] == runtime
    kinds = {name: bool if isinstance(default, bool) else int for name, default in runtime} | {"strict": bool}
    assert typing.get_type_hints(vorlane.ParseOptions) == kinds and not vorlane.ParseOptions.__required_keys__
    assert list(vorlane.ParseOptions.__annotations__) == list(kinds)
    for function, leading in ENTRY_SIGNATURES:
        parameters = list(inspect.signature(function).parameters.values())
        assert [p.name for p in parameters] == [*leading, "options"], function
        assert parameters[-1].kind is parameters[-1].VAR_KEYWORD
        hint = typing.get_type_hints(function)["options"]
        assert typing.get_origin(hint) is typing.Unpack and typing.get_args(hint) == (vorlane.ParseOptions,)
    assert set(option_flags()) == set(OPTION_HELP) == set(kinds)
    check = build_parser()._subparsers._group_actions[0].choices["check"]
    dests = {action.dest for action in check._actions if action.option_strings and action.dest in kinds}
    assert dests == set(kinds)


@pytest.mark.parametrize(
    "call",
    [
        lambda: vorlane.fromstring("<a/>", max_dept=3),
        lambda: ET.XMLParser(forbid_dtds=True),
        lambda: ET.XMLPullParser(max_depht=1),
        lambda: ET.iterparse(io.BytesIO(b"<a/>"), forbidden=True),
        lambda: ET.fromstring("<a/>", ET.XMLParser(), max_depth=1000),  # an option at its default is still an option
    ],
)
def test_options_are_checked_where_they_are_taken(call):
    with pytest.raises(TypeError, match="unexpected keyword argument|options or a parser, not both"):
        call()


def test_file_is_read_in_pieces_until_it_ends():
    class Source:
        calls = []
        pieces = [b"<a>two ", "pieces</a>", b""]

        def read(self, *args):
            self.calls.append(args)
            return self.pieces.pop(0)

    source = Source()
    assert vorlane.parse(source).getroot().text == "two pieces"
    assert source.calls == [(65536,)] * 3


@pytest.mark.parametrize(
    "source, exception",
    [
        ("/nonexistent/document.xml", FileNotFoundError),
        (pathlib.Path("/"), IsADirectoryError),
    ],
)
def test_opening_errors_are_oserrors(source, exception):
    with pytest.raises(exception):
        vorlane.parse(source)


def test_path_is_closed_after_reading(tmp_path, recwarn):
    vorlane.parse(in_file(tmp_path, "<a/>"))
    gc.collect()
    assert [w for w in recwarn if issubclass(w.category, ResourceWarning)] == []


@pytest.mark.parametrize(
    "pieces, expected",
    [
        (["<a>", "x</a>"], "x"),
        ([b"<a>", b"\xc3\xa9</a>"], "é"),
        (iter([b"<?xml version='1.0' encoding='latin-1'?>", b"<a>\xe9</a>"]), "é"),
        ([bytearray(b"<a>"), memoryview(b"y</a>")], "y"),
    ],
)
def test_fromstringlist_joins_pieces(pieces, expected):
    assert vorlane.fromstringlist(pieces).text == expected


def test_fromstringlist_refuses_mixed_pieces():
    with pytest.raises(TypeError, match="all str or all bytes"):
        vorlane.fromstringlist(["<a>", b"</a>"])


@pytest.mark.parametrize("source", [42, None, 1.5])
def test_fromstring_wants_text_or_bytes(source):
    with pytest.raises(TypeError, match="must be str or bytes"):
        vorlane.fromstring(source)


@pytest.mark.parametrize("result", [None, 42, ["<a/>"]])
def test_read_must_give_text_or_bytes(result):
    class Source:
        def read(self):
            return result

    with pytest.raises(TypeError, match="read\\(\\) must return str or bytes"):
        vorlane.parse(Source())


@pytest.mark.parametrize(
    "document",
    [
        "<html><body>text</body></html>",
        "<html><body id='body'>text</body><p id=''/><p id='x'/><p id='x'>second</p></html>",
        "<r id='root'><a id='1'><b id='2'/></a></r>",
    ],
)
def test_xmlid_agrees_with_the_standard_library(document):
    root, ids = vorlane.XMLID(document)
    expected_root, expected_ids = std.XMLID(document)
    assert std.tostring(root) == std.tostring(expected_root)
    assert {key: std.tostring(value) for key, value in ids.items()} == {
        key: std.tostring(value) for key, value in expected_ids.items()
    }
    assert all(value in list(root.iter()) for value in ids.values())


def test_parse_returns_an_element_tree():
    tree = vorlane.parse(io.BytesIO(b"<a><b/></a>"))
    assert type(tree) is std.ElementTree
    assert tree.find("b") is tree.getroot()[0]


# Entry points that take no options refuse with the defaults.
DEFAULTS_ONLY = {
    "ET.ElementTree(file=)": lambda doc: ET.ElementTree(file=io.StringIO(doc)).getroot(),
    "ET.canonicalize": lambda doc: ET.canonicalize(doc),
    "ET.canonicalize from_file": lambda doc: ET.canonicalize(from_file=io.BytesIO(doc.encode())),
}


@pytest.mark.parametrize(
    "refusal", [r for r in REFUSALS.values() if not r[1]], ids=[k for k, r in REFUSALS.items() if not r[1]]
)
@pytest.mark.parametrize("entry", DEFAULTS_ONLY.values(), ids=DEFAULTS_ONLY.keys())
def test_each_default_refusal_from_entry_points_without_options(entry, refusal):
    document, _, exception, message = refusal
    with pytest.raises(exception, match=re.escape(message)):
        entry(document)


class PathWithRead(str):
    def read(self, *size):
        raise AssertionError("a str is a path, never a file object")


BINDINGS = "".join(f"<e xmlns:p{i}='urn:{i}'>" for i in range(129)) + "</e>" * 129
DEEP = "<a>" * 65536 + "</a>" * 65536
# Faults of the Python layer: (call, exception, message)
PYTHON_LAYER = {
    "lone surrogate": (
        lambda tmp: vorlane.fromstring("<a>\ud800</a>"),
        ParseError,
        "the document is not Unicode text: surrogates not allowed (U+D800 at character 3)",
    ),
    "lone surrogate, drop-in": (lambda tmp: ET.XML("<a b='\udfff'/>"), ParseError, "(U+DFFF at character 6)"),
    "str with read() is a path": (
        lambda tmp: vorlane.parse(PathWithRead(in_file(tmp, "<p/>"))).getroot().tag,
        None,
        "p",
    ),
    "... to the drop-in too": (lambda tmp: ET.parse(PathWithRead(in_file(tmp, "<p/>"))).getroot().tag, None, "p"),
    "128 namespace bindings": (
        lambda tmp: vorlane.fromstring(BINDINGS),
        ParseError,
        "more than 128 namespace bindings in scope: a fixed limit that no option raises",
    ),
    "65,535 levels": (
        lambda tmp: ET.fromstring(DEEP, max_depth=10**6),
        ParseError,
        "supported limit of 65535: a fixed limit that no option raises, whatever max_depth says",
    ),
}


@pytest.mark.parametrize("call, exception, message", PYTHON_LAYER.values(), ids=PYTHON_LAYER.keys())
def test_python_layer_faults(call, exception, message, tmp_path):
    if exception is None:
        assert call(tmp_path) == message
        return
    with pytest.raises(exception) as info:
        call(tmp_path)
    assert message in str(info.value)
    assert "NamespaceResolver" not in str(info.value)
