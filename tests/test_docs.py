import doctest
import importlib
import inspect
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
