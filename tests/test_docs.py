import doctest
import importlib
import inspect
import pathlib
import pkgutil

import pytest

import vorlane

MODULES = ["vorlane", *sorted(
    name for _, name, _ in pkgutil.iter_modules(vorlane.__path__, "vorlane.") if name != "vorlane.__main__")]


@pytest.mark.parametrize("name", MODULES)
def test_examples_in_docstrings_run(name):
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.failed == 0


@pytest.mark.parametrize("name", MODULES)
def test_public_functions_show_an_example(name):
    module = importlib.import_module(name)
    functions = [getattr(module, attr) for attr in getattr(module, "__all__", ())]
    missing = [f.__name__ for f in functions
               if inspect.isfunction(f) and f.__module__ == name and ">>>" not in (f.__doc__ or "")]
    assert missing == []


README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(not README.exists(), reason="tests run without the source tree")
def test_readme_examples_run():
    result = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0
