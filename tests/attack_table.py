"""The attack classes, each as a document that grows with n, the options it is parsed with
and its exact outcome at that size; and the timing of a class at n and 4n.

Used by tests/test_attacks.py (small sizes, in CI) and bench/attack_bench.py (`make
attack-bench`, the large sizes and the table). Linear work grows about 4x from n to 4n and
quadratic work 16x; a refusal that stops early does not grow at all."""

from __future__ import annotations

import gc
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable
from dataclasses import dataclass, field

from support.messages import ATTRIBUTE_COUNT, ATTRIBUTE_SIZE, COMMENT_SIZE, DEPTH, NAME_SIZE, QUALIFIED, TEXT_SIZE
from vorlane import parse_xml
from vorlane.common import (
    DefusedXmlException,
    DTDForbidden,
    EntitiesForbidden,
    ExternalReferenceForbidden,
    ParseError,
)

ALL_OFF = dict(forbid_dtd=False, forbid_entities=False, forbid_external=False)
U64_MAX = 2**64 - 1
TOO_MANY_BINDINGS = (
    "more than 128 namespace bindings in scope; raise the limit with NamespaceResolver::set_max_namespace_bindings"
)
TOO_DEEP = "document nests elements deeper than the supported limit of 65535"
NAME_BUDGET = 8 * 2**20


@dataclass(frozen=True)
class Raises:
    cls: type
    args: tuple

    def describe(self):
        text = self.args[0] if len(self.args) == 1 else ", ".join(map(repr, self.args))
        text = text if len(text) <= 60 else text[:57] + "..."
        return f"{self.cls.__name__}: {text}"


@dataclass(frozen=True)
class Tree:
    check: Callable[[ET.Element], bool]
    summary: str

    def describe(self):
        return f"parsed: {self.summary}"


@dataclass(frozen=True)
class Attack:
    name: str
    build: Callable[[int], str | bytes]
    expect: Callable[[int], Raises | Tree]
    ci_n: int  # the size CI times (the larger document is 4 times this)
    bench_n: int  # the size `make attack-bench` times
    options: Callable[[int], dict] = field(default=lambda n: {})
    stdlib: bool = False  # time the standard library on the same documents as well

    def run(self, n):
        return parse_xml(self.build(n), **self.options(n))


def outcome_matches(expected, call):
    """None when `call()` ends as expected, else a description of what happened."""
    try:
        root = call()
    except Exception as exc:
        if isinstance(expected, Raises) and type(exc) is expected.cls and exc.args == expected.args:
            return None
        return f"raised {type(exc).__name__}{exc.args!r:.300}"
    if isinstance(expected, Tree) and expected.check(root):
        return None
    return f"returned a tree <{str(root.tag)[:60]}> with {len(root)} children"


# --- document builders ------------------------------------------------------------------------


def laughs(n):
    decls = "".join(f'<!ENTITY lol{i} "{f"&lol{i - 1};" * 10}">' for i in range(1, n + 1))
    return f'<!DOCTYPE lolz [<!ENTITY lol0 "lol">{decls}]><lolz>&lol{n};</lolz>'


def blowup(n, where="text"):
    refs = "&a;" * n
    body = f"<r>{refs}</r>" if where == "text" else f"<r v='{refs}'/>"
    return f'<!DOCTYPE r [<!ENTITY a "{"x" * n}">]>{body}'


def external_entities(n):
    decls = "".join(f'<!ENTITY e{i} SYSTEM "file:///etc/passwd">' for i in range(n))
    return f"<!DOCTYPE r [{decls}]><r>&e0;</r>"


def parameter_entities(n):
    decls = "".join(f"<!ENTITY % p{i} \"<!ENTITY x{i} 'y'>\"> %p{i};" for i in range(n))
    return f'<!DOCTYPE r [<!ENTITY % ext SYSTEM "http://127.0.0.1:9/x.dtd"> {decls} %ext;]><r/>'


def nested(depth, text="x"):
    return "<a>" * depth + text + "</a>" * depth


def depth_of(root):
    level = 1
    while len(root):
        root = root[0]
        level += 1
    return level


def attributes(n):
    return "<r" + "".join(f" a{i}='{i}'" for i in range(n)) + "/>"


def colliding_names(n):
    """n distinct names of one length that share their first and last 16 bytes, so a hash of
    the ends alone puts them in one bucket. The middles are strings of two-byte blocks that
    add the same amount to the multiplicative string hashes: "Aa" and "BB" under h*31+c for
    the first half of the names, "Ab" and "BA" under h*33+c for the second."""
    half = (n + 1) // 2
    width = max(1, (half - 1).bit_length())
    names = []
    for i in range(n):
        blocks = ("Aa", "BB") if i < half else ("Ab", "BA")
        k = i % half
        names.append("k" * 16 + "".join(blocks[(k >> bit) & 1] for bit in range(width)) + "z" * 16)
    return names


def colliding(n, duplicate=False):
    names = colliding_names(n)
    if duplicate:
        names.append(names[0])
    return "<r" + "".join(f" {name}=''" for name in names) + "/>"


def duplicate_message(n):
    names = colliding_names(n)
    width = len(names[0]) + 4  # " name=''"
    first, last = 2, 1 + n * width + 1
    return f"position {last}: duplicated attribute, previous declaration at position {first}"


def bad_utf8(n):
    return b"<r>" + "\u00e9".encode() * n + b"\xff</r>"


def qualified_names(n):
    uri = "u" * 100_000
    return f"<r xmlns:p='{uri}'>" + "".join(f"<p:n{i}/>" for i in range(n)) + "</r>"


def declarations_on_siblings(n):
    return "<r>" + "".join(f"<p{i}:e xmlns:p{i}='urn:{i}'/>" for i in range(n)) + "</r>"


def huge_subset(n):
    decls = "".join(f"<!ELEMENT e{i} (#PCDATA)><!ATTLIST e{i} a CDATA 'd'><!-- ' \" <!ELEMENT -->" for i in range(n))
    return f"<!DOCTYPE r [{decls}]><r/>"


def limit(text, value):
    return Raises(DefusedXmlException, (f"{text}{value}",))


ATTACKS = [
    Attack(
        "billion laughs",
        laughs,
        lambda n: Raises(EntitiesForbidden, ("lol0", "lol", None, None, None, None)),
        ci_n=2_000,
        bench_n=50_000,
    ),
    Attack(
        "billion laughs, switches off",
        laughs,
        lambda n: Raises(ParseError, (f"Undefined entity: &lol{n};",)),
        ci_n=2_000,
        bench_n=50_000,
        options=lambda n: ALL_OFF,
    ),
    Attack(
        "quadratic blow-up",
        blowup,
        lambda n: Raises(EntitiesForbidden, ("a", "x" * n, None, None, None, None)),
        ci_n=50_000,
        bench_n=1_000_000,
    ),
    Attack(
        "quadratic blow-up, switches off",
        blowup,
        lambda n: Raises(ParseError, ("Undefined entity: &a;",)),
        ci_n=50_000,
        bench_n=1_000_000,
        options=lambda n: ALL_OFF,
    ),
    Attack(
        "quadratic blow-up in a value, switches off",
        lambda n: blowup(n, "attribute"),
        lambda n: Raises(ParseError, ("Unrecognized entity: &a;",)),
        ci_n=50_000,
        bench_n=1_000_000,
        options=lambda n: {**ALL_OFF, "max_attribute_size": U64_MAX},
    ),
    Attack(
        "external entities",
        external_entities,
        lambda n: Raises(ExternalReferenceForbidden, (None, None, "file:///etc/passwd", None)),
        ci_n=5_000,
        bench_n=200_000,
    ),
    Attack(
        "external entities, switches off",
        external_entities,
        lambda n: Raises(ParseError, ("Undefined entity: &e0;",)),
        ci_n=5_000,
        bench_n=200_000,
        options=lambda n: ALL_OFF,
    ),
    Attack(
        "external DTD, DTDs forbidden",
        lambda n: f"<!DOCTYPE r SYSTEM '{'d' * n}.dtd'><r/>",
        lambda n: Raises(DTDForbidden, ("r", "d" * n + ".dtd", None)),
        ci_n=25_000,
        bench_n=4_000_000,
        options=lambda n: {"forbid_dtd": True},
    ),
    Attack(
        "parameter entities",
        parameter_entities,
        lambda n: Raises(ExternalReferenceForbidden, (None, None, "http://127.0.0.1:9/x.dtd", None)),
        ci_n=5_000,
        bench_n=200_000,
    ),
    Attack(
        "parameter entities, external allowed",
        parameter_entities,
        lambda n: Raises(EntitiesForbidden, ("ext", None, None, "http://127.0.0.1:9/x.dtd", None, None)),
        ci_n=5_000,
        bench_n=200_000,
        options=lambda n: {"forbid_external": False},
    ),
    Attack(
        "deep nesting, accepted",
        nested,
        lambda n: Tree(lambda r: depth_of(r) == n, "depth n"),
        ci_n=4_000,
        bench_n=16_000,
        options=lambda n: {"max_depth": n},
        stdlib=True,
    ),
    Attack(
        "deep nesting past max_depth",
        lambda n: nested(n + 1),
        lambda n: limit(DEPTH, n),
        ci_n=4_000,
        bench_n=16_000,
        options=lambda n: {"max_depth": n},
    ),
    Attack("deep nesting past the default depth", nested, lambda n: limit(DEPTH, 1000), ci_n=20_000, bench_n=1_000_000),
    Attack(
        "deep nesting past 65535",
        lambda n: "<a>" * n,
        lambda n: Raises(ParseError, (TOO_DEEP,)),
        ci_n=70_000,
        bench_n=1_000_000,
        options=lambda n: {"max_depth": U64_MAX},
    ),
    Attack(
        "a million attributes",
        attributes,
        lambda n: Tree(lambda r: len(r.attrib) == n, "n attributes"),
        ci_n=2_000,
        bench_n=250_000,
        options=lambda n: {"max_attributes": n},
        stdlib=True,
    ),
    Attack(
        "many attributes, default count",
        attributes,
        lambda n: limit(ATTRIBUTE_COUNT, 1000),
        ci_n=20_000,
        bench_n=250_000,
    ),
    Attack(
        "attribute names built to collide",
        colliding,
        lambda n: Tree(lambda r: len(r.attrib) == n, "n attributes"),
        ci_n=2_048,
        bench_n=131_072,
        options=lambda n: {"max_attributes": n},
        stdlib=True,
    ),
    Attack(
        "colliding names, duplicate last",
        lambda n: colliding(n, duplicate=True),
        lambda n: Raises(ParseError, (duplicate_message(n),)),
        ci_n=2_048,
        bench_n=131_072,
        options=lambda n: {"max_attributes": n + 1},
    ),
    Attack(
        "megabyte element name",
        lambda n: f"<{'n' * n}/>",
        lambda n: limit(NAME_SIZE, 1024),
        ci_n=250_000,
        bench_n=4_000_000,
    ),
    Attack(
        "megabyte element name, allowed",
        lambda n: f"<{'n' * n}>t</{'n' * n}>",
        lambda n: Tree(lambda r: len(r.tag) == n, "tag of n bytes"),
        ci_n=250_000,
        bench_n=4_000_000,
        options=lambda n: {"max_name_size": n},
    ),
    Attack(
        "megabyte attribute name",
        lambda n: f"<r {'k' * n}='v'/>",
        lambda n: limit(NAME_SIZE, 1024),
        ci_n=250_000,
        bench_n=4_000_000,
    ),
    Attack(
        "megabyte comment",
        lambda n: f"<r><!--{'c' * n}--></r>",
        lambda n: limit(COMMENT_SIZE, n - 1),
        ci_n=1_000_000,
        bench_n=16_000_000,
        options=lambda n: {"max_comment_size": n - 1},
    ),
    Attack(
        "megabyte attribute value",
        lambda n: f"<r v='{'x' * n}'/>",
        lambda n: limit(ATTRIBUTE_SIZE, n - 1),
        ci_n=1_000_000,
        bench_n=16_000_000,
        options=lambda n: {"max_attribute_size": n - 1},
    ),
    Attack(
        "megabyte text past max_text_size",
        lambda n: f"<r>{'t' * n}</r>",
        lambda n: limit(TEXT_SIZE, n - 1),
        ci_n=1_000_000,
        bench_n=16_000_000,
        options=lambda n: {"max_text_size": n - 1},
    ),
    Attack(
        "long run of references in text",
        lambda n: "<r>" + "&amp;&#x1F600;" * n + "</r>",
        lambda n: Tree(lambda r: r.text == "&\U0001f600" * n, "text of 2n characters"),
        ci_n=20_000,
        bench_n=2_000_000,
    ),
    Attack(
        "long run of references in a value",
        lambda n: "<r v='" + "&lt;&#65;" * n + "'/>",
        lambda n: Tree(lambda r: r.get("v") == "<A" * n, "value of 2n characters"),
        ci_n=20_000,
        bench_n=2_000_000,
        options=lambda n: {"max_attribute_size": U64_MAX},
    ),
    Attack(
        "invalid UTF-8 after n characters",
        bad_utf8,
        lambda n: Raises(
            ParseError, (f"cannot decode input using UTF-8: invalid utf-8 sequence of 1 bytes from index {2 * n}",)
        ),
        ci_n=500_000,
        bench_n=8_000_000,
    ),
    Attack(
        "huge internal subset",
        huge_subset,
        lambda n: Tree(lambda r: r.tag == "r" and not r.attrib, "no defaults"),
        ci_n=10_000,
        bench_n=200_000,
    ),
    Attack(
        "huge internal subset, DTDs forbidden",
        huge_subset,
        lambda n: Raises(DTDForbidden, ("r", None, None)),
        ci_n=10_000,
        bench_n=200_000,
        options=lambda n: {"forbid_dtd": True},
    ),
    Attack(
        "namespace declarations on one element",
        lambda n: "<r" + "".join(f" xmlns:p{i}='urn:{i}'" for i in range(n)) + "/>",
        lambda n: Raises(ParseError, (TOO_MANY_BINDINGS,)),
        ci_n=20_000,
        bench_n=500_000,
    ),
    Attack(
        "namespace declarations on siblings",
        declarations_on_siblings,
        lambda n: Tree(lambda r: len(r) == n and r[-1].tag == f"{{urn:{n - 1}}}e", "n namespaced children"),
        ci_n=2_000,
        bench_n=100_000,
        stdlib=True,
    ),
    Attack(
        "namespace-qualified name amplification",
        qualified_names,
        lambda n: limit(QUALIFIED, NAME_BUDGET),
        ci_n=2_000,
        bench_n=50_000,
    ),
]


# --- timing -----------------------------------------------------------------------------------


def best_time(call, rounds):
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        try:
            result = call()
        except Exception:
            result = None
        elapsed = time.perf_counter() - started
        del result  # the tree is released outside the timed window
        best = min(best, elapsed)
    return best


def time_growth(parse, small, large, rounds, budget=0.0, most=100):
    """(best time at n, best time at 4n). The larger document goes first, so the heap is
    already grown to its size; then the two alternate, each round timing both: at least
    `rounds` rounds, and more while the time spent stays under `budget` seconds (at most
    `most`), so that small documents get many chances at a quiet moment of the machine."""
    best_time(lambda: parse(large), 1)
    gc.collect()
    gc.disable()
    started = time.perf_counter()
    try:
        t_small = t_large = float("inf")
        done = 0
        while done < rounds or (done < most and time.perf_counter() - started < budget):
            t_small = min(t_small, best_time(lambda: parse(small), 1))
            t_large = min(t_large, best_time(lambda: parse(large), 1))
            done += 1
    finally:
        gc.enable()
    return t_small, t_large


def scan(doc):
    """One pass over the document's bytes and nothing else: the machine's own growth for
    linear work on documents of these sizes (caches, memory bandwidth)."""
    return doc.find(b"\0" if isinstance(doc, bytes) else "\0")


def stdlib_parse(doc):
    return ET.fromstring(doc if isinstance(doc, bytes) else doc.encode("utf-8"))
