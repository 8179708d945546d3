import doctest
import importlib
import inspect
import pathlib
import pkgutil

import pytest

import vorlane

MODULES = sorted(
    info.name for info in pkgutil.walk_packages(vorlane.__path__, "vorlane.") if info.name != "vorlane._vorlane"
)
# The command line documents itself through --help.
DOCUMENTED = [name for name in ["vorlane", *MODULES] if name != "vorlane.__main__"]


@pytest.mark.parametrize("name", ["vorlane", *MODULES])
def test_examples_run(name):
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS, verbose=False, report=True)
    assert result.failed == 0


def public_functions(module):
    for name in getattr(module, "__all__", []):
        value = getattr(module, name)
        if inspect.isfunction(value) and value.__module__ == module.__name__:
            yield name, value


@pytest.mark.parametrize("name", DOCUMENTED)
def test_public_functions_have_examples(name):
    module = importlib.import_module(name)
    parser = doctest.DocTestParser()
    missing = [
        function_name
        for function_name, function in public_functions(module)
        if not parser.get_examples(inspect.getdoc(function) or "")
    ]
    assert missing == []


README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(not README.exists(), reason="tests run without the source tree")
def test_readme_examples_run():
    result = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0
