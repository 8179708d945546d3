"""parse_xml under hostile callers: odd sources, odd option values and element classes that
fail part-way. Every call ends with the expected exception or a tree, and every object
handed in has the reference count it had before the call."""

import enum
import gc
import sys
import weakref
import xml.etree.ElementTree as ET

from hypothesis import given, settings
from hypothesis import strategies as st

from support import OPTION_DEFAULTS, Reader, shape
from support.messages import DEPTH, NAME_SIZE, READ_ERROR, SOURCE_ERROR, TEXT_SIZE
from vorlane import parse_xml
from vorlane.common import DefusedXmlException, ParseError

SWITCHES = [name for name, default in OPTION_DEFAULTS.items() if isinstance(default, bool)]
LIMITS = [name for name, default in OPTION_DEFAULTS.items() if not isinstance(default, bool)]
EXAMPLES = settings(max_examples=60, deadline=None)


class Boom(Exception):
    pass


def outcome(call):
    """("ok", root) or ("raised", type, args, notes, the exception object's id). The cycle
    collector is paused: it would otherwise free earlier examples' garbage in between and
    move the counts being compared."""
    gc.disable()
    try:
        return ("ok", call())
    except BaseException as exc:
        return ("raised", type(exc), exc.args, getattr(exc, "__notes__", []), id(exc))
    finally:
        gc.enable()


def refcounts(objects):
    # An exception kept by the test holds the frames it passed through (and an
    # AttributeError the object it was raised for); those references are the test's own.
    for o in objects:
        for held in (o, getattr(o, "error", None), getattr(o, "value", None)):
            if isinstance(held, BaseException):
                held.__traceback__ = held.__context__ = None
            if isinstance(held, AttributeError):
                held.obj = None
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


# --- sources ----------------------------------------------------------------------------------


class NotCallable:
    read = 42


class PropertyRaising:
    def __init__(self, error):
        self.error = error

    @property
    def read(self):
        raise self.error


class StrWithRead(str):
    def read(self):  # a str is borrowed as it is: this is never called
        raise AssertionError("read() of a str source")


class LostKeyError(AttributeError):
    pass


class Interrupt(BaseException):
    pass


def document(size):
    return "<r a='é'>" + "x" * size + "</r>"


@st.composite
def sources(draw):
    """(source, objects whose counts must not move, check(outcome))."""
    kind = draw(
        st.sampled_from(
            [
                "str",
                "bytes",
                "str-subclass",
                "buffer",
                "not-a-source",
                "not-callable",
                "property",
                "wrong-result",
                "raises",
                "empty",
                "huge",
            ]
        )
    )
    size = draw(st.integers(1, 64))
    text = document(size)

    def tree(out):
        assert out[0] == "ok" and out[1].tag == "r" and out[1].text == "x" * size and out[1].get("a") == "é"

    def raised(exc_type, *args):
        def check(out):
            assert out[:3] == ("raised", exc_type, args), out

        return check

    if kind == "str":
        return text, [text], tree
    if kind == "bytes":
        data = text.encode()
        return data, [data], tree
    if kind == "str-subclass":
        source = StrWithRead(text)
        return source, [source], tree
    if kind == "buffer":
        source = draw(st.sampled_from([bytearray, lambda b: memoryview(bytearray(b))]))(text.encode())
        return source, [source], raised(ValueError, SOURCE_ERROR)
    if kind == "not-a-source":
        source = draw(st.sampled_from([42, None, 1.5, object(), "\ud800<r/>", ["<r/>"]]))
        return source, [source], raised(ValueError, SOURCE_ERROR)
    if kind == "not-callable":
        source = NotCallable()
        return source, [source], raised(TypeError, "'int' object is not callable")
    if kind == "property":
        error = draw(st.sampled_from([AttributeError("gone"), LostKeyError("gone"), Boom("lookup")]))
        source = PropertyRaising(error)
        if isinstance(error, AttributeError):
            return source, [source, error], raised(ValueError, SOURCE_ERROR)

        def same_lookup_error(out):
            assert out[0] == "raised" and out[4] == id(error)

        return source, [source], same_lookup_error
    if kind == "wrong-result":
        result = draw(
            st.sampled_from(
                [
                    None,
                    7,
                    2**80,
                    bytearray(b"<r/>"),
                    memoryview(b"<r/>"),
                    ["<r/>"],
                    "<r/>\udc00",
                    Reader("<r/>"),
                ]
            )
        )
        source = Reader(result)
        return source, [source, result], raised(ValueError, READ_ERROR)
    if kind == "raises":
        error = draw(st.sampled_from([OSError(5, "I/O"), Boom("read"), KeyError("k"), Interrupt(), MemoryError()]))
        source = Reader(error=error)

        def same_error(out):
            assert out[0] == "raised" and out[4] == id(error) and len(source.calls) == 1

        return source, [source], same_error
    if kind == "empty":
        result = draw(st.sampled_from(["", b""]))
        source = Reader(result)
        return source, [source, result], raised(ParseError, "No XML root element found")
    # huge: one copy of megabytes, parsed or refused by the text limit
    size = draw(st.integers(1 << 20, 6 << 20))
    result = draw(st.sampled_from([str, lambda s: s.encode()]))(document(size))
    source = Reader(result)
    return source, [source, result], tree


@EXAMPLES
@given(sources())
def test_sources(case):
    source, objects, check = case
    before = refcounts(objects)
    out = outcome(lambda: parse_xml(source))
    check(out)
    del out
    assert refcounts(objects) == before


@EXAMPLES
@given(st.integers(1 << 20, 4 << 20), st.sampled_from([str, bytes]))
def test_huge_read_result_over_the_text_limit(size, kind):
    text = document(size)
    result = text if kind is str else text.encode()
    source = Reader(result)
    before = refcounts([source, result])
    out = outcome(lambda: parse_xml(source, max_text_size=size - 1))
    assert out[:3] == ("raised", DefusedXmlException, (f"{TEXT_SIZE}{size - 1}",))
    del out
    assert refcounts([source, result]) == before


# --- option values ----------------------------------------------------------------------------


class Int(int):
    def __index__(self):  # an int is taken by value: never called
        raise AssertionError("__index__ of an int")

    def __bool__(self):
        raise AssertionError("__bool__ of an int")


class Level(enum.IntEnum):
    ZERO = 0
    ONE = 1
    BIG = 2**63


class Giving:
    """Gives its value from a special method, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def give(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Index(Giving):
    def __index__(self):
        return self.give()


class Truthy:
    def __bool__(self):  # not consulted: only True and False are booleans
        raise Boom("__bool__")


class FakeNumpyBool(Giving):
    def __bool__(self):
        return self.give()


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"

# Each strategy draws (value, expected): ("ok", converted) or ("fail", type, message or None,
# the exception object when it must come through as the same object).
SWITCH_VALUES = st.one_of(
    st.sampled_from([True, False]).map(lambda v: (v, ("ok", v))),
    st.sampled_from([FakeNumpyBool(True), FakeNumpyBool(False)]).map(lambda v: (v, ("ok", v.value))),
    st.sampled_from([0, 1, Int(1), Level.ONE, "yes", 1.0, Truthy(), b""]).map(
        lambda v: (v, ("fail", TypeError, f"'{type(v).__qualname__}' object is not an instance of 'bool'", None))
    ),
    st.just((None, ("fail", TypeError, "'None' is not an instance of 'bool'", None))),
    st.sampled_from([1, None, "no"]).map(
        lambda r: (
            FakeNumpyBool(r),
            (
                "fail",
                TypeError,
                f"'{type(r).__qualname__}' object is not an instance of 'bool'"
                if r is not None
                else "'None' is not an instance of 'bool'",
                None,
            ),
        )
    ),
    st.builds(
        lambda e: (FakeNumpyBool(e), ("fail", type(e), None, e)),
        st.sampled_from([Boom, KeyError]).map(lambda c: c("x")),
    ),
)
U64 = st.integers(0, 2**64 - 1)
LIMIT_VALUES = st.one_of(
    U64.map(lambda v: (v, ("ok", v))),
    st.sampled_from([True, False, Level.ZERO, Level.ONE, Level.BIG]).map(lambda v: (v, ("ok", int(v)))),
    U64.map(lambda v: (Int(v), ("ok", v))),
    U64.map(lambda v: (Index(v), ("ok", v))),
    st.one_of(st.integers(max_value=-1), st.integers(min_value=2**64), st.sampled_from([-(2**300), 2**300])).flatmap(
        lambda v: st.sampled_from([v, Int(v), Index(v)]).map(lambda o: (o, ("fail", OverflowError, None, None)))
    ),
    st.sampled_from([1.5, None, "10", b"1", Truthy(), Index(2.0), Index("3")]).map(
        lambda v: (v, ("fail", TypeError, None, None))
    ),
    st.sampled_from([Boom, ValueError, Interrupt])
    .map(lambda c: c("index"))
    .map(lambda e: (Index(e), ("fail", type(e), None, e))),
)


def expected_document_outcome(converted):
    """The outcome of "<a/>" under the converted options: only a name or depth limit of 0
    refuses it, and the name is checked first."""
    if converted.get("max_name_size", 1024) == 0:
        return ("raised", DefusedXmlException, (NAME_SIZE + "0",))
    if converted.get("max_depth", 1000) == 0:
        return ("raised", DefusedXmlException, (DEPTH + "0",))
    return ("ok",)


@st.composite
def option_sets(draw):
    chosen = {}
    for name in SWITCHES:
        if draw(st.booleans()):
            chosen[name] = draw(SWITCH_VALUES)
    for name in LIMITS:
        if draw(st.booleans()):
            chosen[name] = draw(LIMIT_VALUES)
    return chosen, draw(st.booleans())


@settings(max_examples=150, deadline=None)
@given(option_sets())
def test_option_values(case):
    chosen, positional = case
    values = {name: value for name, (value, _) in chosen.items()}
    source = Reader("<a/>")
    if positional:
        order = list(OPTION_DEFAULTS)
        last = max((order.index(n) for n in values), default=-1)
        args = [values.get(n, OPTION_DEFAULTS[n]) for n in order[: last + 1]]

        def call():
            return parse_xml(source, *args)
    else:

        def call():
            return parse_xml(source, **values)

    objects = [source] + list(values.values())
    before = refcounts(objects)

    out = outcome(call)
    after = refcounts(objects)
    first_failure = next(((n, e) for n in SWITCHES + LIMITS if n in chosen and (e := chosen[n][1])[0] == "fail"), None)
    if first_failure:
        name, (_, exc_type, message, exc) = first_failure
        assert out[0] == "raised" and out[1] is exc_type, out
        if message is not None:
            assert out[2] == (message,)
        if exc is not None:
            assert out[4] == id(exc)
        assert out[3] == [f"while processing '{name}'"]
        assert source.calls == []  # the source is not touched after a bad option
    else:
        converted = {n: e[1] for n, (_, e) in chosen.items()}
        expected = expected_document_outcome(converted)
        if expected[0] == "raised":
            assert out[:3] == expected
        else:
            assert out[0] == "ok" and out[1].tag == "a"
        assert len(source.calls) == 1
    assert after == before


# --- element classes that fail part-way -------------------------------------------------------


class Counting(ET.Element):
    """Counts the calls the tree builder makes and raises at the chosen one."""

    fail_at = 0
    steps = 0
    made = []

    @classmethod
    def step(cls):
        cls.steps += 1
        if cls.steps == cls.fail_at:
            raise Boom(cls.steps)

    def __init__(self, tag, attrib):
        Counting.step()
        super().__init__(tag, attrib)
        Counting.made.append(weakref.ref(self))

    def __setattr__(self, name, value):
        Counting.step()
        super().__setattr__(name, value)

    def append(self, child):
        Counting.step()
        super().append(child)


NAMES = st.sampled_from(["a", "b", "c", "d"])
TEXT = st.text(st.sampled_from("xy é\n"), max_size=3)
VALUE = st.text(st.sampled_from("xy é"), max_size=3)  # a line feed in a value is a space there


@st.composite
def trees(draw, depth=3):
    name = draw(NAMES)
    attributes = draw(st.dictionaries(st.sampled_from(["k", "l", "xml:lang"]), VALUE, max_size=2))
    attrs = "".join(f" {k}='{v}'" for k, v in attributes.items())
    body = draw(TEXT)
    if depth:
        for _ in range(draw(st.integers(0, 3))):
            body += draw(trees(depth - 1)) + draw(TEXT)
    return f"<{name}{attrs}>{body}</{name}>"


@settings(max_examples=80, deadline=None)
@given(trees(), st.data())
def test_element_class_failing_at_a_random_step(doc, data):
    expected = shape(ET.fromstring(doc))
    objects = [doc, Counting]
    gc.collect()
    before = refcounts(objects)
    saved = ET.Element
    ET.Element = Counting
    try:
        Counting.fail_at, Counting.steps, Counting.made = 0, 0, []
        parse_xml(doc)  # counts the steps of a complete build
        total = Counting.steps
        Counting.made = []
        Counting.fail_at = data.draw(st.integers(1, total + 1), label="fail at step")
        Counting.steps = 0
        out = outcome(lambda: parse_xml(doc))
    finally:
        ET.Element = saved
    if Counting.fail_at <= total:
        assert out[:3] == ("raised", Boom, (Counting.fail_at,)), out
    else:
        assert out[0] == "ok" and shape(out[1]) == expected
    del out
    gc.collect()
    # Nothing of a failed or dropped build survives: no element is held by a lost reference.
    assert all(ref() is None for ref in Counting.made)
    assert refcounts(objects) == before


def not_an_element(tag, attrib):
    return None


class Plain:
    """Not an Element at all: only what the builder uses."""

    def __init__(self, tag, attrib):
        self.tag, self.attrib, self.children = tag, attrib, []

    def append(self, child):
        self.children.append(child)
        return "ignored"


class NoAppend:
    def __init__(self, tag, attrib):
        self.tag = tag


class Slotted:
    __slots__ = ("tag",)

    def __init__(self, tag, attrib):
        self.tag = tag


KEPT = []
STANDARD_ELEMENT = ET.Element


class Mutating(ET.Element):
    """Keeps and changes the dictionary it was given: no other element may see the change."""

    def __init__(self, tag, attrib):
        super().__init__(tag, attrib)
        attrib["added"] = tag
        KEPT.append(attrib)


def keeping(*args):
    """Keeps its argument tuple: the builder must not refill it for the next element."""
    KEPT.append(args)
    return STANDARD_ELEMENT(*args)


FACTORIES = [
    (not_an_element, "<a/>", lambda r: r is None),
    (not_an_element, "<a>t</a>", AttributeError),
    (
        Plain,
        "<a k='v'>t<b/>u</a>",
        lambda r: (r.tag, r.attrib, r.text, r.children[0].tail) == ("a", {"k": "v"}, "t", "u"),
    ),
    (NoAppend, "<a/>", lambda r: r.tag == "a"),
    (NoAppend, "<a><b/></a>", AttributeError),
    (Slotted, "<a>t</a>", AttributeError),
    (Mutating, "<a k='v'><b/></a>", lambda r: KEPT == [{"k": "v", "added": "a"}, {"added": "b"}]),
    (keeping, "<a k='v'><b/></a>", lambda r: KEPT == [("a", {"k": "v"}), ("b", {})] and r[0].tag == "b"),
    (lambda tag: None, "<a/>", TypeError),
    (42, "<a/>", TypeError),
]


def test_factories_that_are_not_element_classes():
    for factory, doc, expected in FACTORIES:
        before = refcounts([doc, factory])
        saved = ET.Element
        ET.Element = factory
        KEPT.clear()
        try:
            out = outcome(lambda doc=doc: parse_xml(doc))
        finally:
            ET.Element = saved
        if isinstance(expected, type):
            assert out[:2] == ("raised", expected), (factory, doc, out)
        else:
            assert out[0] == "ok" and expected(out[1]), (factory, doc, out)
        del out
        KEPT.clear()
        gc.collect()
        assert refcounts([doc, factory]) == before, (factory, doc)
