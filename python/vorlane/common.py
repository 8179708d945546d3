"""Exceptions raised by vorlane for refused and malformed documents.

``DefusedXmlException`` (a ``ValueError``) is raised for an exceeded limit and is the base
of the three refusals of forbidden constructs. ``ParseError`` is raised for malformed
input; it is also an ``xml.etree.ElementTree.ParseError``, so code written against the
standard library's ``fromstring`` keeps catching it.

The Python layer raises every refusal as a subclass of its class that is also an
``xml.etree.ElementTree.ParseError`` (:func:`located`), and sets ``position`` (line from
1, column from 0 in characters, as the standard library's) on every failure it can place;
``parse_xml`` raises the classes here as they are, without a position.
"""

from __future__ import annotations

import xml.etree.ElementTree as _ElementTree
from typing import Any

__all__ = [
    "DTDForbidden",
    "DefusedXmlException",
    "EntitiesForbidden",
    "ExternalReferenceForbidden",
    "ParseError",
]


class DefusedXmlException(ValueError):
    """A document was refused: a limit was exceeded or a forbidden construct was met."""

    # (line, column) of the refused construct, as ParseError's, when the Python layer
    # raised it; parse_xml sets none.
    position: tuple[int, int] | None = None

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

    # position is (line, column) as the standard library gives it (line from 1, column
    # from 0 in characters; \n, \r and \r\n each end a line), lineno and offset the same
    # as a SyntaxError says it (offset from 1); None where the failure has no place, as
    # from parse_xml itself. The standard class declares them as always set.
    code: int | None = None  # type: ignore[assignment]
    position: tuple[int, int] | None = None  # type: ignore[assignment]

    def __init__(self, message: str) -> None:
        super().__init__(message)

    def __str__(self) -> str:
        # SyntaxError would append "(line N)" once lineno is set: the message stays as it is.
        return Exception.__str__(self)


# Each refusal class, and its subclass that is also the standard ParseError.
_CATCHABLE: dict[type[BaseException], type[BaseException]] = {}


def _catchable_class(cls: type[BaseException]) -> type[BaseException]:
    made = _CATCHABLE.get(cls)
    if made is None:
        namespace: dict[str, Any] = {
            "__module__": cls.__module__,
            "__qualname__": cls.__qualname__,
            "__doc__": cls.__doc__,
            # SyntaxError's own would show msg and lineno: the refusal's text stays.
            "__str__": cls.__str__,
            "__reduce__": _reduce_catchable,
        }
        made = _CATCHABLE[cls] = type(cls.__name__, (cls, _ElementTree.ParseError), namespace)
    return made


def _reduce_catchable(self: BaseException) -> tuple[Any, ...]:
    return _rebuild_catchable, (type(self).__mro__[1], self.args, dict(vars(self)))


def _rebuild_catchable(cls: type[BaseException], args: tuple[Any, ...], state: dict[str, Any]) -> BaseException:
    made = _catchable_class(cls)
    exc = made.__new__(made, *args)
    exc.__dict__.update(state)
    _set_place(exc, state.get("position"))
    return exc


def _set_place(exc: BaseException, position: tuple[int, int] | None) -> None:
    # A class put in place of ours may refuse attributes: the failure is raised anyway.
    try:
        if isinstance(exc, _ElementTree.ParseError):
            exc.msg = str(exc)  # what a traceback prints for a SyntaxError
        if position is not None:
            exc.position = position  # type: ignore[attr-defined]
            if isinstance(exc, SyntaxError):
                exc.lineno, exc.offset = position[0], position[1] + 1
    except (AttributeError, TypeError):
        pass


def located(exc: BaseException, position: tuple[int, int] | None) -> BaseException:
    """*exc* as the Python layer raises it: a refusal also a standard ParseError, and placed.

    A refusal becomes an instance of a subclass of its class that is also an
    ``xml.etree.ElementTree.ParseError``, with the same ``args``, attributes and text;
    *position* (line, column), if known, is set on the result.

    >>> import xml.etree.ElementTree as ET
    >>> refusal = located(EntitiesForbidden("e", "x", None, None, None, None), (2, 4))
    >>> isinstance(refusal, ET.ParseError), type(refusal).__name__, refusal.position, str(refusal)
    (True, 'EntitiesForbidden', (2, 4), "entity 'e' is forbidden (name='e', value='x')")
    """
    if isinstance(exc, DefusedXmlException) and not isinstance(exc, _ElementTree.ParseError):
        made = _catchable_class(type(exc))
        copy = made.__new__(made, *exc.args)
        copy.__dict__.update(vars(exc))
        exc = copy.with_traceback(exc.__traceback__)
    _set_place(exc, position)
    return exc
