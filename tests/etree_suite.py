"""Run CPython's own ElementTree tests (``test.test_xml_etree``) against vorlane.ElementTree.

The suite ships with the interpreter. Its ``setUpModule(module=...)`` takes the module
under test; unittest calls it without arguments, so it is wrapped here. The tests that
fail by design are listed, each with its reason, in ``etree_suite_expected.txt`` next to
this file. The run fails on any other failure, and on a listed test that passes, so the
list stays exact.

Usage: python tests/etree_suite.py [-v] [--list-failures]
"""

from __future__ import annotations

import argparse
import io
import pathlib
import sys
import unittest

EXPECTED = pathlib.Path(__file__).with_name("etree_suite_expected.txt")
EXTERNAL_ONLY = "external DOCTYPE refused by default"


def expected_failures() -> dict[str, str]:
    """Test name (Class.test_method) to the reason it fails by design."""
    entries = {}
    for line in EXPECTED.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            name, _, reason = line.partition(" ")
            entries[name] = reason.strip().lstrip("#").strip()
    return entries


def short_name(test: unittest.TestCase) -> str:
    # A subtest reports as its parent test.
    test = getattr(test, "test_case", test)
    return f"{type(test).__name__}.{test._testMethodName}"


def main() -> int:
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("-v", "--verbose", action="store_true")
    arguments.add_argument("--list-failures", action="store_true", help="print every failure with its message")
    arguments.add_argument(
        "--allow-external",
        action="store_true",
        help="diagnosis: parse with forbid_external=False, to see which failures are due to that refusal alone",
    )
    options = arguments.parse_args()

    try:
        from test import test_xml_etree
    except ImportError:
        print("etree-suite: this interpreter has no test.test_xml_etree (built without its test suite)")
        return 2
    import vorlane._incremental
    import vorlane.api
    import vorlane.ElementTree

    if options.allow_external:
        # Every road to the parser goes through vorlane.api.parse_document or the event parser
        # of vorlane._incremental, with the options as keywords.
        def relaxed(source, parse_document=vorlane.api.parse_document, **settings):
            return parse_document(source, **{**settings, "forbid_external": False})

        def relaxed_events(event_parser=vorlane._incremental.EventParser, **settings):
            return event_parser(**{**settings, "forbid_external": False})

        vorlane.api.parse_document = relaxed
        vorlane._incremental.EventParser = relaxed_events

    set_up = test_xml_etree.setUpModule
    test_xml_etree.setUpModule = lambda: set_up(module=vorlane.ElementTree)

    suite = unittest.defaultTestLoader.loadTestsFromModule(test_xml_etree)
    present = {short_name(test) for test in _tests(suite)}  # the run empties the suite
    # The expected failures' tracebacks would drown the result; -v shows the whole run.
    stream = sys.stderr if options.verbose else io.StringIO()
    runner = unittest.TextTestRunner(verbosity=2 if options.verbose else 0, stream=stream)
    result = runner.run(suite)

    failed: dict[str, str] = {}
    for test, trace in [*result.failures, *result.errors]:
        failed.setdefault(short_name(test), trace)
    expected = expected_failures()
    if options.allow_external:
        # These must pass once the refusal is lifted: that shows it is their only reason.
        expected = {name: why for name, why in expected.items() if not why.startswith(EXTERNAL_ONLY)}
    unexpected = sorted(set(failed) - set(expected))
    fixed = sorted(name for name in expected if name in present and name not in failed)

    if options.list_failures:
        for name, trace in sorted(failed.items()):
            print(f"==== {name}\n{trace.strip().splitlines()[-1]}")
    version = ".".join(map(str, sys.version_info[:3]))
    by_design = len(set(failed) & set(expected))
    print(
        f"etree-suite on Python {version}: {result.testsRun} tests, {len(result.skipped)} skipped, "
        f"{by_design} failing by design, {len(unexpected)} unexpected failures, {len(fixed)} listed but passing"
    )
    for name in unexpected:
        print(f"unexpected failure: {name}\n{failed[name]}")
    for name in fixed:
        print(f"listed as failing but passes: {name} (take it off {EXPECTED.name})")
    return 1 if unexpected or fixed else 0


def _tests(suite: unittest.TestSuite) -> list[unittest.TestCase]:
    found = []
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            found.extend(_tests(item))
        else:
            found.append(item)
    return found


if __name__ == "__main__":
    sys.exit(main())
