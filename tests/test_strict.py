"""Strict mode against the standard library on the W3C suite's documents without a DOCTYPE:
the same verdicts, short of a few justified differences, and the same trees where both accept."""

import csv
import xml.etree.ElementTree as ET
import zipfile

import pytest

from support import SOURCE_TREE
from vorlane._events import EventParser, parse_document
from vorlane.common import DefusedXmlException, ParseError

SUITE = SOURCE_TREE.parent / "shared" / "testdata" / "w3c-xmlconf"
pytestmark = pytest.mark.skipif(not (SUITE / "xmlts20130923.zip").exists(), reason="conformance suite not present")

# Not well-formed, refused by the standard library, accepted here.
ACCEPTED_NOT_WF = {
    # Names that the fifth edition of XML 1.0 allows and the standard library's older tables do not.
    "xmlconf/eduni/xml-1.1/014.xml",
    "xmlconf/eduni/xml-1.1/016.xml",
    "xmlconf/eduni/xml-1.1/019.xml",
    # encoding="UTF-16" over ASCII bytes: every input is read as UTF-8, a str's as much as bytes'.
    "xmlconf/eduni/errata-2e/E61.xml",
}
# Accepted by the standard library, refused here: UTF-16 input, which the core does not decode.
REFUSED_WF = {"xmlconf/sun/invalid/utf16b.xml", "xmlconf/sun/invalid/utf16l.xml"}


@pytest.fixture(scope="module")
def verdicts():
    """Per DOCTYPE-free document: its row, the standard library's tree or None, and ours or None."""
    with open(SUITE / "xmlconf.tsv", newline="", encoding="utf-8") as table:
        rows = [row for row in csv.DictReader(table, delimiter="\t") if row["has_doctype"] == "0"]
    out = []
    with zipfile.ZipFile(SUITE / "xmlts20130923.zip") as archive:
        for row in rows:
            data = archive.read(row["path"])
            theirs = ET.fromstring(data) if row["stdlib_ok"] == "1" else None
            try:
                ours = parse_document(data, strict=True)
            except (ParseError, DefusedXmlException):
                ours = None
            out.append((row, theirs, ours))
    return out


def test_verdicts_agree_with_the_standard_library(verdicts):
    bad = [r for r, theirs, _ in verdicts if r["type"] == "not-wf" and theirs is None]
    good = [r for r, theirs, _ in verdicts if r["type"] in ("valid", "invalid") and theirs is not None]
    accepted = {r["path"] for r, theirs, ours in verdicts if r in bad and ours is not None}
    refused = {r["path"] for r, theirs, ours in verdicts if r in good and ours is None}
    assert (len(bad), len(good)) == (286, 61)
    assert (accepted, refused) == (ACCEPTED_NOT_WF, REFUSED_WF)


def test_trees_equal_the_standard_library_s(verdicts):
    both = [(theirs, ours) for _, theirs, ours in verdicts if theirs is not None and ours is not None]
    assert len(both) > 50
    for theirs, ours in both:
        assert ET.tostring(ours) == ET.tostring(theirs)


@pytest.mark.parametrize(
    ("data", "offset"),
    [(b"<r>\x01</r>", 3), (b"<r a='1' p:b='2'/>", 9), (b"<r>\r\n<!-- a -- b --></r>", 12)],
)
def test_event_parser_refuses_where_the_fault_is(data, offset):
    parser = EventParser(strict=True)
    with pytest.raises(ParseError):
        parser.feed(data, True, [])
    assert parser.error_offset() == offset
