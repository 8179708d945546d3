"""The event parser: one engine with parse_xml, and the same outcome for every cutting of an input."""

import pathlib
import random
import xml.etree.ElementTree as ET
import zipfile

import pytest

from support.messages import ATTRIBUTE_SIZE, INSTRUCTION_SIZE, NAME_SIZE
from vorlane import DefusedXmlException, parse_xml
from vorlane._events import EventParser

ROOT = pathlib.Path(__file__).resolve().parents[1]
ARCHIVE = ROOT.parent / "shared" / "testdata" / "w3c-xmlconf" / "xmlts20130923.zip"
ALL_OFF = {"forbid_dtd": False, "forbid_entities": False, "forbid_external": False}
TIGHT = {"max_text_size": 5, "max_depth": 3, "max_comment_size": 3, "max_name_size": 6, "max_attributes": 2}


def documents():
    docs = [path.read_bytes() for path in sorted((ROOT / "examples").iterdir()) if path.suffix != ".py"]
    if ARCHIVE.exists():
        with zipfile.ZipFile(ARCHIVE) as archive:
            names = sorted(name for name in archive.namelist() if name.endswith(".xml"))
            docs += [archive.read(name) for name in names[::3]]
    return docs


DOCUMENTS = documents()


def events(data, cuts=(), options=None):
    """The events of `data` fed in pieces ending at `cuts`, and the failure (class, args, offset)."""
    parser = EventParser(**(options or {}))
    out = []
    start = 0
    try:
        for cut in cuts:
            parser.feed(data[start:cut], False, out)
            start = cut
        parser.feed(data[start:], True, out)
    except (ValueError, SyntaxError) as exc:  # every refusal and syntax error
        return out, (type(exc), exc.args, parser.error_offset(), parser.position(parser.error_offset()))
    return out, None


def tree(events):
    builder = ET.TreeBuilder()
    for event in events:
        if event[0] == "start":
            builder.start(event[1], event[2])
        elif event[0] == "end":
            builder.end(event[1])
        elif event[0] == "data":
            builder.data(event[1])
    return builder.close()


@pytest.mark.parametrize(
    "options", [{}, ALL_OFF, TIGHT, {"strict": True}], ids=["defaults", "all-off", "tight", "strict"]
)
def test_every_cutting_gives_the_whole_outcome(options):
    rng = random.Random(1)
    for data in DOCUMENTS:
        whole = events(data, (), options)
        cuttings = [sorted(rng.sample(range(len(data) + 1), min(k, len(data) + 1))) for k in (1, 4, 40)]
        if len(data) < 400:
            cuttings.append(range(1, len(data)))
        for cuts in cuttings:
            assert events(data, cuts, options) == whole, (data[:120], list(cuts))


@pytest.mark.parametrize("options", [{}, ALL_OFF], ids=["defaults", "all-off"])
def test_one_engine_with_parse_xml(options):
    for data in DOCUMENTS:
        out, failure = events(data, (), options)
        try:
            expected = parse_xml(data, **options)
        except (ValueError, SyntaxError) as exc:
            assert failure is not None and failure[:2] == (type(exc), exc.args), data[:120]
            continue
        assert failure is None, (data[:120], failure)
        assert ET.tostring(tree(out)) == ET.tostring(expected)


def test_feeding_after_the_end_or_a_failure_is_refused():
    parser = EventParser()
    out = []
    with pytest.raises(SyntaxError, match="ill-formed"):
        parser.feed(b"<a></b>", True, out)
    assert out == [("start", "a", {}, 0, "a", ())] and parser.error_offset() == 3
    with pytest.raises(SyntaxError, match="ill-formed"):  # the same failure again
        parser.feed(b"", True, out)
    parser = EventParser()
    parser.feed(b"<a/>", True, out)
    with pytest.raises(ValueError, match="already ended"):
        parser.feed(b"", True, out)


@pytest.mark.parametrize("wrap", [bytes, bytearray, lambda piece: memoryview(b"_" + piece)[1:]])
def test_every_buffer_and_truth_value_feeds_alike(wrap):
    data, out, parser = b"<a x='1'>t&amp;<b y='2'/></a>", type("Events", (list,), {})(), EventParser()
    for i in range(len(data) + 1):
        parser.feed(wrap(data[i : i + 1]), (i == len(data), int(i == len(data)))[i % 2], out)
    assert out == events(data)[0]
    with pytest.raises(TypeError, match="must be list"):
        EventParser().feed(wrap(data), True, ())


def deferred_parser():
    """An event parser bound deferred to handlers that record when they are called."""
    calls = []
    handlers = (lambda tag, attrib: calls.append(("start", tag)) or tag, lambda tag: calls.append(("end", tag)) or tag)
    parser = EventParser()
    parser.bind(None, handlers + (None,) * 6, ("start", "end"), True)
    return parser, calls


def test_deferred_events_come_when_taken_in_order_and_whole_at_the_end():
    parser, calls = deferred_parser()
    out = []
    parser.feed(b"<a><b/><c/>", False, out)
    assert out == [] and calls == []  # parsed, nothing dispatched yet
    parser.take(out, 2)
    assert out == [("start", "a"), ("start", "b")] == calls
    parser.feed(b"<d>", False, out)  # the rest of the feed before goes first
    assert out[2:] == [("end", "b"), ("start", "c"), ("end", "c")]
    parser.feed(b"</d></a>", True, out)  # the last feed is dispatched whole
    assert out[5:] == [("start", "d"), ("end", "d"), ("end", "a")] and len(calls) == 8
    parser.take(out, 5)
    assert len(out) == 8


def test_deferred_events_before_a_failure_are_still_taken():
    parser, calls = deferred_parser()
    out = []
    with pytest.raises(SyntaxError, match="ill-formed"):
        parser.feed(b"<a><b/></c>", False, out)
    assert out == []
    parser.take(out, 100)
    assert out == [("start", "a"), ("start", "b"), ("end", "b")]
    with pytest.raises(SyntaxError, match="ill-formed"):  # the same failure again
        parser.feed(b"", True, out)
    parser, _ = deferred_parser()
    parser.feed(b"<a>", False, out)
    with pytest.raises(RuntimeError, match="not yet taken"):
        parser.bind(None, (None,) * 8, ())


@pytest.mark.parametrize(
    ("head", "options", "message"),
    [
        (b"<r><?pi ", {"max_comment_size": 100}, INSTRUCTION_SIZE),
        (b"<r v='", {"max_attribute_size": 100}, ATTRIBUTE_SIZE),
        (b"<r xmlns:p='", {"max_attribute_size": 100}, ATTRIBUTE_SIZE),
        (b"<", {"max_name_size": 100}, NAME_SIZE),
        (b"<r></", {"max_name_size": 100}, NAME_SIZE),
    ],
)
def test_a_construct_is_refused_once_past_its_limit(head, options, message):
    parser = EventParser(**options)
    out = []
    parser.feed(head, False, out)
    with pytest.raises(DefusedXmlException) as caught:
        for _ in range(200):
            parser.feed(b"x", False, out)
    assert caught.value.args == (message + "100",) and parser.error_offset() == head.rfind(b"<")
