import gc
import io
import itertools
import random
import threading
import warnings
import xml.etree.ElementTree as std

import pytest

import vorlane.ElementTree as ET
from vorlane import DefusedXmlException, ParseError

FEED = """<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom" xmlns:media="http://search.yahoo.com/mrss/">
  <title>Example &amp; co</title>
  <entry id="e1">
    <title>First</title>
    <media:thumbnail url="http://example.org/1.png" width="75"/>
    <summary>One <b>bold</b> word</summary>
  </entry>
  <entry id="e2">
    <title>Second</title>
    <summary><![CDATA[<not markup>]]> &#169; 2024</summary>
  </entry>
</feed>
"""

LOG = "<log>" + "".join(f"<record n='{i}'><msg>m{i}</msg></record>" for i in range(50)) + "</log>"


def program(ET, tmp_path):
    """Code as it is written against xml.etree.ElementTree; returns what it prints."""
    out = []
    ns = {"a": "http://www.w3.org/2005/Atom", "media": "http://search.yahoo.com/mrss/"}
    root = ET.fromstring(FEED)
    out.append(root.findtext("a:title", namespaces=ns))
    for entry in root.findall("a:entry", ns):
        out.append((entry.get("id"), entry.find("a:title", ns).text))
        out.append("".join(entry.find("a:summary", ns).itertext()))
        thumb = entry.find("media:thumbnail", ns)
        out.append(None if thumb is None else dict(thumb.attrib))
    out.append([element.tag for element in root.iter()])

    # modify, indent and serialise
    entry = root.find("a:entry[@id='e2']", ns)
    entry.set("updated", "2024-01-01")
    ET.SubElement(entry, "{http://www.w3.org/2005/Atom}link", href="http://example.org/2")
    root.remove(root.find("a:entry[@id='e1']", ns))
    ET.register_namespace("", ns["a"])
    ET.indent(root, space="  ")
    out.append(ET.tostring(root, encoding="unicode"))

    # files: write, parse back, parse through ElementTree(file=...)
    path = tmp_path / "feed.xml"
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)
    out.append(path.read_bytes())
    tree = ET.parse(path)
    out.append(ET.tostring(tree.getroot()))
    with open(path, "rb") as handle:
        out.append(ET.ElementTree(file=handle).find("a:entry/a:link", ns).get("href"))
    with open(path, encoding="utf-8") as handle:
        out.append(len(ET.parse(handle).getroot()))

    # iterparse, clearing what is done with
    path.write_text(LOG, encoding="utf-8")
    total = 0
    context = ET.iterparse(path, events=("start", "end"))
    for event, element in context:
        if event == "end" and element.tag == "record":
            total += int(element.get("n"))
            out.append(element.findtext("msg"))
            element.clear()
    out.append((total, context.root.tag, len(context.root)))
    _, first = next(iter(ET.iterparse(io.BytesIO(LOG.encode()))))
    out.append(ET.tostring(first))

    # the other entry points
    out.append(ET.tostring(ET.XML("<a><b>x</b></a>")))
    out.append(ET.tostring(ET.fromstringlist(["<a><b>", "x</b", "></a>"])))
    ids = ET.XMLID("<doc><p id='x'>1</p><p id='y'>2</p></doc>")[1]
    out.append(sorted((key, value.text) for key, value in ids.items()))
    parser = ET.XMLParser(target=ET.TreeBuilder())
    parser.feed(b"<r a='1'>t<c/>u</r>")
    out.append(ET.tostring(parser.close()))
    return out


def test_program_runs_unchanged(tmp_path):
    expected = program(std, tmp_path)
    assert program(ET, tmp_path) == expected


def test_every_name_of_the_standard_module():
    assert set(ET.__all__) == set(std.__all__)
    ours = set(
        "fromstring XML fromstringlist XMLID parse iterparse ElementTree XMLParser XMLPullParser canonicalize".split()
    )
    for name in std.__all__:
        assert (getattr(ET, name) is getattr(std, name)) == (name not in ours), name
    assert ET.ParseError is std.ParseError and issubclass(ParseError, ET.ParseError)


def test_no_standard_parser_is_reachable():
    parsing = "XMLParser XMLPullParser iterparse parse fromstring fromstringlist XMLID canonicalize".split()
    unsafe = {id(getattr(std, name)) for name in parsing} | {id(std.ElementTree.parse), id(std)}
    reachable = [name for name, value in vars(ET).items() if id(value) in unsafe]
    reachable += [name for name, value in vars(ET.ElementTree).items() if id(value) in unsafe]
    assert reachable == []


class SpyParser(std.XMLParser):
    fed = []

    def feed(self, data):
        self.fed.append(data)
        super().feed(data)


REFUSING = {
    "fromstring": lambda parser: ET.fromstring("<a/>", parser),
    "XML": lambda parser: ET.XML("<a/>", parser=parser),
    "fromstringlist": lambda parser: ET.fromstringlist(["<a/>"], parser),
    "XMLID": lambda parser: ET.XMLID("<a/>", parser),
    "parse": lambda parser: ET.parse(io.BytesIO(b"<a/>"), parser),
    "ElementTree.parse": lambda parser: ET.ElementTree().parse(io.BytesIO(b"<a/>"), parser),
    "iterparse": lambda parser: ET.iterparse(io.BytesIO(b"<a/>"), parser=parser),
    "XMLPullParser": lambda parser: ET.XMLPullParser(_parser=parser),
}


@pytest.mark.parametrize("parser", [SpyParser(), std.XMLParser(target=std.TreeBuilder()), object()])
@pytest.mark.parametrize("call", REFUSING.values(), ids=REFUSING.keys())
def test_other_parsers_are_refused_never_used(call, parser):
    SpyParser.fed.clear()
    with pytest.raises(TypeError, match=r"refuses a parser of type .*only vorlane.ElementTree.XMLParser"):
        call(parser)
    assert SpyParser.fed == []


def test_options_go_to_the_parser_when_there_is_one():
    with pytest.raises(TypeError, match="options or a parser, not both"):
        ET.fromstring("<a/>", ET.XMLParser(), max_depth=3)
    with pytest.raises(DefusedXmlException, match="nesting depth limit of 1"):
        ET.fromstring("<a><b/></a>", ET.XMLParser(max_depth=1))


class Recorder:
    """A target that records the calls it gets, joining runs of data."""

    def __init__(self):
        self.calls = []

    def doctype(self, *parts):
        self.calls.append(("doctype", *parts))

    def start(self, tag, attrib):
        self.calls.append(("start", tag, dict(attrib)))
        return ("started", tag)

    def data(self, text):
        if self.calls and self.calls[-1][0] == "data":
            self.calls[-1] = ("data", self.calls[-1][1] + text)
        else:
            self.calls.append(("data", text))

    def end(self, tag):
        self.calls.append(("end", tag))
        return ("ended", tag)

    def close(self):
        return self.calls


TARGET_DOCUMENTS = [
    "<r/>",
    "<r a='1' b='&lt;'>text<c>inner</c>tail<d/>more</r>",
    "<r xmlns='urn:x' xmlns:p='urn:p'><p:c p:a='v'>t</p:c></r>",
    "<r>\n  <c>&#x1F600;&amp;</c>\n</r>\n",
    "<!DOCTYPE r>\n<r/>",
    "<!DOCTYPE r [\n<!ELEMENT r ANY>]><r/>",
]


@pytest.mark.parametrize("document", TARGET_DOCUMENTS)
def test_target_gets_the_calls_of_the_standard_parser(document):
    parser = std.XMLParser(target=Recorder())
    parser.feed(document)
    expected = parser.close()
    ours = ET.XMLParser(target=Recorder())
    for piece in (document[:5], document[5:]):
        ours.feed(piece)
    assert ours.close() == expected


def test_target_without_methods_and_custom_factories():
    assert ET.fromstring("<a><b/></a>", ET.XMLParser(target=object())) is None

    class MyElement(ET.Element):
        pass

    built = ET.fromstring("<a>t<b/></a>", ET.XMLParser(target=ET.TreeBuilder(element_factory=MyElement)))
    assert type(built) is MyElement and type(built[0]) is MyElement and built.text == "t"

    class MyParser(ET.XMLParser):
        def __init__(self):
            super().__init__(target=ET.TreeBuilder(), forbid_dtd=True)

    with pytest.raises(DefusedXmlException, match="DOCTYPE"):
        ET.fromstring("<!DOCTYPE a><a/>", MyParser())


@pytest.mark.parametrize(
    "pieces, encoding, text",
    [
        ([b"<a>\xc3", b"\xa9</a>"], None, "é"),  # a character split between two feeds
        ([b"<?xml version='1.0' encoding='latin-1'?>", b"<a>\xe9</a>"], None, "é"),
        ([b"<?xml version='1.0' encoding='utf-8'?><a>\xe9</a>"], "latin-1", "é"),
        ([bytearray(b"<a>"), memoryview(b"x</a>")], None, "x"),
    ],
)
def test_xmlparser_feeds_and_encodings(pieces, encoding, text):
    parser = ET.XMLParser(encoding=encoding)
    for piece in pieces:
        parser.feed(piece)
    assert parser.close().text == text


def event_summary(events):
    return [(event, element.tag, dict(element.attrib), element.text, element.tail) for event, element in events]


ITERPARSE_DOCUMENTS = [
    "<a/>",
    "<a x='1'>t<b>u</b>v<c><d/></c>w</a>",
    "<r xmlns='urn:x'><p:c xmlns:p='urn:p' p:a='v'>t</p:c></r>",
]


@pytest.mark.parametrize("events", [None, ("end",), ("start",), ("start", "end"), (), iter(["end", "start"])])
@pytest.mark.parametrize("document", ITERPARSE_DOCUMENTS)
def test_iterparse_gives_the_standard_events(document, events):
    events = list(events) if events is not None else None
    expected = std.iterparse(io.StringIO(document), events)
    ours = ET.iterparse(io.StringIO(document), events)
    assert ours.root is None
    assert event_summary(ours) == event_summary(expected)
    assert ET.tostring(ours.root) == ET.tostring(expected.root)


def selected_reference(document, events, tags, release, roots):
    """What iterparse's tag= and release= should give: the standard events of those tags,
    each element of an "end" event cleared and taken out of its parent once the loop
    resumes; the root goes to *roots*."""
    wanted = set(events or ("end",))
    path = []
    for kind, element in std.iterparse(io.StringIO(document), ("start", "end", *wanted)):
        if kind == "start":
            roots[:] = roots or [element]
            path.append(element)
        elif kind == "end":
            path.pop()
        if kind in wanted and (tags is None or kind not in ("start", "end") or element.tag in tags):
            yield kind, element
            if release and kind == "end":
                element.clear()
                if path:
                    path[-1].remove(element)


def moving_summary(events):
    """Each event, with what the loop sees of the element before it when it gets there."""
    summary, previous = [], None
    for kind, element in events:
        before = None if previous is None else (len(previous), previous.text, previous.attrib)
        summary.append((kind, element.tag, element.text, element.tail, len(element), before))
        previous = element
    return summary


@pytest.mark.parametrize("release", [False, True])
@pytest.mark.parametrize(
    ("document", "tags"),
    [
        (ITERPARSE_DOCUMENTS[1], "b"),
        (ITERPARSE_DOCUMENTS[1], ("d", "c", "a")),
        (ITERPARSE_DOCUMENTS[2], "{urn:p}c"),
        (LOG, "record"),
        (LOG, None),
        ("<r><e k='1'><e>x</e>y</e><f><e/>z</f><e/></r>", "e"),
    ],
)
@pytest.mark.parametrize("events", [None, ("start", "end"), ("start",)])
def test_iterparse_selects_and_releases_as_the_record_loop_would(document, tags, release, events):
    ours = ET.iterparse(io.StringIO(document), events, tag=tags, release=release)
    tag_set = None if tags is None else {tags} if isinstance(tags, str) else set(tags)
    roots = []
    assert moving_summary(ours) == moving_summary(selected_reference(document, events, tag_set, release, roots))
    assert ET.tostring(ours.root) == std.tostring(roots[0])


def test_iterparse_with_a_parser_reports_what_the_target_returns():
    parser = ET.XMLParser(target=Recorder())
    events = list(ET.iterparse(io.BytesIO(b"<a><b/></a>"), ("start", "end"), parser))
    assert events == [
        ("start", ("started", "a")),
        ("start", ("started", "b")),
        ("end", ("ended", "b")),
        ("end", ("ended", "a")),
    ]
    # a parser fed before: iterparse goes on from where it is, as the standard one does
    parser = ET.XMLParser()
    parser.feed("<a>")
    assert [element.tag for _, element in ET.iterparse(io.StringIO("<b/></a>"), parser=parser)] == ["b", "a"]
    parser = ET.XMLParser()
    parser.feed("<a>")
    assert [element.tag for _, element in ET.iterparse(io.StringIO("<b/></a>"), parser=parser, tag="a")] == ["a"]
    with pytest.raises(ValueError, match="not fed yet"):
        ET.iterparse(io.StringIO("</a>"), parser=parser, release=True)


@pytest.mark.parametrize("when", ["start", "end"])
def test_iterparse_events_survive_clearing(when):
    # Clearing the root, or an element as it starts, loses no event: the standard
    # iterparse has them queued already.
    context = ET.iterparse(io.StringIO(LOG), events=("start", "end"))
    _, root = next(context)
    seen = []
    for event, element in context:
        if event == when and element.tag == "record":
            element.clear() if when == "start" else root.clear()
        if event == "end" and element.tag == "msg":
            seen.append(element.text)
    assert seen == [f"m{i}" for i in range(50)]


EVENT_DOCUMENTS = [
    "<a><b/>t</a>",
    "<?xml version='1.0'?><!-- c --><?p d?><r xmlns='urn:d' xmlns:p='urn:p'><p:e p:k='v'>t<!--x-->u<?q r s?>"
    "</p:e><e xmlns:p='urn:q'><p:f/></e><![CDATA[<z>]]>&amp;</r><!--after--><?tail?>",
    b"<?xml version='1.0' encoding='latin-1'?><r a='\xe9'><!--caf\xe9--></r>",
    "<a>\u00e9\U0001f600</a>".encode("utf-16"),
    "<a xmlns:xml='http://www.w3.org/XML/1998/namespace' xml:lang='en'><b xml:space='preserve'/></a>",
]
ALL_EVENTS = ("start", "end", "comment", "pi", "start-ns", "end-ns")


def described(events):
    def value(kind, item):
        if kind in ("start", "end"):
            return item.tag, dict(item.attrib)
        return (item.tag, item.text) if ET.iselement(item) else item

    return [(kind, value(kind, item)) for kind, item in events]


def pulled(module, document, size, options=()):
    parser = module.XMLPullParser(ALL_EVENTS, **dict(options))
    seen = []
    for at in range(0, len(document), size):
        parser.feed(document[at : at + size])
        seen += described(parser.read_events())
    parser.close()
    return seen + described(parser.read_events())


@pytest.mark.parametrize("size", [1, 7, 10**6])
@pytest.mark.parametrize("document", EVENT_DOCUMENTS)
def test_pull_parser_gives_every_standard_event(document, size):
    assert pulled(ET, document, size) == pulled(std, document, size)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("junk", ["", "<a>"])
def test_pull_parser_reads_in_slices_as_the_standard_one(seed, junk):
    # Many events a feed, read after some feeds and not others, some reads left half done:
    # the events built a slice at a time come in the same order, and a failure after them.
    # The values repeat, more of them than the dispatch keeps decoded.
    document = "<r>" + "".join(f"<e i='{i % 700}'>t{i % 9}<!--{i}--><f/></e>" for i in range(900)) + "</r>" + junk

    def run(module):
        rng = random.Random(seed)
        parser = module.XMLPullParser(ALL_EVENTS)
        seen = []
        try:
            for at in range(0, len(document), 9000):
                parser.feed(document[at : at + 9000])
                if rng.random() < 0.6:
                    seen += described(itertools.islice(parser.read_events(), rng.randrange(1500)))
            for event in parser.read_events():  # one at a time: those before a failure count
                seen += described([event])
            parser.close()
            seen += described(parser.read_events())
        except (ParseError, std.ParseError) as exc:
            return seen, type(exc).__name__
        return seen, None

    ours, expected = run(ET), run(std)
    assert len(ours[0]) > 4000 and ours[0] == expected[0]
    assert (ours[1] is None) == (expected[1] is None) == (junk == "")


def test_iterparse_builds_only_a_slice_ahead_of_the_loop():
    # A whole 64 KiB feed built at once would outlive young collections (see HACKING).
    events = ET.iterparse(io.StringIO("<r>" + "<e/>" * 20000 + "</r>"), ("start",))
    _, root = next(events)
    assert 0 < len(root) <= 256
    assert sum(1 for _ in events) == 20000 and len(events.root) == 20000


# Once the encoding is settled on UTF-8, bytes and str pieces take the quick road, others not.
PIECE_KINDS = [bytes, bytearray, memoryview, lambda piece: piece.decode("utf-8")]


def fed_in_pieces(document, cuts, kinds):
    parser = ET.XMLParser(target=Recorder())
    try:
        for start, end, kind in zip([0, *cuts], [*cuts, len(document)], kinds):
            try:
                piece = kind(document[start:end])
            except UnicodeDecodeError:
                piece = document[start:end]  # a str only of whole characters
            parser.feed(piece)
        calls = parser.close()
    except std.ParseError as exc:
        return parser.target.calls, (type(exc), str(exc), exc.position)
    with pytest.raises(std.ParseError, match="after close"):
        parser.feed(kinds[-1](b"<a/>"))
    return calls, None


@pytest.mark.parametrize(
    "document",
    [
        "<r a='1' b='&lt;'>t<c>\u00e9&#x1F600;</c>tail<p:d xmlns:p='u' p:e=''/><!--x--><?pi d?></r>".encode(),
        b"<r><c>t</r>",
        "<r>\u00e9</r><junk/>".encode(),
        "<?xml version='1.0' encoding='latin-1'?><r a='\u00e9'>caf\u00e9</r>".encode("latin-1"),
    ],
)
def test_pieces_of_any_kind_and_size_give_the_whole_outcome(document):
    # The target's calls and the failure of the whole document fed at once.
    rng, whole = random.Random(document), fed_in_pieces(document, [], [bytes])
    kinds = PIECE_KINDS[:3] if b"latin" in document else PIECE_KINDS
    for k in [len(document) - 1, 1, 5, 10, 10, 10]:
        cuts = sorted(rng.sample(range(1, len(document)), k))
        for chosen in ([bytes] * (k + 1), rng.choices(kinds, k=k + 1)):
            assert fed_in_pieces(document, cuts, chosen) == whole, (cuts, chosen)


class Refeeding(Recorder):
    """A target whose start handler, at <b>, feeds its own parser or raises what it is given."""

    def start(self, tag, attrib):
        if tag == "b":
            raise self.raises if self.raises is not None else self.parser.feed(b"<x/>")


@pytest.mark.parametrize("kind", PIECE_KINDS)
@pytest.mark.parametrize(
    ("options", "piece", "raises", "expected", "position"),
    [
        ({}, b"</b>", None, ParseError, (1, 8)),  # refused: placed, and raised again as it is
        ({"max_depth": 2}, b"<b>", None, DefusedXmlException, (1, 8)),
        ({}, b"<b>", None, RuntimeError, None),  # a feed from a handler meets the feed under way
        ({}, b"<b>", KeyError("k"), KeyError, None),  # a handler's failure goes up as raised
    ],
)
@pytest.mark.parametrize("declaration", ["", "<?xml version='1.0' encoding='latin-1'?>"])
def test_a_failure_holds_for_every_later_call(kind, options, piece, raises, expected, position, declaration):
    # UTF-8 settled, bytes and str take the quick road; latin-1 pieces go through the decoder.
    target = Refeeding()
    parser = target.parser = ET.XMLParser(target=target, **options)
    target.raises = raises
    parser.feed(declaration.encode() + b"<r>  <a>")
    with pytest.raises(expected) as first:
        parser.feed(kind(piece))
    if position is not None:
        position = (position[0], position[1] + len(declaration))
    assert getattr(first.value, "position", None) == position and raises in (None, first.value)
    for later in (lambda: parser.feed(kind(b"</a>")), parser.close):
        with pytest.raises(expected) as again:
            later()
        assert again.value is first.value


def test_a_feed_meeting_another_under_way_is_refused_and_changes_nothing():
    # A large piece is parsed without the lock; a feed meanwhile is refused, never taken inside.
    parser, outcomes = ET.XMLParser(), []
    parser.feed(b"<r>  ")  # the encoding settled: the decoding is not shared between the threads
    worker = threading.Thread(target=parser.feed, args=(b"<e/>" * 2_000_000,))
    worker.start()
    while worker.is_alive():
        try:
            outcomes.append(parser.feed(b"<x/>"))
        except RuntimeError as exc:
            outcomes.append(type(exc))
    parser.feed(b"</r>")
    assert RuntimeError in outcomes and len(parser.close()) == 2_000_000 + outcomes.count(None)


def test_events_come_as_the_data_completes_them():
    parser = ET.XMLPullParser(("start", "end", "comment"))
    parser.feed("<a><b/><!-- c")
    assert [(kind, item.tag) for kind, item in parser.read_events()] == [("start", "a"), ("start", "b"), ("end", "b")]
    parser.feed(" -->junk</a>")
    assert [kind for kind, _ in parser.read_events()] == ["comment", "end"]
    parser.feed("<")
    parser.close()
    with pytest.raises(ParseError, match="not closed"):
        list(parser.read_events())
    parser = ET.XMLParser(target=Recorder())
    parser.feed("<a x='1'>t")
    assert parser.target.calls == [("start", "a", {"x": "1"})]  # the text may go on


@pytest.mark.parametrize("document", ["<a><b/></a>junk", "<a><b/><c></a>", "<a><b/>"])
def test_iterparse_raises_where_the_failure_is(document):
    def run(module):
        seen = []
        with pytest.raises((ParseError, std.ParseError, ValueError)):
            for event, element in module.iterparse(io.StringIO(document), ("start", "end")):
                seen.append((event, element.tag))
        return seen

    assert run(ET)[:3] == run(std)[:3] == [("start", "a"), ("start", "b"), ("end", "b")]


class no_resource_warning:
    def __enter__(self):
        self.catcher = warnings.catch_warnings(record=True)
        self.caught = self.catcher.__enter__()
        warnings.simplefilter("always", ResourceWarning)

    def __exit__(self, *exc):
        gc.collect()
        self.catcher.__exit__(*exc)
        assert [w for w in self.caught if issubclass(w.category, ResourceWarning)] == []


def test_iterparse_closes_what_it_opens(tmp_path):
    path = tmp_path / "a.xml"
    path.write_text("<a><b/></a>")
    with no_resource_warning():
        it = ET.iterparse(path)
        del it  # never started
    with no_resource_warning():
        it = ET.iterparse(path)
        next(it)
        it.close()
        it.close()
        with pytest.raises(StopIteration):
            next(it)
    with pytest.raises(FileNotFoundError):
        ET.iterparse(tmp_path / "missing.xml")


def test_deep_documents_need_no_recursion():
    depth = 5000
    document = "<a>" * depth + "</a>" * depth
    events = list(ET.iterparse(io.StringIO(document), ("start", "end"), max_depth=depth))
    assert len(events) == 2 * depth
    parser = ET.XMLParser(target=Recorder(), max_depth=depth)
    parser.feed(document)
    assert len(parser.close()) == 2 * depth


def test_pull_parser_refuses_like_the_others():
    parser = ET.XMLPullParser(max_attributes=1)
    parser.feed("<a x='1' y='2'/>")
    parser.close()
    with pytest.raises(DefusedXmlException, match="attribute count limit of 1"):
        list(parser.read_events())


@pytest.mark.parametrize(
    "document, options",
    [
        ("<doc b='2' a='1'><e>t</e><empty/></doc>", {}),
        ("<r xmlns='urn:a' xmlns:b='urn:b'><b:x b:y='1'> t </b:x></r>", {"rewrite_prefixes": True, "strip_text": True}),
        (b"<?xml version='1.0' encoding='latin-1'?><r a='\xe9'/>", {}),
        (EVENT_DOCUMENTS[1], {}),
        (EVENT_DOCUMENTS[1], {"with_comments": True, "qname_aware_tags": ["{urn:d}r"]}),
        (EVENT_DOCUMENTS[1], {"with_comments": True, "rewrite_prefixes": True, "exclude_tags": ["{urn:q}f"]}),
        ("<?xml version='1.0'?><a/>", {}),  # the leading declaration kept out of the check
        # Line ends and attribute white space are normalised as the standard parser does.
        ("<a b='x\ty&#9;\r\nz&#13;'>x\r\ny\rz&#13;<!--\r--><?p \r?></a>", {"with_comments": True}),
    ],
)
def test_canonicalize_agrees_with_the_standard_one(document, options):
    assert ET.canonicalize(document, **options) == std.canonicalize(document, **options)
    out, source = io.StringIO(), io.BytesIO(document if isinstance(document, bytes) else document.encode())
    assert ET.canonicalize(from_file=source, out=out, **options) is None
    assert out.getvalue() == std.canonicalize(document, **options)


@pytest.mark.parametrize(
    "document, options, message",
    [
        ("<!DOCTYPE a [<!ATTLIST a x CDATA 'd'>]><a/>", {}, "ATTLIST"),
    ],
)
def test_canonicalize_refuses_what_it_cannot_give(document, options, message):
    with pytest.raises(ValueError, match=message):
        ET.canonicalize(document, **options)


def test_readers_written_for_the_standard_parser():
    class Reader:
        """Gives at most n bytes per call, as the standard parser asks."""

        def __init__(self, data):
            self.data = data

        def read(self, n):
            chunk, self.data = self.data[:n], self.data[n:]
            return chunk

    document = b"<a>" + b"x" * 200000 + b"</a>"
    assert len(ET.parse(Reader(document)).getroot().text) == 200000
    assert [event for event, _ in ET.iterparse(Reader(b"<a><b/></a>"))] == ["end", "end"]


def test_a_parsers_own_close_is_called():
    class Counting(ET.XMLParser):
        closed = 0

        def close(self):
            type(self).closed += 1
            return super().close()

    context = ET.iterparse(io.BytesIO(b"<a/>"), parser=Counting())
    assert [event for event, _ in context] == ["end"] and context.root.tag == "a"
    pull = ET.XMLPullParser(_parser=Counting())
    pull.feed("<a/>")
    pull.close()
    assert [element.tag for _, element in pull.read_events()] == ["a"]
    assert Counting.closed == 2
