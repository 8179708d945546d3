import io
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from support import OPTION_DEFAULTS, Reader
from support.messages import DEPTH, READ_ERROR, SOURCE_ERROR
from vorlane import parse_xml

OPTIONS = list(OPTION_DEFAULTS)


def notes(exc):
    return getattr(exc, "__notes__", [])


# --- argument binding -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "parse_xml() missing 1 required positional argument: 'source'"),
        (("<a/>",) * 12, {}, "parse_xml() takes from 1 to 11 positional arguments but 12 were given"),
        (("<a/>",) * 13, {}, "parse_xml() takes from 1 to 11 positional arguments but 13 were given"),
        (("<a/>",), {"source": "<a/>"}, "parse_xml() got multiple values for argument 'source'"),
        (("<a/>", False), {"forbid_dtd": True}, "parse_xml() got multiple values for argument 'forbid_dtd'"),
        (("<a/>",), {"strict": True}, "parse_xml() got an unexpected keyword argument 'strict'"),
        (("<a/>",), {"Max_depth": 3}, "parse_xml() got an unexpected keyword argument 'Max_depth'"),
        ((), {"max_depth": 3}, "parse_xml() missing 1 required positional argument: 'source'"),
        # Keywords are bound in the order given: the unknown one comes first here.
        (("<a/>",), {"bogus": 1, "source": 2}, "parse_xml() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        parse_xml(*args, **kwargs)
    assert str(info.value) == message
    assert notes(info.value) == []


def test_unexpected_keyword_that_is_not_utf8():
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        parse_xml("<a/>", **{"\ud800": 1})


def test_all_eleven_positionally_and_by_keyword():
    values = list(OPTION_DEFAULTS.values())
    assert parse_xml("<a/>", *values).tag == "a"
    assert parse_xml(source="<a/>", **dict(zip(OPTIONS, values))).tag == "a"


# --- option conversion ------------------------------------------------------------------------


class FakeNumpyBool:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class FakeNumpyBoolNoBool:
    pass


FakeNumpyBoolNoBool.__module__ = "numpy"
FakeNumpyBoolNoBool.__name__ = FakeNumpyBoolNoBool.__qualname__ = "bool"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "option, value, exc_type, message",
    [
        ("forbid_dtd", 1, TypeError, "'int' object is not an instance of 'bool'"),
        ("forbid_dtd", None, TypeError, "'None' is not an instance of 'bool'"),
        ("forbid_entities", "yes", TypeError, "'str' object is not an instance of 'bool'"),
        ("forbid_external", FakeNumpyBool(2), TypeError, "'int' object is not an instance of 'bool'"),
        (
            "forbid_external",
            FakeNumpyBoolNoBool(),
            TypeError,
            "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion",
        ),
        ("max_depth", -1, OverflowError, None),
        ("max_depth", 2**64, OverflowError, None),
        ("max_depth", 1.5, TypeError, None),
        ("max_depth", None, TypeError, None),
        ("max_text_size", "10", TypeError, None),
        ("max_comment_size", Index(-5), OverflowError, None),
    ],
)
def test_option_conversion_errors(option, value, exc_type, message):
    with pytest.raises(exc_type) as info:
        parse_xml("<a/>", **{option: value})
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == [f"while processing '{option}'"]


def test_numpy_bool_exception_propagates():
    class Boom(FakeNumpyBool):
        def __bool__(self):
            raise ZeroDivisionError("boom")

    Boom.__module__ = "numpy"
    Boom.__name__ = "bool_"
    with pytest.raises(ZeroDivisionError) as info:
        parse_xml("<a/>", forbid_dtd=Boom(True))
    assert notes(info.value) == ["while processing 'forbid_dtd'"]


def test_numpy_bool_accepted():
    doc = "<!DOCTYPE r><r/>"
    assert parse_xml(doc, forbid_dtd=FakeNumpyBool(False)).tag == "r"
    with pytest.raises(ValueError):
        parse_xml(doc, forbid_dtd=FakeNumpyBool(True))


@pytest.mark.parametrize(
    "value, limit",
    [(True, 1), (0, 0), (Index(3), 3), (18446744073709551615, 18446744073709551615)],
)
def test_size_options_accept_integers(value, limit):
    # The converted value reaches the core unchanged: a document exactly at the depth limit
    # parses and one level more is refused with that limit in the message.
    if limit:
        depth = min(limit, 50)
        assert parse_xml("<a>" * depth + "</a>" * depth, max_depth=value).tag == "a"
    if limit < 50:
        deeper = limit + 1
        with pytest.raises(ValueError) as info:
            parse_xml("<a>" * deeper + "</a>" * deeper, max_depth=value)
        assert str(info.value) == f"{DEPTH}{limit}"


def test_options_converted_in_order_before_the_source():
    calls = []

    class Reader:
        def read(self):
            calls.append("read")
            return "<a/>"

    with pytest.raises(TypeError) as info:
        parse_xml(42, max_attributes="many")
    assert notes(info.value) == ["while processing 'max_attributes'"]
    with pytest.raises(TypeError) as info:
        parse_xml(Reader(), max_depth=None, forbid_dtd=None)
    assert notes(info.value) == ["while processing 'forbid_dtd'"]
    assert calls == []


def test_add_note_failure_is_discarded(monkeypatch):
    class NoNotes(OverflowError):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Weird:
        def __index__(self):
            raise NoNotes("too odd")

    with pytest.raises(NoNotes) as info:
        parse_xml("<a/>", max_depth=Weird())
    assert notes(info.value) == []


# --- sources ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "source",
    [
        "<a x='é'>ü</a>",
        "<a x='é'>ü</a>".encode(),
        io.StringIO("<a x='é'>ü</a>"),
        io.BytesIO("<a x='é'>ü</a>".encode()),
        type("S", (str,), {})("<a x='é'>ü</a>"),
        type("B", (bytes,), {})("<a x='é'>ü</a>".encode()),
    ],
)
def test_source_kinds_give_equal_trees(source):
    root = parse_xml(source)
    assert (root.tag, root.attrib, root.text) == ("a", {"x": "é"}, "ü")


def test_read_called_once_without_arguments():
    reader = Reader(b"<a>" + b"x" * 1_000_000 + b"</a>")
    assert len(parse_xml(reader).text) == 1_000_000
    assert reader.calls == [()]


@pytest.mark.parametrize("source", [bytearray(b"<a/>"), memoryview(b"<a/>"), 42, None, "\ud800<a/>", object()])
def test_bad_sources(source):
    with pytest.raises(ValueError) as info:
        parse_xml(source)
    assert str(info.value) == SOURCE_ERROR


@pytest.mark.parametrize("result", [bytearray(b"<a/>"), None, "<a/>\udc00", 42])
def test_bad_read_results(result):
    with pytest.raises(ValueError) as info:
        parse_xml(Reader(result))
    assert str(info.value) == READ_ERROR


def test_str_with_surrogate_falls_back_to_read():
    class Odd(str):
        def read(self):
            return "<b/>"

    assert parse_xml(Odd("\ud800")).tag == "b"


def test_read_lookup_and_call_errors_propagate():
    class Prop:
        @property
        def read(self):
            raise RuntimeError("no reading today")

    class Failing:
        def read(self):
            raise OSError(5, "I/O error")

    class AttrSubclass:
        @property
        def read(self):
            raise type("Missing", (AttributeError,), {})("gone")

    with pytest.raises(RuntimeError, match="no reading today"):
        parse_xml(Prop())
    with pytest.raises(OSError, match="I/O error"):
        parse_xml(Failing())
    with pytest.raises(ValueError) as info:
        parse_xml(AttrSubclass())
    assert str(info.value) == SOURCE_ERROR


# --- the interpreter lock ---------------------------------------------------------------------


def test_other_threads_run_while_parsing():
    # A long comment keeps the core busy while the resulting tree stays tiny, so the time is
    # spent without the interpreter lock if it is released.
    size = 150_000_000
    document = b"<r><!--" + b"x" * size + b"--></r>"
    counter = 0
    stop = False

    def spin():
        nonlocal counter
        while not stop:
            counter += 1

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        time.sleep(0.05)
        before = counter
        started = time.perf_counter()
        root = parse_xml(document, max_comment_size=size)
        elapsed = time.perf_counter() - started
        progressed = counter - before
    finally:
        stop = True
        thread.join()
    assert root.tag == "r"
    # Holding the lock, the spinning thread would get at most a switch interval or two.
    assert progressed > 100_000, (progressed, elapsed)


def test_parallel_parses_on_threads_agree():
    document = "<r>" + "".join(f"<i n='{i}'>{i}</i>" for i in range(2000)) + "</r>"
    results = [None] * 4

    def work(slot):
        results[slot] = [(e.get("n"), e.text) for e in parse_xml(document)]

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expected = [(str(i), str(i)) for i in range(2000)]
    assert all(r == expected for r in results)


# --- memory -----------------------------------------------------------------------------------


@pytest.mark.skipif(
    bool(os.environ.get("VORLANE_SANITIZED")), reason="the sanitizer's shadow memory defeats an address-space limit"
)
def test_allocation_failure_is_memory_error():
    # Under a small address-space limit, a large parse must fail cleanly, not crash.
    script = textwrap.dedent(
        """
        import resource, sys
        from vorlane import parse_xml
        doc = b"<r>" + b"<a>x&amp;y</a>" * 2_000_000 + b"</r>"
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (300 * 2**20, hard))
        try:
            parse_xml(doc)
        except MemoryError:
            print("memory-error")
        else:
            print("parsed")
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "memory-error"
