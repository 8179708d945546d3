import pickle
import xml.etree.ElementTree as ET

import pytest

from vorlane.common import (
    DefusedXmlException,
    DTDForbidden,
    EntitiesForbidden,
    ExternalReferenceForbidden,
    ParseError,
)


def test_hierarchy():
    for cls in (DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden):
        assert issubclass(cls, DefusedXmlException)
    assert issubclass(DefusedXmlException, ValueError)
    assert issubclass(ParseError, ET.ParseError)
    assert issubclass(ParseError, SyntaxError)


@pytest.mark.parametrize(
    "exc, attributes, text",
    [
        (DTDForbidden("html", "s", "p"), {"name": "html", "system_id": "s", "public_id": "p"}, ["html", "'s'", "'p'"]),
        (
            EntitiesForbidden("a", "b", None, None, None, None),
            {"name": "a", "value": "b", "base": None, "system_id": None, "public_id": None, "notation_name": None},
            ["'a'", "'b'"],
        ),
        (
            ExternalReferenceForbidden(None, None, "file:///etc/passwd", None),
            {"context": None, "base": None, "system_id": "file:///etc/passwd", "public_id": None},
            ["file:///etc/passwd"],
        ),
    ],
)
def test_refusals_keep_their_fields(exc, attributes, text):
    assert exc.args == tuple(attributes.values())
    for key, value in attributes.items():
        assert getattr(exc, key) == value
    for fragment in text:
        assert fragment in str(exc)
    clone = pickle.loads(pickle.dumps(exc))
    assert type(clone) is type(exc) and clone.args == exc.args


def test_parse_error_is_caught_as_the_standard_one():
    with pytest.raises(ET.ParseError) as info:
        raise ParseError("No XML root element found")
    assert info.value.args == ("No XML root element found",)
    assert str(info.value) == "No XML root element found"
    assert info.value.position is None
