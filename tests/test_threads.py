"""Parses on many threads at once agree with a sequential run and leak nothing; the deepest
tree converts on a thread with a small stack."""

import ctypes
import gc
import io
import os
import random
import sys
import threading
import weakref

import pytest

from vorlane import parse_xml

THREADS = 8
BIG = "<r>" + "".join(f"<i n='{i}'>t&amp;{i}<![CDATA[<c>]]></i>" for i in range(5_000)) + "</r>"
# (source, options): valid, refused and malformed documents, some large enough that the
# threads are inside the parser core together.
DOCUMENTS = [
    ("<a x='1'>t<b>\u00e9</b>u</a>", {}),
    (BIG, {}),
    (BIG.encode(), {}),
    (io.BytesIO(BIG.encode()), {}),
    ("<p:a xmlns:p='urn:p' p:k='v'><p:b/></p:a>", {}),
    ("<a>" * 500 + "</a>" * 500, {}),
    ("<!DOCTYPE r [<!ENTITY a 'b'>]><r/>", {}),
    ("<!DOCTYPE r SYSTEM 'x.dtd'><r/>", {}),
    ("<!DOCTYPE r><r/>", {"forbid_dtd": True}),
    ("<r>&foo;</r>", {}),
    (BIG, {"max_text_size": 100_000}),
    (BIG, {"max_depth": 1}),
    ("<a x='1' x='2'/>", {}),
    ("<a><b></a>", {}),
    (b"<a>\xff</a>", {}),
    ("", {}),
    (BIG[:-1], {}),
    ("<a " + " ".join(f"k{i}='v'" for i in range(2000)) + "/>", {}),
]


ROOTS = None  # a list while weak references to the trees are collected


def signature(source, options):
    if isinstance(source, io.BytesIO):
        source = io.BytesIO(source.getvalue())  # each call reads its own stream
    try:
        root = parse_xml(source, **options)
    except Exception as exc:
        return (type(exc), exc.args)
    if ROOTS is not None:
        ROOTS.append(weakref.ref(root))
    return [(e.tag, tuple(e.attrib.items()), e.text, e.tail) for e in root.iter()]


def run_threads(rounds, keep=True):
    """Each thread parses every document `rounds` times in its own shuffled order; the results,
    per thread, indexed like DOCUMENTS."""
    results = [[[] for _ in DOCUMENTS] for _ in range(THREADS)]
    errors = []
    start = threading.Barrier(THREADS)

    def work(slot):
        try:
            order = list(range(len(DOCUMENTS))) * rounds
            random.Random(slot).shuffle(order)
            start.wait()
            for i in order:
                seen = signature(*DOCUMENTS[i])
                if keep:
                    results[slot][i].append(seen)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    return results


def test_threads_agree_with_a_sequential_run(monkeypatch):
    expected = [signature(*doc) for doc in DOCUMENTS]
    assert len({repr(type(s)) for s in expected}) == 2  # both trees and exceptions are in the mix
    monkeypatch.setattr(sys.modules[__name__], "ROOTS", [])
    for per_thread in run_threads(3):
        for i, seen in enumerate(per_thread):
            assert seen == [expected[i]] * 3, DOCUMENTS[i][0][:60]
    gc.collect()
    assert ROOTS and all(ref() is None for ref in ROOTS)  # every tree was released


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def malloc_in_use():
    """Bytes allocated from the C heap, over all of glibc's arenas (each thread gets its own)
    and its mmap'd chunks. The parser core's memory is all here; the interpreter's small
    objects are not."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif(bool(os.environ.get("VORLANE_SANITIZED")), reason="the sanitizer replaces glibc's allocator")
@pytest.mark.skipif(not hasattr(ctypes.CDLL(None), "mallinfo2"), reason="measures glibc's heap")
def test_threads_leak_nothing():
    inputs = [o for doc in DOCUMENTS for o in (doc[0], *doc[1].values())]
    counts = [sys.getrefcount(o) for o in inputs]
    in_use = []
    for _ in range(4):  # the first run puts the arenas and the interpreter's caches in place
        run_threads(2, keep=False)  # the threads end, and their malloc caches with them
        gc.collect()
        in_use.append(malloc_in_use())
    # A leak grows the heap in every run; the interpreter's own tables grow now and then by a
    # resize. One leaked node, string or buffer in one of each 18 parses would show here.
    assert min(b - a for a, b in zip(in_use[1:], in_use[2:])) < 256, in_use
    assert [sys.getrefcount(o) for o in inputs] == counts


def depth_of(root):
    level = 1
    while len(root):
        assert len(root) == 1
        root = root[0]
        level += 1
    return level, root.text


@pytest.mark.parametrize(
    "depth, expected",
    [(65_535, (65_535, "x")), (65_536, "document nests elements deeper than the supported limit of 65535")],
)
def test_deepest_tree_on_a_small_stack(depth, expected):
    source = "<d>" * depth + "x" + "</d>" * depth
    result = []

    def work():
        try:
            root = parse_xml(source, max_depth=100_000)
        except Exception as exc:
            result.append(exc.args[0])
            return
        result.append(depth_of(root))
        # Released by the main thread: the interpreter frees an Element tree recursively,
        # some ten thousand levels before it defers, which a 256 KiB stack cannot hold
        # (the standard library's own trees of a few thousand levels crash it as well).
        result.append(root)

    previous = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    assert result[0] == expected
