import ast
import importlib.metadata
import inspect
import pathlib
import re

import pytest

import vorlane
from vorlane import _vorlane


def test_module_surface():
    assert _vorlane.__all__ == ["version", "parse_xml"]
    assert _vorlane.__doc__ == ""
    public = {name for name in vars(_vorlane) if not name.startswith("__")}
    assert public == {"version", "parse_xml"}
    for name in (
        "DTDForbidden",
        "EntitiesForbidden",
        "ExternalReferenceForbidden",
        "DefusedXmlException",
        "ParseError",
    ):
        assert not hasattr(_vorlane, name)


def stub_signatures():
    """name -> [(parameter, default)] for each function of the shipped _vorlane.pyi."""
    stub = pathlib.Path(_vorlane.__file__).with_name("_vorlane.pyi")
    functions = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
            defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
            defaults += [ast.literal_eval(d) for d in args.defaults]
            functions[node.name] = [(a.arg, d) for a, d in zip(args.args, defaults)]
    return functions


def test_stub_matches_the_runtime_signatures():
    stub = stub_signatures()
    assert sorted(stub) == sorted(_vorlane.__all__)
    for name, params in stub.items():
        runtime = inspect.signature(getattr(_vorlane, name)).parameters.values()
        assert {p.kind for p in runtime} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        assert [(p.name, p.default) for p in runtime] == params
        # Equal defaults of another type (1 == True) would hide a wrong spelling.
        assert [type(p.default) for p in runtime] == [type(d) for _, d in params]


def test_functions_carry_text_signatures_only():
    assert _vorlane.version.__doc__ is None
    assert _vorlane.parse_xml.__doc__ is None
    assert _vorlane.version.__text_signature__ == "()"


def test_functions_belong_to_the_package_module():
    assert _vorlane.version.__module__ == "vorlane._vorlane"
    assert _vorlane.parse_xml.__module__ == "vorlane._vorlane"
    assert _vorlane.parse_xml.__self__ is _vorlane


def test_version_comes_from_the_build():
    # The extension's version and the installed metadata both come from CMakeLists.txt.
    assert _vorlane.version() == importlib.metadata.version("vorlane") == vorlane.__version__ == vorlane.version()
    assert re.fullmatch(r"\d+\.\d+\.\d+", _vorlane.version())
    with pytest.raises(TypeError):
        _vorlane.version(1)


def test_package_exports():
    assert set(vorlane.__all__) == {
        "parse_xml",
        "version",
        "__version__",
        "DTDForbidden",
        "DefusedXmlException",
        "EntitiesForbidden",
        "ExternalReferenceForbidden",
        "ParseError",
        "fromstring",
        "XML",
        "fromstringlist",
        "XMLID",
        "parse",
        "ParseOptions",
    }
    for name in vorlane.__all__:
        assert hasattr(vorlane, name)


def test_extension_is_loaded_from_the_installed_package():
    # The tests must exercise the built wheel, never the source tree.
    assert "site-packages" in _vorlane.__file__
    assert ".abi3." in _vorlane.__file__
