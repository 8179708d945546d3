"""Every public entry point of vorlane, used with types; ``make test`` runs ``mypy --strict``
on this file against the installed package, and runs it.

    python examples/typed_usage.py
"""

from __future__ import annotations

import io
import json
from pathlib import Path
from xml.etree.ElementTree import Element

import vorlane
import vorlane.ElementTree as ET
from vorlane import (
    XML,
    XMLID,
    DefusedXmlException,
    DTDForbidden,
    EntitiesForbidden,
    ExternalReferenceForbidden,
    ParseError,
    ParseOptions,
    fromstring,
    fromstringlist,
    parse,
    parse_xml,
)
from vorlane.cli import Outcome, check_file, check_files, main, sarif_log

EXAMPLES = Path(__file__).resolve().parent


def parse_upload(data: bytes, *, strict: bool) -> Element | str:
    """The root of an uploaded document, or why it was refused."""
    options: ParseOptions = {"forbid_dtd": strict, "max_depth": 200, "max_text_size": 1 << 20}
    try:
        return fromstring(data, **options)
    except DTDForbidden as exc:
        return f"DOCTYPE {exc.name} (system {exc.system_id}, public {exc.public_id})"
    except EntitiesForbidden as exc:
        return f"entity {exc.name} = {exc.value!r} (system {exc.system_id}, notation {exc.notation_name})"
    except ExternalReferenceForbidden as exc:
        return f"external reference to {exc.system_id or exc.public_id}"
    except DefusedXmlException as exc:
        return f"limit: {exc}"
    except ParseError as exc:
        where: tuple[int, int] | None = exc.position  # always None: messages carry no position
        return f"malformed: {exc} at {where}"


def titles(root: Element) -> list[str]:
    return [element.text or "" for element in root.iter("{http://purl.org/dc/elements/1.1/}title")]


def package_functions() -> None:
    print("vorlane", vorlane.__version__, vorlane.version())
    catalog: Element = parse_xml(io.BytesIO((EXAMPLES / "catalog.xml").read_bytes()), forbid_dtd=True)
    print(titles(catalog), titles(XML((EXAMPLES / "catalog.xml").read_text(), max_depth=10)))
    tree = parse(EXAMPLES / "feed.rss", max_text_size=1 << 20)
    pieces = ["<items>", "<item id='a'/>", "<item id='b'/>", "</items>"]
    root, ids = XMLID("".join(pieces))
    print(tree.getroot() is not None, len(fromstringlist(pieces)), sorted(ids), root.tag)
    latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?><city>Zürich</city>".encode("latin-1")
    print(fromstring(latin1).text)
    for name in ("billion_laughs.xml", "external_entity.xml", "deep_nesting.xml", "malformed.xml"):
        print(name, "->", parse_upload((EXAMPLES / name).read_bytes(), strict=False))
    print("soap_attlist.xml ->", parse_upload((EXAMPLES / "soap_attlist.xml").read_bytes(), strict=True))


def drop_in_module() -> None:
    document = EXAMPLES / "feed.rss"
    items = 0
    for event, element in ET.iterparse(str(document), events=("end",), max_depth=50):
        if event == "end" and element.tag == "item":
            items += 1
            element.clear()
    feed = ET.ElementTree()
    feed.parse(document, forbid_dtd=True)
    parser = ET.XMLParser(forbid_dtd=True)
    parser.feed(document.read_bytes())
    pull = ET.XMLPullParser(events=("start",))
    pull.feed("<a><b/></a>")
    pull.close()
    starts = [element.tag for _, element in pull.read_events()]
    canonical = ET.canonicalize("<a   b='1'/>")
    print(items, feed.getroot() is not None, parser.close().tag, starts, canonical, ET.tostring(ET.XML("<x/>")))


def command_line() -> int:
    one: Outcome = check_file(str(EXAMPLES / "upload_xxe.svg"), {"forbid_external": True})
    many = list(check_files([str(EXAMPLES / "drawing.svg"), str(EXAMPLES / "feed.rss")], {}, jobs=2))
    log = sarif_log([one, *many])
    print(one.status, [outcome.as_json()["status"] for outcome in many], len(log["runs"][0]["results"]))
    return main(["check", "--quiet", "--json", str(EXAMPLES / "malformed.xml")])


if __name__ == "__main__":
    package_functions()
    drop_in_module()
    print(json.dumps({"exit status": command_line()}))
