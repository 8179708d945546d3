"""Where failures happened, on every road, and refusals caught as the standard ParseError."""

import io
import pickle
import sys
import types
import xml.etree.ElementTree as standard

import pytest

import vorlane
import vorlane.common
import vorlane.ElementTree as ET
from vorlane import DefusedXmlException, EntitiesForbidden, ParseError, parse_xml

# (document, (line, column) of its failure): the standard library's position where it fails
# too, but for a mismatched end tag, where expat points at the name, two characters on.
POSITIONS = [
    ("", (1, 0)),
    ("<a>\n  <b>", (2, 5)),
    ("<é>\n  <ö>", (2, 5)),  # characters, not bytes
    ("<a>\r<b>\r\n<c>\n", (4, 0)),
    ("<a/>\n\n <b/>", (3, 1)),
    ("<a>\n&#xD800;</a>", (2, 0)),
    ("<a>\n \ud800</a>", (2, 1)),  # no Unicode text: neither parser reads it
    ("<a>\n&e;</a>", (2, 0)),  # a refusal here, an undefined entity there
    ("<a>\n<b>\n</c></b></a>", (3, 0)),
    ("<é>\n<ö></ü></é>", (2, 3)),
    ("<a>\nあ".encode("utf-16") + b"\0", (2, 1)),  # decoded: after the characters before the bad bytes
    ("<a>\n  <é>".encode("utf-16-le"), (2, 5)),  # UTF-16 without a byte order mark, in characters
    ("<a>\n  <é>".encode("utf-16-be"), (2, 5)),
    (b"<?xml version='1.0' encoding='shift_jis'?>\n<a>\x82\xa0\xff\xff</a>", (2, 4)),
    (b"<?xml version='1.0' encoding='utf:8'?><a/>", (1, 0)),  # at the declaration
]


def failure(call, *args):
    with pytest.raises((ParseError, DefusedXmlException)) as info:
        call(*args)
    return info.value


def fed_piece_by_piece(document):
    parser = ET.XMLParser()
    for piece in (bytes([byte]) for byte in document) if isinstance(document, bytes) else document:
        parser.feed(piece)
    parser.close()


@pytest.mark.parametrize("document, position", POSITIONS)
def test_positions(document, position):
    assert failure(vorlane.fromstring, document).position == position
    assert failure(fed_piece_by_piece, document).position == position  # offsets absolute across pieces
    if isinstance(document, str) and "\ud800" not in document:
        with pytest.raises(standard.ParseError) as info:
            standard.fromstring(document)
        line, column = info.value.position
        assert (line, column - 2 * ("></" in document)) == position


REFUSED, MALFORMED = "<a>\n&e;</a>", "<a>\n<b>"


# One row per kind of entry point: each document goes in as the road takes it.
ENTRY_POINTS = {
    "vorlane.fromstring": vorlane.fromstring,
    "vorlane.parse": lambda text: vorlane.parse(io.StringIO(text)),
    "ET.fromstringlist with a parser": lambda text: ET.fromstringlist([text[:3], text[3:]], ET.XMLParser()),
    "ET.parse": lambda text: ET.parse(io.BytesIO(text.encode())),
    "ET.iterparse": lambda text: list(ET.iterparse(io.BytesIO(text.encode()), ("start", "end"))),
    "ET.canonicalize": ET.canonicalize,
}


@pytest.mark.parametrize("call", ENTRY_POINTS.values(), ids=ENTRY_POINTS)
def test_attributes_and_catching(call):
    with pytest.raises(standard.ParseError) as info:
        call(REFUSED)
    refusal = info.value
    assert isinstance(refusal, EntitiesForbidden) and isinstance(refusal, ValueError)
    assert type(refusal).__name__ == "EntitiesForbidden" and refusal.args == ("e", None, None, None, None, None)
    assert str(refusal) == "entity 'e' is forbidden (name='e')"
    assert (refusal.position, refusal.lineno, refusal.offset) == ((2, 0), 2, 1)
    copy = pickle.loads(pickle.dumps(refusal))
    assert type(copy) is type(refusal) and copy.args == refusal.args and copy.position == (2, 0)
    malformed = failure(call, MALFORMED)
    assert str(malformed) == "No XML root element found" and malformed.code is None
    assert (malformed.position, malformed.lineno, malformed.offset) == ((2, 3), 2, 4)


def test_parse_xml_raises_its_classes_as_they_are():
    assert type(failure(parse_xml, REFUSED)) is EntitiesForbidden
    assert failure(parse_xml, REFUSED).position is failure(parse_xml, MALFORMED).position is None


def test_a_class_that_refuses_attributes_is_raised_anyway(monkeypatch):
    class Sealed(ParseError):
        def __setattr__(self, name, value):
            raise AttributeError(name)

    module = types.ModuleType("vorlane.common")
    module.__dict__.update(vars(vorlane.common), ParseError=Sealed)
    monkeypatch.setitem(sys.modules, "vorlane.common", module)
    for call in (vorlane.fromstring, fed_piece_by_piece):
        assert type(failure(call, MALFORMED)) is Sealed
