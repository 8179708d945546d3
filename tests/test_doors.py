"""Every door (SAX, minidom, pulldom, XML-RPC, ElementInclude, the standard library switch)
against the standard one on shared documents, and the attack table through each door."""

import csv
import datetime
import gzip
import io
import itertools
import socket
import subprocess
import sys
import textwrap
import xml.dom.minidom
import xml.dom.pulldom
import xml.parsers.expat
import xml.sax
import xmlrpc.client
import zipfile
from xml.etree.ElementTree import tostring
from xml.sax.handler import feature_external_ges, feature_namespaces, feature_validation, property_lexical_handler

import pytest
from attack_table import external_entities, laughs, nested

from support import EXAMPLES, SOURCE_TREE
from support.recording import Recorder, pull_events
from vorlane import ElementInclude, fromstring, minidom, pulldom, sax
from vorlane import xmlrpc as rpc
from vorlane.common import DefusedXmlException, ExternalReferenceForbidden

STRINGS = [
    b"<a/>",
    b"<?xml version='1.0' encoding='iso-8859-1'?>\n<!--head--><?go now?><r a='\xe9'>caf\xe9<![CDATA[<x>]]>&amp;&#65;</r><!--tail-->",
    b"<r xmlns='urn:d' xmlns:p='urn:p' p:a='1' b='2'>\n <p:e p:x=''/>t<e xmlns=''>u</e></r>",
    b"<a v='x\ty\r\nz\n'>\r\n<b>line\rtwo</b>\n\n<c/>\t</a>",
    # References keep the character they stand for; CDATA with written line ends.
    b"<a v='1&#10;2&#9;3&#13;'>1&#13;2\r\n<![CDATA[x\r\ny]]>\r<!--c\r\n--></a>",
    "\ufeff<doc><é attr='&quot;&lt;'>ü</é></doc>".encode(),
    "<a>".encode("utf-16") + "x</a>".encode("utf-16-le"),
    b"<!DOCTYPE r>\n<r xmlns:xml='http://www.w3.org/XML/1998/namespace' xml:lang='en'/>",
    b"<!--c--><!DOCTYPE r [\r\n<!ELEMENT r (#PCDATA|e)*>\r\n<!ELEMENT e EMPTY>]>\n<r>t<e/></r>",
]
# The examples with a DOCTYPE are attacks, or have the standard doors apply ATTLIST defaults.
DOCUMENTS = {
    **{f"string {i}": data for i, data in enumerate(STRINGS)},
    **{
        path.name: path.read_bytes()
        for path in sorted(EXAMPLES.iterdir())
        if path.suffix in {".xml", ".svg", ".rss"} and b"<!DOCTYPE" not in path.read_bytes()
    },
}


def sax_events(make_parser, data, namespaces, pieces=None):
    reader, recorder = make_parser(), Recorder()
    reader.setContentHandler(recorder)
    reader.setProperty(property_lexical_handler, recorder)
    reader.setFeature(feature_namespaces, namespaces)
    if pieces is None:
        reader.parse(io.BytesIO(data))
    else:
        for start in range(0, len(data), pieces):
            reader.feed(data[start : start + pieces])
        reader.close()
    return recorder.events


# (toxml() of a deep document overflows the stack of the standard door.)
REFUSED_BY_THE_STANDARD = (xml.sax.SAXParseException, xml.parsers.expat.ExpatError, RecursionError)


def standard_dom(data):
    document = xml.dom.minidom.parseString(data)
    return document.toxml()


DOORS = {
    "sax": (lambda d: sax_events(xml.sax.make_parser, d, False), lambda d: sax_events(sax.make_parser, d, False)),
    "sax namespaces": (
        lambda d: sax_events(xml.sax.make_parser, d, True),
        lambda d: sax_events(sax.make_parser, d, True, pieces=7),
    ),
    "minidom": (standard_dom, lambda d: minidom.parse(io.BytesIO(d)).toxml()),
    "pulldom": (
        lambda d: pull_events(xml.dom.pulldom.parse(io.BytesIO(d))),
        lambda d: pull_events(pulldom.parse(io.BytesIO(d), bufsize=5)),
    ),
    "pulldom expanded": (
        lambda d: pull_events(xml.dom.pulldom.parseString(d.decode("utf-8", "replace")), expand="b"),
        lambda d: pull_events(pulldom.parseString(d.decode("utf-8", "replace")), expand="b"),
    ),
}


@pytest.mark.parametrize("door", DOORS)
@pytest.mark.parametrize("name", DOCUMENTS)
def test_door_answers_as_the_standard_one(door, name):
    standard, ours = DOORS[door]
    try:
        expected = standard(DOCUMENTS[name])
    except REFUSED_BY_THE_STANDARD:
        pytest.skip("the standard door refuses it")
    try:
        answer = ours(DOCUMENTS[name])
    except DefusedXmlException:
        pytest.skip("vorlane refuses it")
    assert answer == expected


SUITE = SOURCE_TREE.parent / "shared" / "testdata" / "w3c-xmlconf"
# Where a door of ours answers otherwise than the standard one on the W3C documents: a
# byte order mark that contradicts the declared encoding is refused.
W3C_KNOWN = {"xmlconf/eduni/misc/007.xml"}


@pytest.mark.skipif(not SUITE.exists(), reason="the W3C suite is not beside the checkout")
@pytest.mark.parametrize("door", DOORS)
def test_door_answers_as_the_standard_one_on_the_w3c_documents(door):
    standard, ours = DOORS[door]
    with open(SUITE / "xmlconf.tsv", newline="", encoding="utf-8") as table:
        rows = [
            row
            for row in csv.DictReader(table, delimiter="\t")
            if row["stdlib_ok"] == "1" and row["has_doctype"] == "0"
        ]
    differing = set()
    with zipfile.ZipFile(SUITE / "xmlts20130923.zip") as archive:
        for row in rows:
            data = archive.read(row["path"])
            try:
                expected = standard(data)
            except REFUSED_BY_THE_STANDARD:
                continue
            try:
                answer = ours(data)
            except Exception as exc:
                answer = exc
            if answer != expected:
                differing.add(row["path"])
    assert len(rows) > 90 and differing <= W3C_KNOWN


RPC_VALUES = [
    (1, -(2**31), 2**31 - 1, True, False, 1.5, "text <&>", ""),
    ([1, [2, "x"]], {"a": {"b": []}, "c": None}),
    (xmlrpc.client.DateTime("20240102T03:04:05"), xmlrpc.client.Binary(b"\0\xff")),
    (datetime.datetime(2024, 1, 2, 3, 4, 5), b"bytes"),
]
RPC_PACKETS = [
    *[xmlrpc.client.dumps(values, allow_none=True) for values in RPC_VALUES],
    xmlrpc.client.dumps(RPC_VALUES[0], methodname="m.call"),
    xmlrpc.client.dumps(xmlrpc.client.Fault(4, "no"), methodresponse=True),
    xmlrpc.client.dumps(("r",), methodresponse=True),
    "<params><param><value>bare</value></param><param><value><i8>9</i8></value></param></params>",
]


@pytest.mark.parametrize("flags", [{}, {"use_datetime": True}, {"use_builtin_types": True}])
@pytest.mark.parametrize("packet", RPC_PACKETS)
def test_xmlrpc_loads_as_the_standard_one(packet, flags):
    def outcome(loads):
        try:
            return loads(packet, **flags)
        except xmlrpc.client.Fault as fault:
            return fault.faultCode, fault.faultString

    assert outcome(rpc.loads) == outcome(xmlrpc.client.loads)


def test_sax_reader_refuses_loading_features():
    reader = sax.make_parser()
    for feature in (feature_external_ges, feature_validation):
        with pytest.raises(xml.sax.SAXNotSupportedException):
            reader.setFeature(feature, True)


# A document that fails, the options, what is raised and where (line, column), and the last
# event reported before.
SAX_FAILURES = [
    (b"<a>\n<b></c>", {}, "SAXParseException", (2, 3), "startElement"),
    (b"<?xml version='1.0' encoding='ascii'?><a>\n  x\xff</a>", {}, "SAXParseException", (2, 3), "startElement"),
    (b"<!--c-->\n<!DOCTYPE a [<!ENTITY e 'x'>]><a/>", {}, "EntitiesForbidden", (2, 0), "comment"),
    (b"<a>\n <b/></a>", {"max_depth": 1}, "DefusedXmlException", (2, 1), "startElement"),
    (b"<a>\n <b>&e;</b></a>", {}, "EntitiesForbidden", (2, 4), "startElement"),
]


@pytest.mark.parametrize("pieces", [None, 3])
@pytest.mark.parametrize("document, options, raised, position, last", SAX_FAILURES)
def test_sax_failures_are_placed(document, options, raised, position, last, pieces):
    reader, recorder = sax.make_parser(**options), Recorder()
    reader.setContentHandler(recorder)
    reader.setProperty(property_lexical_handler, recorder)
    with pytest.raises((xml.sax.SAXParseException, DefusedXmlException)) as caught:
        for start in range(0, len(document), pieces or len(document)):
            reader.feed(document[start : start + (pieces or len(document))])
        reader.close()
    failure = caught.value
    if isinstance(failure, xml.sax.SAXParseException):
        assert (failure.getLineNumber(), failure.getColumnNumber()) == failure.getException().position
        failure = failure.getException()
    assert (type(caught.value).__name__, failure.position, recorder.events[-1][0]) == (raised, position, last)


ATTACKS = {
    "entity expansion": laughs(4),
    "external entity": external_entities(1),
    "external DTD": '<!DOCTYPE r SYSTEM "http://127.0.0.1:9/x.dtd"><r/>',
    "deep nesting": nested(5000),
    "huge attribute": "<r a='" + "x" * (10 * 2**20 + 1) + "'/>",
}
ATTACK_DOORS = {
    "sax": lambda d: sax.parseString(d, Recorder()),
    "minidom": minidom.parseString,
    "pulldom": lambda d: [stream.expandNode(node) for stream in [pulldom.parseString(d)] for _, node in stream],
    "xmlrpc": rpc.loads,
}


@pytest.mark.parametrize("door", ATTACK_DOORS)
@pytest.mark.parametrize("attack", ATTACKS)
def test_attacks_are_refused_through_every_door(door, attack):
    with pytest.raises(DefusedXmlException):
        ATTACK_DOORS[door](ATTACKS[attack])


def test_no_door_connects_to_what_a_document_names():
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.setblocking(False)
        port = listener.getsockname()[1]
        url = f"http://127.0.0.1:{port}/x"
        for door, document in itertools.product(
            ATTACK_DOORS.values(),
            [f'<!DOCTYPE r SYSTEM "{url}"><r/>', f'<!DOCTYPE r [<!ENTITY e SYSTEM "{url}">]><r>&e;</r>'],
        ):
            with pytest.raises(DefusedXmlException):
                door(document)
        with pytest.raises(BlockingIOError):
            listener.accept()


def test_pulldom_reads_in_pieces():
    document = io.BytesIO(b"<log>" + b"<record>text</record>" * 50_000 + b"</log>")
    stream = pulldom.parse(document)
    assert [event for event, _ in itertools.islice(stream, 3)] == ["START_DOCUMENT", "START_ELEMENT", "START_ELEMENT"]
    assert document.tell() < len(document.getvalue()) // 10


def test_gzip_decode_bounds_what_it_inflates():
    bomb = gzip.compress(bytes(50 * 2**20))
    with pytest.raises(DefusedXmlException):
        rpc.gzip_decode(bomb)
    assert rpc.gzip_decode(gzip.compress(b"x" * 1000), max_decode=1000) == b"x" * 1000


XI = "http://www.w3.org/2001/XInclude"


def include_tree(tmp_path, files, **settings):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    root = fromstring((tmp_path / "top.xml").read_text())
    ElementInclude.include(root, base_folder=tmp_path if settings.pop("folder", True) else None, **settings)
    return root


def xinclude(href, parse="xml"):
    return f"<d xmlns:xi='{XI}'><xi:include href='{href}' parse='{parse}'/></d>"


B = {"top.xml": xinclude("b.xml"), "b.xml": "<b>" + "x" * 100 + "</b>"}
Refused = ExternalReferenceForbidden
INCLUDES = {
    "a file inside": (B, {}, "<b>xxx"),
    "text": ({"top.xml": xinclude("t.txt", "text"), "t.txt": "hi"}, {}, "hi"),
    "no folder": (B, {"folder": False}, Refused),
    "outside": ({"top.xml": xinclude("../x.xml")}, {}, Refused),
    "a URL": ({"top.xml": xinclude("http://127.0.0.1:9/x")}, {}, Refused),
    "too deep": (
        {**B, "top.xml": xinclude("1.xml"), "1.xml": xinclude("b.xml")},
        {"max_depth": 1},
        ElementInclude.LimitedRecursiveIncludeError,
    ),
    "too large": (B, {"max_size": 50}, DefusedXmlException),
    "an attack inside": ({**B, "b.xml": laughs(3)}, {}, DefusedXmlException),
}


@pytest.mark.parametrize("case", INCLUDES)
def test_element_include(case, tmp_path):
    files, settings, expected = INCLUDES[case]
    if isinstance(expected, type):
        with pytest.raises(expected):
            include_tree(tmp_path, files, **settings)
    else:
        assert expected in tostring(include_tree(tmp_path, files, **settings), "unicode")


SWITCH = textwrap.dedent(
    """
    import io, xml.etree.ElementTree as ET, xml.sax, xml.dom.minidom, xml.dom.pulldom, xmlrpc.client
    from xml.etree import ElementInclude
    import vorlane.stdlib
    from vorlane.common import DefusedXmlException
    attack = {attack!r}
    doors = {{
        "ET.fromstring": lambda: ET.fromstring(attack),
        "ET.parse": lambda: ET.parse(io.StringIO(attack)),
        "ET.iterparse": lambda: list(ET.iterparse(io.BytesIO(attack.encode()))),
        "ET.XMLParser": lambda: (p := ET.XMLParser(), p.feed(attack), p.close()),
        "ET.XMLPullParser": lambda: (p := ET.XMLPullParser(), p.feed(attack), p.close(), list(p.read_events())),
        "sax.parseString": lambda: xml.sax.parseString(attack.encode(), xml.sax.ContentHandler()),
        "sax.make_parser": lambda: xml.sax.make_parser().parse(io.BytesIO(attack.encode())),
        "minidom.parseString": lambda: xml.dom.minidom.parseString(attack),
        "pulldom.parseString": lambda: list(xml.dom.pulldom.parseString(attack)),
        "xmlrpc.client.loads": lambda: xmlrpc.client.loads(attack),
        "ElementInclude": lambda: ElementInclude.include(ET.fromstring({include!r})),
    }}
    def outcome(door):
        try:
            door()
        except DefusedXmlException:
            return "refused"
        except Exception as exc:
            return type(exc).__name__
        return "accepted"
    with vorlane.stdlib.enabled():
        print(sorted({{outcome(door) for door in doors.values()}}))
    print(sorted({{outcome(door) for name, door in doors.items() if name != "ElementInclude"}}))
    """
)


def test_the_standard_library_switch_refuses_through_every_entry_point():
    script = SWITCH.format(attack=laughs(4), include=xinclude("/etc/hostname"))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    enabled, disabled = result.stdout.splitlines()
    assert enabled == "['refused']" and "refused" not in disabled
