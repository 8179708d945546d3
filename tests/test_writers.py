"""Each report format against a golden file: the same outcomes, one with a position, one
with a hostile name. VORLANE_UPDATE_GOLDEN=1 rewrites the files; read the diff."""

import io
import json
import os
import pathlib

import pytest

import vorlane
from vorlane.cli.outcome import Outcome
from vorlane.cli.writers import SarifWriter, make_writer

GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"
SUMMARY = "5 files (1.2 kB) in 0.01 s: 1 ok, 1 refused, 2 malformed, 1 error"
OUTCOMES = [
    Outcome("feeds/news.rss", "ok", root="rss", elements=25, size=900),
    Outcome(
        "upload.svg",
        "refused",
        "ExternalReferenceForbidden",
        "external reference is forbidden (system_id='file:///etc/passwd')",
        {"context": None, "base": None, "system_id": "file:///etc/passwd", "public_id": None},
    ),
    Outcome("orders/bad.xml", "malformed", "ParseError", "ill-formed document: expected `</item>`", line=7, column=12),
    Outcome("a,b:\u202egpj.xml", "malformed", "ParseError", "line one\nline two: 100%"),
    Outcome("missing.xml", "error", message="cannot read: No such file or directory"),
]


def render(format):
    out, err = io.StringIO(), io.StringIO()
    writer = make_writer(format, False, out, err)
    for outcome in OUTCOMES:
        writer.outcome(outcome)
    writer.finish(SUMMARY)
    return out.getvalue() + "-- standard error --\n" + err.getvalue()


def render_sarif(tmp_path):
    path = tmp_path / "report.sarif"
    writer = SarifWriter(str(path))
    for outcome in OUTCOMES:
        writer.outcome(outcome)
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        writer.finish(SUMMARY)
    finally:
        writer.close()
        os.chdir(cwd)
    text = path.read_text(encoding="utf-8").replace(vorlane.__version__, "VERSION")
    return text.replace(tmp_path.as_uri(), "file:///PROJECT")


@pytest.mark.parametrize("name", ["report.txt", "report.jsonl", "report.github", "report.sarif"])
def test_report_formats(name, tmp_path):
    suffix = name.rsplit(".", 1)[1]
    got = render_sarif(tmp_path) if suffix == "sarif" else render({"txt": "text", "jsonl": "json"}.get(suffix, suffix))
    golden = GOLDEN / name
    if os.environ.get("VORLANE_UPDATE_GOLDEN"):
        golden.write_text(got, encoding="utf-8")
    assert got == golden.read_text(encoding="utf-8")
    assert got.isascii()  # controls, direction overrides and line breaks are all escaped
    if suffix == "jsonl":
        records = got.split("-- standard error --")[0].splitlines()
        assert json.loads(records[3])["path"] == OUTCOMES[3].path  # escaped, not lost
