"""Compare vorlane's tree of a real file with the standard library's, and name the difference.

Each file is parsed by xml.etree.ElementTree and by vorlane (switches off and limits raised,
so that only real differences remain). Equal trees are "equal"; otherwise the known ways in
which the standard library's parser normalises a document are applied one by one, and the
file is put in the category of the normalisations that make the trees equal, or of the known
reason why one parser refuses what the other reads. Anything else is "unexplained".

Used by scripts/corpus_diff.py (`make corpus-diff`) and tests/test_corpus_smoke.py."""

from __future__ import annotations

import codecs
import re
import xml.etree.ElementTree as ET
from dataclasses import dataclass

from vorlane import parse_xml
from vorlane._events import parse_document

PERMISSIVE = dict(
    forbid_dtd=False,
    forbid_entities=False,
    forbid_external=False,
    max_depth=100_000,
    max_text_size=1 << 40,
    max_attributes=1 << 20,
    max_attribute_size=1 << 32,
    max_name_size=1 << 16,
    max_comment_size=1 << 32,
)
UNEXPLAINED = "unexplained"


@dataclass
class Verdict:
    category: str
    detail: str = ""
    encoding: str = "utf-8"
    defaults: str = ""  # the outcome with every option at its default
    strict: str = ""  # "" or the failure of a strict reading of a file both others read, limits raised


# --- reading the bytes as the standard library does -------------------------------------------

DECLARED = re.compile(rb"""^<\?xml[^>]*?encoding\s*=\s*["']([A-Za-z0-9._:-]+)["']""")


def declared_encoding(data: bytes) -> str:
    """The encoding expat reads the document in: a byte order mark, else the declaration's,
    else UTF-8."""
    if data.startswith(codecs.BOM_UTF8):
        return "utf-8"
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)) or data[:2] in (b"<\0", b"\0<"):
        return "utf-16"
    match = DECLARED.match(data)
    if not match:
        return "utf-8"
    name = match.group(1).decode("ascii")
    try:
        return codecs.lookup(name).name
    except LookupError:
        return name.lower()


def our_source(data: bytes, encoding: str):
    """UTF-8 goes in as it is; any other encoding is decoded first, as our parser reads
    UTF-8 only (a str source is read through its UTF-8 form)."""
    if encoding == "utf-8":
        return data
    return data.decode(encoding)


# --- trees as comparable values ---------------------------------------------------------------

NAMESPACE_REFERENCES = "references in namespace names"
LINE_ENDS = "line ends"
VALUE_SPACE = "attribute-value white space"
TOKENIZED = "DTD attribute types"
DEFAULTS = "DTD attribute defaults"
EMPTY_CDATA = "empty CDATA"
NORMALISATIONS = [LINE_ENDS, VALUE_SPACE, EMPTY_CDATA, DEFAULTS, TOKENIZED, NAMESPACE_REFERENCES]
PREDEFINED = {"lt": "<", "gt": ">", "amp": "&", "apos": "'", "quot": '"'}


def internal_entities(data: bytes):
    """The general entities that the internal subset declares with a literal value."""
    found = re.findall(rb"""<!ENTITY\s+([^\s%]\S*)\s+(["'])(.*?)\2""", data, re.S)
    return {name.decode("utf-8", "replace"): value.decode("utf-8", "replace") for name, _, value in found}


def expand_references(text, entities):
    def one(match):
        name = match.group(1)
        if name.startswith("#x"):
            return chr(int(name[2:], 16))
        if name.startswith("#"):
            return chr(int(name[1:]))
        return PREDEFINED.get(name, entities.get(name, match.group(0)))

    return re.sub(r"&(#x[0-9a-fA-F]+|#[0-9]+|[^;&\s]+);", one, text)


def expand_namespace(name, entities):
    """A "{namespace}local" name with the references in its namespace part expanded: our
    parser keeps a namespace name exactly as its declaration writes it."""
    if not name.startswith("{") or "&" not in name:
        return name
    namespace, _, local = name[1:].partition("}")
    return "{" + expand_references(namespace, entities) + "}" + local


def line_ends(s):
    return s.replace("\r\n", "\n").replace("\r", "\n")


def shape(element, rules, side, reference=None, entities=None):
    """(tag, attributes in order, text, tail, children) after the given normalisations.
    `side` is "ours" or "theirs"; attribute defaults are taken off the standard library's
    side where ours lacks them, so that side needs the element it is compared with."""
    cdata, ends = EMPTY_CDATA in rules, LINE_ENDS in rules
    space, tokens = VALUE_SPACE in rules, TOKENIZED in rules
    expand = NAMESPACE_REFERENCES in rules and side == "ours"
    defaults = DEFAULTS in rules and side == "theirs"
    entities = entities or {}

    def text(s):
        if s is None:
            return "" if cdata else None
        return line_ends(s) if ends else s

    def value(v):
        if ends or space:
            v = line_ends(v)
        if space:
            v = v.replace("\t", " ").replace("\n", " ")
        if tokens:
            v = re.sub(" +", " ", v).strip(" ")
        return v

    def name(n):
        return expand_namespace(n, entities) if expand else n

    def walk(e, ref):
        attrib = [(name(k), value(v)) for k, v in e.attrib.items()]
        if defaults and ref is not None:
            attrib = [(k, v) for k, v in attrib if k in ref.attrib]
        children = list(e)
        refs = list(ref) if defaults and ref is not None else ()
        return (
            name(e.tag),
            attrib,
            text(e.text),
            text(e.tail),
            [walk(c, refs[i] if i < len(refs) else None) for i, c in enumerate(children)],
        )

    return walk(element, reference)


def first_difference(a, b, path="/"):
    """Where two shapes first differ, for the report."""
    for field, x, y in zip(("tag", "attributes", "text", "tail"), a[:4], b[:4]):
        if x != y:
            return f"{path}{a[0]}: {field} {str(x)[:80]!r} != {str(y)[:80]!r}"
    if len(a[4]) != len(b[4]):
        return f"{path}{a[0]}: {len(a[4])} children != {len(b[4])}"
    for x, y in zip(a[4], b[4]):
        found = first_difference(x, y, f"{path}{a[0]}/")
        if found:
            return found
    return ""


# Which normalisations can matter for a document at all: each costs two walks of the trees.
RELEVANT = {
    LINE_ENDS: lambda data: b"\r" in data,
    VALUE_SPACE: lambda data: re.search(rb"""=\s*(?:"[^"]*[\t\n\r][^"]*"|'[^']*[\t\n\r][^']*')""", data) is not None,
    EMPTY_CDATA: lambda data: b"<![CDATA[]]>" in data,
    DEFAULTS: lambda data: b"<!ATTLIST" in data,
    TOKENIZED: lambda data: b"<!ATTLIST" in data,
    NAMESPACE_REFERENCES: lambda data: re.search(rb"""xmlns[^=\s]*\s*=\s*["'][^"']*&""", data) is not None,
}


def equal_under(ours, theirs, rules, entities):
    return shape(ours, rules, "ours", None, entities) == shape(theirs, rules, "theirs", ours, entities)


def explain_trees(ours, theirs, data: bytes):
    """Equal, or the smallest set of the known normalisations that makes the trees equal."""
    entities = internal_entities(data)
    if equal_under(ours, theirs, set(), entities):
        return "equal", ""
    allowed = [rule for rule in NORMALISATIONS if RELEVANT[rule](data)]
    if not equal_under(ours, theirs, set(allowed), entities):
        return UNEXPLAINED, first_difference(
            shape(ours, set(allowed), "ours", None, entities), shape(theirs, set(allowed), "theirs", ours, entities)
        )
    needed = set(allowed)
    for rule in allowed:
        if equal_under(ours, theirs, needed - {rule}, entities):
            needed.discard(rule)
    return "equal after " + " + ".join(r for r in NORMALISATIONS if r in needed), ""


# --- refusals ---------------------------------------------------------------------------------


def declares_entity(data: bytes, name: str) -> bool:
    return re.search(rb"<!ENTITY\s+" + re.escape(name.encode()) + rb"\s", data) is not None


def reads_external_declarations(data: bytes) -> bool:
    """An external subset or an external parameter entity: declarations neither parser reads."""
    doctype = re.search(rb"<!DOCTYPE\s+\S+\s+(?:SYSTEM|PUBLIC)\b", data)
    return doctype is not None or re.search(rb"<!ENTITY\s+%\s*\S+\s+(?:SYSTEM|PUBLIC)\b", data) is not None


OUR_REFUSALS = [
    # (pattern of our message, category, condition on the document)
    (
        r"^(?:Undefined|Unrecognized) entity: &(.*);$",
        "we refuse: a declared entity is used (the standard library expands it; we never expand entities)",
        lambda data, m: declares_entity(data, m.group(1)),
    ),
    (
        r"^Unrecognized entity: &(.*);$",
        "we refuse: an attribute value uses an entity of an external DTD (the "
        "standard library, which does not read that DTD either, drops the reference from the value)",
        lambda data, m: reads_external_declarations(data),
    ),
]
THEIR_REFUSALS = [
    (r"^unbound prefix", "the standard library refuses: an undeclared prefix (we keep the name as written)"),
    (
        r"^duplicate attribute",
        "the standard library refuses: one expanded attribute name twice (we check the names as written)",
    ),
    (
        r"^(?:not well-formed \(invalid token\)|reference to invalid character number)",
        "the standard library refuses: a character XML does not allow (we accept any UTF-8)",
    ),
    (
        r"^(?:unknown encoding|encoding specified in XML declaration is incorrect)",
        "the standard library refuses: an encoding it cannot read",
    ),
]


def our_message(exc):
    return str(exc.args[0]) if exc.args else type(exc).__name__


def their_message(exc):
    return str(exc).split(": line ")[0]


def compare(data: bytes) -> Verdict:
    encoding = declared_encoding(data)
    verdict = Verdict("", encoding=encoding)
    try:
        source = our_source(data, encoding)
    except (LookupError, UnicodeDecodeError) as exc:
        source = None
        ours_error = exc
    try:
        theirs = ET.fromstring(data)
        theirs_error = None
    except ET.ParseError as exc:
        theirs, theirs_error = None, exc
    ours = None
    if source is not None:
        try:
            ours = parse_xml(source, **PERMISSIVE)
            ours_error = None
        except Exception as exc:
            ours_error = exc
        try:
            parse_xml(source)
            verdict.defaults = "parsed"
        except Exception as exc:
            verdict.defaults = type(exc).__name__
        if theirs is not None and ours is not None:  # a refusal of both modes is explained below
            try:
                parse_document(source, strict=True, **PERMISSIVE)
            except Exception as exc:
                verdict.strict = f"{type(exc).__name__}: {our_message(exc)[:160]}"

    if ours is not None and theirs is not None:
        verdict.category, verdict.detail = explain_trees(ours, theirs, data)
        return verdict
    if ours is None and theirs is None:
        verdict.category = "both refuse"
        verdict.detail = f"ours: {our_message(ours_error)[:100]}; theirs: {their_message(theirs_error)[:100]}"
        return verdict
    if ours is None:
        message = our_message(ours_error)
        verdict.detail = f"{type(ours_error).__name__}: {message[:160]}"
        for pattern, category, condition in OUR_REFUSALS:
            found = re.match(pattern, message)
            if found and condition(data, found):
                verdict.category = category
                return verdict
        verdict.category = UNEXPLAINED
        return verdict
    message = their_message(theirs_error)
    verdict.detail = message[:160]
    for pattern, category in THEIR_REFUSALS:
        if re.match(pattern, message):
            verdict.category = category
            return verdict
    verdict.category = UNEXPLAINED
    return verdict
