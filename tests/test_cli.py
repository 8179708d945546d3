import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(*args):
    return subprocess.run([sys.executable, "-m", "vorlane", *map(str, args)], capture_output=True, text=True)


def test_examples():
    result = run(*sorted(EXAMPLES.glob("*.xml")))
    assert result.returncode == 1
    lines = dict((line.split("  ")[1], line) for line in result.stdout.splitlines())
    assert lines[str(EXAMPLES / "catalog.xml")] == f"ok  {EXAMPLES / 'catalog.xml'}  {{urn:example:catalog}}catalog  7"
    assert lines[str(EXAMPLES / "billion_laughs.xml")].startswith("refused  ")
    assert "  EntitiesForbidden: " in lines[str(EXAMPLES / "billion_laughs.xml")]
    assert "  ExternalReferenceForbidden: " in lines[str(EXAMPLES / "external_entity.xml")]
    assert lines[str(EXAMPLES / "malformed.xml")].endswith(
        "ParseError: ill-formed document: expected `</item>`, but `</order>` was found")


@pytest.mark.parametrize(
    "content, status, prefix",
    [(b"<a><b/></a>", 0, "ok  "), (b"<a>", 1, "refused  "), (b"\xff", 1, "refused  ")],
)
def test_status(tmp_path, content, status, prefix):
    path = tmp_path / "doc.xml"
    path.write_bytes(content)
    result = run(path)
    assert result.returncode == status
    assert result.stdout.startswith(prefix + str(path))


def test_unreadable_and_usage(tmp_path):
    missing = run(tmp_path / "nope.xml")
    assert missing.returncode == 2
    assert "cannot read" in missing.stderr and "Traceback" not in missing.stderr
    directory = run(tmp_path)
    assert directory.returncode == 2 and "Traceback" not in directory.stderr
    assert run().returncode == 2
