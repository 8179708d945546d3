"""Allocation failures in the interpreter while a call builds its tree or reports its failure.

CPython's test module ``_testcapi`` has ``set_nomemory(start, stop)``: from the moment it is
called, the interpreter's allocations number ``start`` to ``stop - 1`` fail (``stop`` 0: all
from ``start`` on). For each case the call is first run with every allocation from N on
failing, for N = 1, 2, ... until the call completes undisturbed: that counts the allocations
it makes. Then each of them fails alone, and from there on. Every run must end in MemoryError
or in exactly the outcome of an undisturbed call (a failure that is handled and dropped, such
as that of the note on a bad option, leaves the outcome unchanged), never in another
exception, a different tree or a crash, and the reference counts of the source and of every
option object must be what they were. The core's own allocations are covered by the native
test tests/native/oom/test_allocation_failures.cpp.

The cyclic garbage collector is off meanwhile: a collection that starts while every
allocation fails reports its callbacks' MemoryError as unraisable, and CPython 3.13.0 then
recurses without end (PySys_GetObject fails, reports that as unraisable, which prints a
traceback, which calls PySys_GetObject...). That is the interpreter's fault, not the call's.
"""

import gc
import sys
import xml.etree.ElementTree as ET

import pytest

from support import OPTION_DEFAULTS, Reader, shape
from vorlane import parse_xml

_testcapi = pytest.importorskip("_testcapi")


def options(**changes):
    # Built at run time, so that none is a cached or immortal object whose reference count
    # would not show a lost or an extra reference.
    values = {name: d if isinstance(d, bool) else int(str(d)) for name, d in OPTION_DEFAULTS.items()}
    values.update(changes)
    return tuple(values.values())


TREE = (
    "<catalog xmlns='urn:example:catalog' xmlns:m='urn:example:meta'>\n"
    "  <book id='b-0001' m:state='available'>\n"
    "    <title>Structure and Interpretation</title>\n"
    "    <m:note kind='long'>first edition &amp; second</m:note>tail after note\n"
    "  </book>\n"
    "  <book id='b-0002'><title>Another title</title><empty/></book>\n"
    "</catalog>"
)


class Subclassed(ET.Element):
    """Any class but the accelerator's own Element is built through its constructor and append."""


CASES = [
    pytest.param(lambda: "".join(TREE), options(), None, id="tree"),
    pytest.param(lambda: "".join(TREE), options(), Subclassed, id="tree-element-class"),
    pytest.param(lambda: Reader(TREE.encode()), options(), None, id="read-bytes"),
    pytest.param(lambda: Reader("".join(TREE)), options(), None, id="read-str"),
    pytest.param(lambda: "<root><child></root>", options(), None, id="syntax"),
    pytest.param(
        lambda: "<!DOCTYPE root PUBLIC 'public id' 'system.dtd'><root/>", options(forbid_dtd=True), None, id="dtd"
    ),
    pytest.param(lambda: "<!DOCTYPE root [<!ENTITY name 'value'>]><root/>", options(), None, id="entities"),
    pytest.param(lambda: "<!DOCTYPE root SYSTEM 'system.dtd'><root/>", options(), None, id="external"),
    pytest.param(lambda: "<root><a><b/></a></root>", options(max_depth=int("2")), None, id="limit"),
    pytest.param(lambda: "<root/>", options(max_depth=-int("1000")), None, id="bad-option"),
]


def attempt(arguments, start=0, onwards=False):
    """One call with allocations failing from `start` (0: none); what it gave, comparable."""
    box = [None, None]  # filled without allocating while the hook is on
    if start:
        _testcapi.set_nomemory(start, 0 if onwards else start + 1)
    try:
        box[0] = parse_xml(*arguments)
    except BaseException as error:
        box[1] = error
    finally:
        _testcapi.remove_mem_hooks()
    if box[1] is not None:
        return type(box[1]).__name__, box[1].args
    return "tree", shape(box[0])


@pytest.fixture
def no_collector():
    enabled = gc.isenabled()
    gc.disable()
    yield
    if enabled:
        gc.enable()


@pytest.mark.usefixtures("no_collector")
@pytest.mark.parametrize("make_source, option_values, element_class", CASES)
def test_each_failed_allocation_ends_in_memory_error(make_source, option_values, element_class, monkeypatch):
    if element_class is not None:
        monkeypatch.setattr(ET, "Element", element_class)
    arguments = (make_source(), *option_values)
    expected = attempt(arguments)
    # What read() returned is watched too: the call must not keep a reference to it.
    watched = arguments + ((arguments[0].result,) if isinstance(arguments[0], Reader) else ())
    counts = [sys.getrefcount(value) for value in watched]

    allocations = next((n - 1 for n in range(1, 5000) if attempt(arguments, n, onwards=True) == expected), None)
    assert allocations, "the call made no allocation that the hook could fail"

    unexpected = []
    for n in range(1, allocations + 1):
        for onwards in (False, True):
            outcome = attempt(arguments, n, onwards)
            if outcome != expected and outcome[0] != "MemoryError":
                unexpected.append((n, onwards, outcome))
            assert [sys.getrefcount(value) for value in watched] == counts, (n, onwards)
    assert unexpected == []
    print(f"{allocations} interpreter allocations, each failed alone and onwards: {2 * allocations} runs")
