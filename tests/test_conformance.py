"""The W3C XML Conformance Test Suite as a source of real-world oddities.

This parser is deliberately tolerant and never applies a DTD, so validity verdicts are not
compared. What must hold for every one of the suite's documents: no crash, and only the
package's own exceptions. Where the standard library builds a tree and no DTD feature is
involved (no defaulted attributes, no declared entity used), the trees must agree.
"""

import csv
import pathlib
import xml.etree.ElementTree as ET
import zipfile

import pytest

from vorlane import parse_xml
from vorlane.common import DefusedXmlException, ParseError

SUITE = pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata" / "w3c-xmlconf"
ARCHIVE = SUITE / "xmlts20130923.zip"
pytestmark = pytest.mark.skipif(not ARCHIVE.exists(), reason="conformance suite not present")

ALL_OFF = {"forbid_dtd": False, "forbid_entities": False, "forbid_external": False}


def cases():
    with open(SUITE / "xmlconf.tsv", newline="", encoding="utf-8") as handle:
        return list(csv.DictReader(handle, delimiter="\t"))


@pytest.fixture(scope="module")
def suite():
    with zipfile.ZipFile(ARCHIVE) as archive:
        yield {row["path"]: (row, archive.read(row["path"])) for row in cases()}


# The standard library folds line ends; this parser keeps them as written. Two foldings cover
# the suite: the standard one, and dropping every CR (for a CR written as a reference).
FOLDINGS = [
    lambda text: text.replace("\r\n", "\n").replace("\r", "\n"),
    lambda text: text.replace("\r", ""),
]


def shape(element, fold):
    def text(value):
        return None if value is None else fold(value)

    def attribute(value):
        # Attribute values are also folded by the standard library: white space becomes a space.
        return fold(value).replace("\t", " ").replace("\n", " ")

    return (
        element.tag,
        {key: attribute(value) for key, value in element.attrib.items()},
        text(element.text) or None,
        text(element.tail) or None,
        [shape(child, fold) for child in element],
    )


@pytest.mark.parametrize("options", [{}, ALL_OFF], ids=["defaults", "all-off"])
def test_every_document_ends_cleanly(suite, options):
    outcomes = {"ok": 0, "refused": 0, "malformed": 0}
    for row, data in suite.values():
        try:
            root = parse_xml(data, **options)
        except DefusedXmlException:
            outcomes["refused"] += 1
        except ParseError as exc:
            assert exc.args and isinstance(exc.args[0], str)
            outcomes["malformed"] += 1
        else:
            assert isinstance(root, ET.Element), row["path"]
            outcomes["ok"] += 1
    assert sum(outcomes.values()) == len(suite)
    assert outcomes["ok"] > 300


def test_trees_agree_with_the_standard_library(suite):
    compared = 0
    mismatches = []
    for row, data in suite.values():
        if row["stdlib_ok"] != "1" or row["defaulted_attrs"] not in ("", "0"):
            continue
        if row["bom"] in ("utf16le", "utf16be") or row["decl_encoding"].lower() not in ("", "utf-8"):
            continue  # input is always read as UTF-8
        if b"<!ATTLIST" in data:
            continue  # declared attribute types change values (defaults, token normalisation)
        try:
            ours = parse_xml(data, **ALL_OFF)
        except ParseError as exc:
            # A DTD-declared entity used in content is refused, never expanded.
            assert row["has_doctype"] == "1", (row["path"], exc)
            continue
        theirs = ET.fromstring(data)
        if all(shape(ours, fold) != shape(theirs, fold) for fold in FOLDINGS):
            mismatches.append(row["path"])
        compared += 1
    assert mismatches == []
    assert compared > 250
