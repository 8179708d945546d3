"""Exceptions raised by vorlane for refused and malformed documents.

``DefusedXmlException`` (a ``ValueError``) is raised for an exceeded limit and is the base
of the three refusals of forbidden constructs. ``ParseError`` is raised for malformed
input; it is also an ``xml.etree.ElementTree.ParseError``, so code written against the
standard library's ``fromstring`` keeps catching it.
"""

from __future__ import annotations

import xml.etree.ElementTree as _ElementTree

__all__ = [
    "DTDForbidden",
    "DefusedXmlException",
    "EntitiesForbidden",
    "ExternalReferenceForbidden",
    "ParseError",
]


class DefusedXmlException(ValueError):
    """A document was refused: a limit was exceeded or a forbidden construct was met."""

    def __repr__(self) -> str:
        return f"{type(self).__name__}{self.args!r}"


def _describe(**fields: str | None) -> str:
    return ", ".join(f"{key}={value!r}" for key, value in fields.items() if value is not None)


class DTDForbidden(DefusedXmlException):
    """The document has a document type declaration and ``forbid_dtd`` is set."""

    def __init__(self, name: str, system_id: str | None, public_id: str | None) -> None:
        super().__init__(name, system_id, public_id)
        self.name = name
        self.system_id = system_id
        self.public_id = public_id

    def __str__(self) -> str:
        details = _describe(name=self.name, system_id=self.system_id, public_id=self.public_id)
        return f"DOCTYPE is forbidden ({details})"


class EntitiesForbidden(DefusedXmlException):
    """An entity was declared, or a reference named an entity that is not predefined."""

    def __init__(
        self,
        name: str,
        value: str | None,
        base: str | None,
        system_id: str | None,
        public_id: str | None,
        notation_name: str | None,
    ) -> None:
        super().__init__(name, value, base, system_id, public_id, notation_name)
        self.name = name
        self.value = value
        self.base = base
        self.system_id = system_id
        self.public_id = public_id
        self.notation_name = notation_name

    def __str__(self) -> str:
        details = _describe(
            name=self.name,
            value=self.value,
            system_id=self.system_id,
            public_id=self.public_id,
            notation_name=self.notation_name,
        )
        return f"entity {self.name!r} is forbidden ({details})"


class ExternalReferenceForbidden(DefusedXmlException):
    """The document type or an entity names an external identifier and ``forbid_external`` is set."""

    def __init__(
        self,
        context: str | None,
        base: str | None,
        system_id: str | None,
        public_id: str | None,
    ) -> None:
        super().__init__(context, base, system_id, public_id)
        self.context = context
        self.base = base
        self.system_id = system_id
        self.public_id = public_id

    def __str__(self) -> str:
        details = _describe(system_id=self.system_id, public_id=self.public_id)
        return f"external reference is forbidden ({details})"


class ParseError(_ElementTree.ParseError):
    """The input is not a document this parser accepts; ``args`` is exactly the message."""

    # The standard library's parser sets these from expat; our messages carry no position,
    # so they are None (the standard class declares them as always set).
    code: int | None = None  # type: ignore[assignment]
    position: tuple[int, int] | None = None  # type: ignore[assignment]

    def __init__(self, message: str) -> None:
        super().__init__(message)
