"""The record dump of bench/stream_bench.py: the size asked for, and a document that vorlane
and the standard library read alike, so the benchmark times parsing and not a refusal. The
feed timings compare n with 4n: a dump that does not grow with the size would read as
constant time."""

import importlib.util
import os
import xml.etree.ElementTree as ET

import pytest

import vorlane

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", "stream_bench.py")
if not os.path.exists(SCRIPT):  # the wheel's test run gets tests/ without bench/
    pytest.skip("bench/ is not beside tests/", allow_module_level=True)
_spec = importlib.util.spec_from_file_location("stream_bench", SCRIPT)
stream_bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(stream_bench)


def _shape(root):
    return [(e.tag, e.attrib, e.text, e.tail) for e in root.iter()]


@pytest.mark.parametrize("size", [1, 5_000, 20_000, 80_000, 1_000_000])
def test_dump_has_the_size_asked_and_parses_alike(size):
    document, records = stream_bench.dump_in_memory(size)
    # At least the size; over it by at most one record per 200 bytes asked and the root.
    assert size <= len(document) <= size * 1.05 + 500
    expected = ET.fromstring(document)
    assert sum(1 for e in expected.iter(stream_bench.RECORD)) == records
    assert _shape(vorlane.fromstring(document)) == _shape(expected)
    assert b"&#" in document and b"xmlns:dc=" in document
