import sys
import types

import pytest

import vorlane.common
from support.messages import ATTRIBUTE_COUNT, ATTRIBUTE_SIZE, COMMENT_SIZE, DEPTH, NAME_SIZE, TEXT_SIZE
from vorlane import parse_xml
from vorlane.common import DefusedXmlException, DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden, ParseError

CLASS_NAMES = ["DTDForbidden", "EntitiesForbidden", "ExternalReferenceForbidden", "DefusedXmlException", "ParseError"]

# (document, options, class name, positional arguments of the call)
FAILURES = [
    ("", {}, "ParseError", ("No XML root element found",)),
    ("<!DOCTYPE r><r/>", {"forbid_dtd": True}, "DTDForbidden", ("r", None, None)),
    ("<!DOCTYPE html PUBLIC 'p' 's'><html/>", {"forbid_dtd": True}, "DTDForbidden", ("html", "s", "p")),
    ("<!DOCTYPE r SYSTEM 'x.dtd'><r/>", {}, "ExternalReferenceForbidden", (None, None, "x.dtd", None)),
    ("<!DOCTYPE r [<!ENTITY a 'b'>]><r/>", {}, "EntitiesForbidden", ("a", "b", None, None, None, None)),
    ("<r>&foo;</r>", {}, "EntitiesForbidden", ("foo", None, None, None, None, None)),
    ("<a><b/></a>", {"max_depth": 1}, "DefusedXmlException", (DEPTH + "1",)),
    ("<a>xyz</a>", {"max_text_size": 2}, "DefusedXmlException", (TEXT_SIZE + "2",)),
    ("<a x='1' y='2'/>", {"max_attributes": 1}, "DefusedXmlException", (ATTRIBUTE_COUNT + "1",)),
    ("<a x='1234'/>", {"max_attribute_size": 3}, "DefusedXmlException", (ATTRIBUTE_SIZE + "3",)),
    ("<abcd/>", {"max_name_size": 3}, "DefusedXmlException", (NAME_SIZE + "3",)),
    ("<a><!--1234--></a>", {"max_comment_size": 3}, "DefusedXmlException", (COMMENT_SIZE + "3",)),
    ("<a>", {"max_depth": 18446744073709551615}, "ParseError", ("No XML root element found",)),
]


@pytest.fixture
def stand_in(monkeypatch):
    """Replaces vorlane.common by a module whose classes are given per test."""

    def install(**attributes):
        module = types.ModuleType("vorlane.common")
        for name, value in attributes.items():
            setattr(module, name, value)
        monkeypatch.setitem(sys.modules, "vorlane.common", module)
        return module

    return install


@pytest.mark.parametrize("document, options, class_name, args", FAILURES)
def test_real_classes_and_arguments(document, options, class_name, args):
    with pytest.raises(getattr(vorlane.common, class_name)) as info:
        parse_xml(document, **options)
    assert type(info.value).__name__ == class_name
    assert info.value.args == args


@pytest.mark.parametrize("document, options, class_name, args", FAILURES)
def test_calls_made_on_the_module(stand_in, document, options, class_name, args):
    calls = []

    def recorder(name):
        def make(*call_args, **call_kwargs):
            calls.append((name, call_args, call_kwargs))
            return KeyError(name)

        return make

    stand_in(**{name: recorder(name) for name in CLASS_NAMES})
    with pytest.raises(KeyError):
        parse_xml(document, **options)
    assert calls == [(class_name, args, {})]


def test_constructor_that_raises(stand_in):
    def boom(message):
        raise LookupError("constructor failed: " + message)

    stand_in(ParseError=boom)
    with pytest.raises(LookupError, match="constructor failed: No XML root element found"):
        parse_xml("")


def test_constructor_returning_a_non_exception(stand_in):
    stand_in(ParseError=lambda message: 42)
    with pytest.raises(TypeError) as info:
        parse_xml("")
    assert str(info.value) == "exceptions must derive from BaseException"


def test_constructor_returning_a_class_raises_it_without_arguments(stand_in):
    stand_in(ParseError=lambda message: IndexError)
    with pytest.raises(IndexError) as info:
        parse_xml("")
    assert info.value.args == ()


def test_missing_class_raises_attribute_error(stand_in):
    stand_in()
    with pytest.raises(AttributeError, match="ParseError"):
        parse_xml("<a></b>")


def test_module_imported_at_every_failure(stand_in):
    stand_in(ParseError=lambda message: ArithmeticError(message))
    with pytest.raises(ArithmeticError):
        parse_xml("")
    sys.modules["vorlane.common"] = vorlane.common  # monkeypatch restores afterwards anyway
    with pytest.raises(ParseError):
        parse_xml("")


def test_missing_module_only_matters_for_failures(monkeypatch):
    monkeypatch.setitem(sys.modules, "vorlane.common", None)
    assert parse_xml("<a><b/></a>")[0].tag == "b"
    with pytest.raises(ModuleNotFoundError):
        parse_xml("<a>")


def test_exception_hierarchy_seen_by_callers():
    with pytest.raises(DefusedXmlException):
        parse_xml("<!DOCTYPE r SYSTEM 'x'><r/>")
    for cls in (DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden):
        assert issubclass(cls, ValueError)
