"""Shared set-up of the pytest suite: the support package is importable from every test,
whatever pytest's import mode."""

import pathlib
import sys

TESTS = str(pathlib.Path(__file__).resolve().parent)
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)
