import inspect

import pytest

import vorlane
from vorlane import _vorlane


def test_module_surface():
    assert _vorlane.__all__ == ["version", "parse_xml"]
    assert _vorlane.__doc__ == ""
    public = {name for name in vars(_vorlane) if not name.startswith("__")}
    assert public == {"version", "parse_xml"}
    for name in ("DTDForbidden", "EntitiesForbidden", "ExternalReferenceForbidden", "DefusedXmlException", "ParseError"):
        assert not hasattr(_vorlane, name)


def test_functions_carry_text_signatures_only():
    assert _vorlane.version.__doc__ is None
    assert _vorlane.parse_xml.__doc__ is None
    assert _vorlane.version.__text_signature__ == "()"
    params = inspect.signature(_vorlane.parse_xml).parameters
    assert list(params) == [
        "source", "forbid_dtd", "forbid_entities", "forbid_external", "max_depth", "max_entity_size",
        "max_text_size", "max_attributes", "max_attribute_size", "max_name_size", "max_comment_size",
    ]
    assert params["max_text_size"].default == 104857600
    assert params["forbid_entities"].default is True


def test_functions_belong_to_the_package_module():
    assert _vorlane.version.__module__ == "vorlane._vorlane"
    assert _vorlane.parse_xml.__module__ == "vorlane._vorlane"
    assert _vorlane.parse_xml.__self__ is _vorlane


def test_version():
    assert _vorlane.version() == "1.0.2" == vorlane.__version__ == vorlane.version()
    with pytest.raises(TypeError):
        _vorlane.version(1)


def test_package_exports():
    assert set(vorlane.__all__) == {
        "parse_xml", "version", "__version__", "DTDForbidden", "DefusedXmlException",
        "EntitiesForbidden", "ExternalReferenceForbidden", "ParseError",
        "fromstring", "XML", "fromstringlist", "XMLID", "parse", "ParseOptions",
    }
    for name in vorlane.__all__:
        assert hasattr(vorlane, name)


def test_extension_is_loaded_from_the_installed_package():
    # The tests must exercise the built wheel, never the source tree.
    assert "site-packages" in _vorlane.__file__
    assert ".abi3." in _vorlane.__file__
