"""Command line: ``python -m vorlane FILE...`` parses each file with the default limits.

One line per file: ``ok  <path>  <root tag>  <element count>`` or
``refused  <path>  <ExceptionClass>: <message>``. Exit status 0 when every file parsed,
1 when any was refused or malformed, 2 for a usage error or an unreadable file.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from vorlane import parse_xml
from vorlane.common import DefusedXmlException, ParseError


def _count_elements(root) -> int:
    return sum(1 for _ in root.iter())


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vorlane",
        description="Parse XML files safely and report, for each, its root and element count or why it was refused.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="XML file to parse")
    args = parser.parse_args(argv)

    status = 0
    for path in args.files:
        try:
            with open(path, "rb") as handle:
                data = handle.read()
        except OSError as exc:
            reason = exc.strerror or str(exc)
            print(f"vorlane: cannot read {path}: {reason}", file=sys.stderr)
            status = 2
            continue
        try:
            root = parse_xml(data)
        except (DefusedXmlException, ParseError) as exc:
            print(f"refused  {path}  {type(exc).__name__}: {exc}")
            status = max(status, 1)
            continue
        print(f"ok  {path}  {root.tag}  {_count_elements(root)}")
    return status


if __name__ == "__main__":
    sys.exit(main())
