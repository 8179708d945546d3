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
from vorlane import (
    DefusedXmlException,
    DTDForbidden,
    EntitiesForbidden,
    ExternalReferenceForbidden,
    ParseError,
    parse_xml,
)
from vorlane.cli import Options, Outcome, check_file, check_files, main, sarif_log

EXAMPLES = Path(__file__).resolve().parent


def parse_upload(data: bytes, *, strict: bool) -> Element | str:
    """The root of an uploaded document, or why it was refused."""
    options: Options = {"forbid_dtd": strict, "max_depth": 200, "max_text_size": 1 << 20}
    try:
        return parse_xml(data, **options)
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


def main_example() -> int:
    print("vorlane", vorlane.__version__, vorlane.version())
    catalog = parse_xml(io.BytesIO((EXAMPLES / "catalog.xml").read_bytes()), forbid_dtd=True)
    print(titles(catalog))
    for name in ("billion_laughs.xml", "external_entity.xml", "deep_nesting.xml", "malformed.xml"):
        print(name, "->", parse_upload((EXAMPLES / name).read_bytes(), strict=False))
    print("soap_attlist.xml ->", parse_upload((EXAMPLES / "soap_attlist.xml").read_bytes(), strict=True))

    one: Outcome = check_file(str(EXAMPLES / "upload_xxe.svg"), {"forbid_external": True})
    many = list(check_files([str(EXAMPLES / "drawing.svg"), str(EXAMPLES / "feed.rss")], {}, jobs=2))
    log = sarif_log([one, *many])
    print(one.status, [outcome.as_json()["status"] for outcome in many], len(log["runs"][0]["results"]))
    return main(["check", "--quiet", "--json", str(EXAMPLES / "malformed.xml")])


if __name__ == "__main__":
    print(json.dumps({"exit status": main_example()}))
