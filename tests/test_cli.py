import inspect
import io
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from support import EXAMPLES
from vorlane import ParseOptions, parse_xml
from vorlane.cli import DEFAULT_INCLUDE, check_files, checking, main
from vorlane.cli.command import Progress


def run(*args):
    return subprocess.run([sys.executable, "-m", "vorlane", *map(str, args)], capture_output=True, text=True)


def check(capsys, *args):
    status = main(["check", "--no-progress", *map(str, args)])
    out, err = capsys.readouterr()
    return status, out, err


POSITIONED = re.compile(r"(.*?):(\d+):(\d+): (refused|malformed|error): (.*)")


def entry(line):
    """(status, path, detail) of a line of the text report, with or without a position."""
    match = POSITIONED.fullmatch(line)
    if match:
        return match[4], match[1], match[5]
    status, path, detail = line.split("  ", 2)
    return status, path, detail


def per_file(out):
    return {entry(line)[1]: entry(line) for line in out.splitlines() if POSITIONED.fullmatch(line) or "  " in line}


def test_examples():
    result = run(*sorted(EXAMPLES.glob("*.xml")))
    assert result.returncode == 1
    lines = per_file(result.stdout)
    catalog = str(EXAMPLES / "catalog.xml")
    assert lines[catalog] == ("ok", catalog, "{urn:example:catalog}catalog  7 elements")
    assert lines[str(EXAMPLES / "billion_laughs.xml")][0] == "refused"
    assert lines[str(EXAMPLES / "billion_laughs.xml")][2].startswith("EntitiesForbidden: ")
    assert lines[str(EXAMPLES / "external_entity.xml")][2].startswith("ExternalReferenceForbidden: ")
    assert lines[str(EXAMPLES / "malformed.xml")][2] == (
        "ParseError: ill-formed document: expected `</item>`, but `</order>` was found"
    )
    assert f"{EXAMPLES / 'malformed.xml'}:4:15: malformed: " in result.stdout
    assert result.stdout.splitlines()[-1].endswith("3 ok, 3 refused, 1 malformed, 0 errors")


@pytest.mark.parametrize(
    "content, status, prefix",
    [
        (b"<a><b/></a>", 0, "ok  PATH"),
        (b"<a>", 1, "PATH:1:4: malformed"),
        (b"\xff", 1, "PATH:1:1: malformed"),
        (b"<!DOCTYPE a [<!ENTITY e 'x'>]><a/>", 1, "PATH:1:1: refused"),
        (b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 1, "PATH:1:1: malformed"),
        ("<a/>".encode("utf-32-be") + b"\0\0", 1, "PATH:1:5: malformed"),
    ],  # UTF-32 without a mark, cut short: not binary
)
def test_status(tmp_path, content, status, prefix):
    path = tmp_path / "doc.xml"
    path.write_bytes(content)
    result = run(path)
    assert result.returncode == status
    assert result.stdout.startswith(prefix.replace("PATH", str(path)))
    assert ("binary file, not XML text" in result.stdout) == content.startswith(b"\x89PNG")


def test_unreadable_and_usage(tmp_path):
    missing = run(tmp_path / "nope.xml")
    assert missing.returncode == 2
    assert "cannot read" in missing.stdout and "Traceback" not in missing.stderr
    directory = run(tmp_path)
    assert directory.returncode == 2 and "no file here matches" in directory.stdout
    assert run().returncode == 2
    excluded = run("check", EXAMPLES / "catalog.xml", "--exclude", "*.xml")
    assert excluded.returncode == 2 and "nothing to check" in excluded.stderr


# Every option of parse_xml, with a document that the flag changes the outcome of.
FLAG_CASES = [
    ("forbid_dtd", ["--forbid-dtd"], "<!DOCTYPE a><a/>", "ok", "DTDForbidden"),
    ("forbid_entities", ["--allow-entities"], "<!DOCTYPE a [<!ENTITY e 'x'>]><a/>", "EntitiesForbidden", "ok"),
    ("forbid_external", ["--allow-external"], "<!DOCTYPE a SYSTEM 'a.dtd'><a/>", "ExternalReferenceForbidden", "ok"),
    ("max_depth", ["--max-depth", "1"], "<a><b/></a>", "ok", "DefusedXmlException"),
    ("max_entity_size", ["--max-entity-size", "0"], "<a>&amp;</a>", "ok", "ok"),
    ("max_text_size", ["--max-text-size", "3"], "<a>text</a>", "ok", "DefusedXmlException"),
    ("max_attributes", ["--max-attributes", "1"], "<a x='1' y='2'/>", "ok", "DefusedXmlException"),
    ("max_attribute_size", ["--max-attribute-size", "2"], "<a x='123'/>", "ok", "DefusedXmlException"),
    ("max_name_size", ["--max-name-size", "2"], "<abc/>", "ok", "DefusedXmlException"),
    ("max_comment_size", ["--max-comment-size", "2"], "<a><!-- long --></a>", "ok", "DefusedXmlException"),
    ("strict", ["--no-strict"], "<a>]]></a>", "ParseError", "ok"),
]


def test_every_parse_option_has_a_flag():
    options = set(inspect.signature(parse_xml).parameters) - {"source"} | {"strict"}
    assert {case[0] for case in FLAG_CASES} == options == set(ParseOptions.__annotations__)


@pytest.mark.parametrize("option, flags, document, before, after", FLAG_CASES)
def test_flags(tmp_path, capsys, option, flags, document, before, after):
    path = tmp_path / "doc.xml"
    path.write_text(document)
    outcomes = []
    for extra in ([], flags):
        record = json.loads(check(capsys, "--json", *extra, path)[1])
        outcomes.append(record.get("exception", record["status"]))
    assert outcomes == [before, after]


USAGE_ERRORS = [["--max-depth", "-1"], ["--max-depth", "x"], ["--max-depth", str(2**64)], ["-j", "0"], ["--bogus"], []]


@pytest.mark.parametrize("args", USAGE_ERRORS)
def test_usage_errors(capsys, args):
    with pytest.raises(SystemExit) as exit_:
        main(["check", *args, str(EXAMPLES / "catalog.xml")] if args else ["check"])
    assert exit_.value.code == 2
    assert "usage:" in capsys.readouterr().err


def make_tree(root, files):
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)


TREE = {
    "a.xml": "<a/>",
    "b.SVG": "<svg/>",
    "notes.txt": "<a>",
    "sub/deep/c.xsd": "<c/>",
    "sub/bad.xml": "<a>",
    ".hidden/d.xml": "<a>",
    "sub/.e.xml": "<a>",
    "vendor/f.xml": "<a>",
    "vendor/keep/g.xml": "<g/>",
}


@pytest.mark.parametrize(
    "args, checked",
    [
        ([], ["a.xml", "b.SVG", "sub/bad.xml", "sub/deep/c.xsd", "vendor/f.xml", "vendor/keep/g.xml"]),
        (["--include", "*.xsd", "--include", "*.txt"], ["notes.txt", "sub/deep/c.xsd"]),
        (["--exclude", "vendor"], ["a.xml", "b.SVG", "sub/bad.xml", "sub/deep/c.xsd"]),
        (["--exclude", "vendor/f.xml", "--exclude", "sub/*"], ["a.xml", "b.SVG", "vendor/keep/g.xml"]),
    ],
)
def test_walk(tmp_path, capsys, monkeypatch, args, checked):
    make_tree(tmp_path, TREE)
    monkeypatch.chdir(tmp_path)
    status, out, _ = check(capsys, "--json", *args, ".")
    paths = [json.loads(line)["path"] for line in out.splitlines()]
    assert paths == [os.path.join(".", *name.split("/")) for name in checked]
    assert status == (1 if any(TREE[name] == "<a>" for name in checked) else 0)


POSIX_ONLY = pytest.mark.skipif(sys.platform == "win32", reason="FIFOs and symlinks")


@POSIX_ONLY
def test_explicit_paths(tmp_path, capsys, monkeypatch):
    make_tree(tmp_path, TREE)
    monkeypatch.chdir(tmp_path)
    os.symlink("missing.xml", "sub/dangling.xml")
    os.mkfifo("pipe.xml")
    status, out, _ = check(
        capsys, "notes.txt", ".hidden", "a.xml", "./a.xml", "sub", "pipe.xml", "--exclude", "bad.xml"
    )
    assert status == 2  # errors outrank refusals
    lines = out.splitlines()
    assert lines[:2] == [
        "error  sub/dangling.xml  cannot read: No such file or directory",
        "error  pipe.xml  cannot read: not a regular file",
    ]
    assert [entry(line)[:2] for line in lines[2:-1]] == [
        ("malformed", "notes.txt"),
        ("malformed", ".hidden/d.xml"),
        ("ok", "a.xml"),
        ("ok", "sub/deep/c.xsd"),
    ]
    assert lines[-1].endswith("2 ok, 0 refused, 2 malformed, 2 errors")


def test_json_sarif_and_quiet(tmp_path, capsys):
    sarif = tmp_path / "report.sarif"
    missing = tmp_path / "missing.xml"
    status, out, err = check(capsys, "--json", "--quiet", "--sarif", sarif, EXAMPLES, missing)
    records = [json.loads(line) for line in out.splitlines()]
    assert status == 2 and err == ""
    assert [r["status"] for r in records] == ["error", "refused", "refused", "refused", "malformed", "refused"]
    bomb = records[1]
    assert bomb["exception"] == "EntitiesForbidden" and bomb["fields"]["name"] == "lol"
    log = json.loads(sarif.read_text())
    run_ = log["runs"][0]
    rules = run_["tool"]["driver"]["rules"]
    assert log["version"] == "2.1.0" and run_["tool"]["driver"]["name"] == "vorlane"
    assert len(run_["results"]) == 5
    for result, record in zip(run_["results"], records[1:]):
        assert rules[result["ruleIndex"]]["id"] == result["ruleId"] == record["exception"]
        assert result["level"] == "error" and result["message"]["text"]
        location = result["locations"][0]["physicalLocation"]
        assert location["region"] == {"startLine": record["line"], "startColumn": record["column"]}
        assert location["artifactLocation"]["uri"].endswith(pathlib.Path(record["path"]).name)
    notification = run_["invocations"][0]["toolExecutionNotifications"][0]
    assert not run_["invocations"][0]["executionSuccessful"] and "missing.xml" in notification["message"]["text"]


@pytest.mark.skipif(sys.platform != "linux", reason="file names that are not UTF-8")
def test_hostile_names_and_values(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    name = b"evil \x1b]0;owned\x07 \xff.xml".decode("unicode_escape").encode("latin-1")
    value = "\x1b[31m" + "x" * 5000
    with open(name, "wb") as handle:
        handle.write(f"<!DOCTYPE a [<!ENTITY e '{value}'>]><a/>".encode())
    status, out, _ = check(capsys, "--sarif", "r.sarif", ".")
    line = out.splitlines()[0]
    assert status == 1 and "\x1b" not in line.replace("\\x1b", "") and "\x07" not in line
    assert line.startswith("./evil \\x1b]0;owned\\x07 \\xff.xml:1:1: refused: EntitiesForbidden")
    assert line.endswith(" characters)") and len(line) < 1200
    uri = json.loads(pathlib.Path("r.sarif").read_text())["runs"][0]["results"][0]["locations"][0]["physicalLocation"][
        "artifactLocation"
    ]
    assert uri["uri"] == "evil%20%1B%5D0%3Bowned%07%20%FF.xml" and uri["uriBaseId"] == "%SRCROOT%"
    status, out, _ = check(capsys, "--json", ".")
    record = json.loads(out)
    assert record["path"] == "./evil \x1b]0;owned\x07 \\xff.xml"
    assert record["fields"]["value"] == value[:200] + "... (5005 characters)"


def test_pool_gives_the_same_outcomes_in_order(tmp_path, monkeypatch):
    documents = ["<a/>", "<a>", "<!DOCTYPE a SYSTEM 'x'><a/>", "<a><b/><b/></a>"] * 10
    paths = []
    for i, document in enumerate(documents):
        paths.append(str(tmp_path / f"{i:02}.xml"))
        pathlib.Path(paths[-1]).write_text(document)
    inline = list(check_files(paths, {"max_depth": 5}, jobs=1))
    pools, original = [], checking._executor
    monkeypatch.setattr(checking, "POOL_MIN_FILES", 16)
    monkeypatch.setattr(checking, "usable_cores", lambda: 2)
    monkeypatch.setattr(checking, "_executor", lambda kind, workers: pools.append(kind) or original(kind, workers))
    for pool in ("processes", "threads"):
        assert list(checking._check_files(paths, {"max_depth": 5}, 2, pool)) == inline
    assert pools == ["processes", "threads"]
    assert list(check_files(paths[:15], {}, jobs=2)) == list(check_files(paths[:15], {}, jobs=1))
    assert pools == ["processes", "threads"]  # too little work for a pool
    assert [o.status for o in inline[:4]] == ["ok", "malformed", "refused", "ok"]


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, drawn", [(FakeTerminal(), True), (io.StringIO(), False)])
def test_progress_only_on_a_terminal_and_only_when_long(stream, drawn):
    now = [0.0]
    progress = Progress(stream, 10, clock=lambda: now[0])
    progress.update(1)
    assert stream.getvalue() == ""  # not yet a long run
    now[0] = 2.0
    progress.update(5)
    progress.update(6)  # within a tenth of a second: not redrawn
    progress.clear()
    assert stream.getvalue() == ("\rchecked 5/10 files (50%)\r\x1b[K" if drawn else "")


def test_console_script_and_legacy_form(tmp_path):
    script = shutil.which("vorlane", path=os.path.dirname(sys.executable))
    catalog = EXAMPLES / "catalog.xml"
    for command in ([str(script), "check", "-q", catalog], [sys.executable, "-m", "vorlane", "-q", catalog]):
        result = subprocess.run(command, capture_output=True, text=True)
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def test_hook_runs_on_the_default_names():
    manifest = (EXAMPLES.parent / ".pre-commit-hooks.yaml").read_text()
    pattern = re.search(r"^  files: (.+)$", manifest, re.M).group(1)
    for glob in DEFAULT_INCLUDE:
        name = "dir/a" + glob[1:]
        assert re.search(pattern, name) and re.search(pattern, name.upper())
    assert not re.search(pattern, "notes.txt") and not re.search(pattern, "xml.py")


def _hook_argv(args=None):
    # The command pre-commit runs: the hook's entry, then its args, then the staged names.
    manifest = (EXAMPLES.parent / ".pre-commit-hooks.yaml").read_text()
    entry = re.search(r"^  entry: (.+)$", manifest, re.M).group(1).split()
    default_args = json.loads(re.search(r"^  args: (.+)$", manifest, re.M).group(1))
    assert entry[:2] == ["vorlane", "check"]
    return entry[1:] + (default_args if args is None else args)


@pytest.mark.parametrize(
    ("args", "status"),
    [
        (None, 1),  # the hook as shipped
        (["--forbid-dtd", "--max-depth", "200", "--"], 1),  # args overridden as the README shows
        (["--forbid-dtd"], 2),  # overridden without "--": refused, nothing read
        (["--forbid-dtd", "--sarif=pom.xml"], 2),  # ... even when a staged "--" follows
    ],
)
def test_hook_file_names_are_never_options(tmp_path, monkeypatch, capsys, args, status):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("pom.xml").write_text("<project/>")
    hostile = ["--sarif=pom.xml", "--json.xml", "-", "--", "--allow-entities=.xml"]
    for name in hostile:
        pathlib.Path(name).write_text("<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>")
    try:
        assert main([*_hook_argv(args), "pom.xml", *hostile]) == status
    except SystemExit as exit:
        assert exit.code == status
    out, err = capsys.readouterr()
    assert pathlib.Path("pom.xml").read_text() == "<project/>"
    if status == 2:
        assert out == "" and "vorlane: error: --pre-commit: " in err
    else:
        assert sorted(per_file(out)) == sorted(hostile)  # each refused as a file, none as an option
        assert all(status == "refused" for status, _, _ in per_file(out).values())


# ---- faults: each row sets up a directory, runs the command line in a process of its own
# (some with the checker patched, through PATCHES) and judges what came out.

PATCHES = {
    # A worker that dies on one file, as the OOM killer would end it.
    "kill": """
import os, signal
from vorlane.cli import checking
checking.POOL_MIN_FILES, checking.usable_cores = 1, lambda: 2
real = checking.check_file
def check_file(path, options):
    if path.endswith("kill.xml"):
        os.kill(os.getpid(), signal.SIGKILL)
    return real(path, options)
checking.check_file = check_file
""",
    # Slow files: the queue is still full when the interrupt comes.
    "slow": """
import time
from vorlane.cli import checking
checking.POOL_MIN_FILES, checking.usable_cores = 1, lambda: 2
real = checking.check_file
def check_file(path, options):
    time.sleep(0.2)
    return real(path, options)
checking.check_file = check_file
""",
}


def run_patched(patch, args, cwd, interrupt_after=None, input=None, **popen):
    code = f"{PATCHES.get(patch, '')}\nfrom vorlane.cli import main\nraise SystemExit(main({list(args)!r}))"
    popen = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **popen}
    process = subprocess.Popen([sys.executable, "-c", code], cwd=cwd, text=True, start_new_session=True, **popen)
    stopped = None
    if interrupt_after is not None:
        time.sleep(interrupt_after)
        os.killpg(process.pid, signal.SIGINT)  # as Ctrl-C: the whole process group
        stopped = time.monotonic()
    out, err = process.communicate(input, timeout=60)
    if stopped is not None:
        assert time.monotonic() - stopped < 1.0, "Ctrl-C took more than a second"
        with pytest.raises(ProcessLookupError):  # no worker is left
            os.killpg(process.pid, 0)
    return process.returncode, out or "", err


def files(directory, names, content="<a/>"):
    directory.mkdir(exist_ok=True)
    for name in names:
        (directory / name).write_text(content)


def broken_pool(tmp_path):
    files(tmp_path / "d", [f"{i:02}.xml" for i in range(40)] + ["kill.xml"])
    status, out, err = run_patched("kill", ["check", "-j2", "--json", "--sarif", "r.sarif", "d"], tmp_path)
    records = [json.loads(line) for line in out.splitlines()]
    unfinished = [r["path"] for r in records if r["status"] == "error"]
    assert len(records) == 41 and "d/kill.xml" in unfinished
    assert {r["message"] for r in records if r["status"] == "error"} == {checking.UNFINISHED}
    notes = json.loads((tmp_path / "r.sarif").read_text())["runs"][0]["invocations"][0]["toolExecutionNotifications"]
    assert len(notes) == len(unfinished)
    return status, err


def interrupted(tmp_path):
    files(tmp_path / "d", [f"{i:03}.xml" for i in range(100)])
    (tmp_path / "r.sarif").write_text("the last run's report")
    status, _, err = run_patched("slow", ["check", "-j2", "--sarif", "r.sarif", "d"], tmp_path, interrupt_after=1.5)
    assert (tmp_path / "r.sarif").read_text() == "the last run's report"  # not emptied before there is a report
    return status, err


def sarif_to_full_device(tmp_path):
    files(tmp_path, ["a.xml"])
    status, _, err = run_patched(None, ["check", "--sarif", "/dev/full", "a.xml"], tmp_path)
    return status, err


def stdout_to_full_device(tmp_path):
    files(tmp_path, ["a.xml"])
    with open("/dev/full", "w") as full:
        status, _, err = run_patched(None, ["check", "a.xml"], tmp_path, stdout=full)
    return status, err


def hostile_name_in_json(tmp_path):
    name = "\u009b31m\u202egpj.xml"
    files(tmp_path, [name])
    status, out, err = run_patched(None, ["check", "--json", name], tmp_path)
    assert out.isascii() and json.loads(out)["path"] == name
    return status, err


def special_files_in_a_walk(tmp_path):
    files(tmp_path / "d", ["a.xml"])
    os.mkfifo(tmp_path / "d" / "pipe.xml")
    os.symlink("/dev/zero", tmp_path / "d" / "zero.xml")
    status, out, err = run_patched(None, ["check", "d"], tmp_path)
    assert out.splitlines()[:2] == [
        "error  d/pipe.xml  cannot read: not a regular file",
        "error  d/zero.xml  cannot read: not a regular file",
    ]
    return status, err


def stateful_codec(tmp_path):
    (tmp_path / "a.xml").write_bytes(b"<?xml version='1.0' encoding='hz'?><!DOC~\nTYPE a [<!ENTITY e 'x'>]><a/>")
    status, out, err = run_patched(None, ["check", "a.xml"], tmp_path)
    assert "unsupported encoding 'hz': a stateful 7-bit encoding" in out
    return status, err


def standard_input(tmp_path):
    files(tmp_path, ["-"], "<!DOCTYPE a [<!ENTITY e 'x'>]><a/>")  # after "--", "-" is this file
    status, out, err = run_patched(
        None, ["check", "-", "--", "-"], tmp_path, stdin=subprocess.PIPE, input="<a><b/></a>"
    )
    assert out.splitlines()[:2] == [
        "ok  <stdin>  a  2 elements",
        "-:1:1: refused: EntitiesForbidden: entity 'e' is forbidden (name='e', value='x')",
    ]
    return status, err


# (name, the run, its exit status, its standard error: all of it when it ends in a newline,
# else a part of it)
FAULTS = [
    ("broken pool", broken_pool, 2, " ok, 0 refused, 0 malformed, "),
    ("Ctrl-C", interrupted, 130, "vorlane: interrupted\n"),
    ("--sarif /dev/full", sarif_to_full_device, 2, "vorlane: cannot write /dev/full: No space left on device\n"),
    ("stdout /dev/full", stdout_to_full_device, 2, "vorlane: cannot write standard output: No space left on device\n"),
    ("C1 and bidi in JSON", hostile_name_in_json, 0, ""),
    ("FIFO and /dev/zero", special_files_in_a_walk, 2, ""),
    ("stateful codec", stateful_codec, 1, ""),
    ("standard input", standard_input, 1, ""),
]


@POSIX_ONLY
@pytest.mark.parametrize("run_fault, status, err", [f[1:] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_faults(tmp_path, run_fault, status, err):
    got_status, got_err = run_fault(tmp_path)
    assert got_status == status
    assert got_err == err if err.endswith("\n") else err in got_err and "Traceback" not in got_err


def test_workers_are_capped_by_processors_and_files(tmp_path, monkeypatch):
    sizes = []
    monkeypatch.setattr(checking, "POOL_MIN_FILES", 1)
    monkeypatch.setattr(checking, "usable_cores", lambda: 3)
    monkeypatch.setattr(
        checking, "_executor", lambda kind, workers: sizes.append(workers) or ThreadPoolExecutor(workers)
    )
    files(tmp_path, ["a.xml", "b.xml", "c.xml", "d.xml"])
    paths = sorted(str(p) for p in tmp_path.iterdir())
    for jobs in (10000, 2):
        list(check_files(paths, {}, jobs))
    list(check_files(paths[:2], {}, 10000))
    assert sizes == [3, 2, 2]
