from collections.abc import Buffer, Callable, Iterable
from typing import Any, Protocol, final
from xml.etree.ElementTree import Element

__all__ = ["version", "parse_xml"]

class _Readable(Protocol):
    def read(self) -> str | bytes: ...

def version() -> str: ...
def parse_xml(
    source: str | bytes | _Readable,
    forbid_dtd: bool = False,
    forbid_entities: bool = True,
    forbid_external: bool = True,
    max_depth: int = 1000,
    max_entity_size: int = 10485760,
    max_text_size: int = 104857600,
    max_attributes: int = 1000,
    max_attribute_size: int = 10485760,
    max_name_size: int = 1024,
    max_comment_size: int = 10485760,
) -> Element: ...

@final
class EventParser:
    def __new__(
        cls,
        *,
        forbid_dtd: bool = ...,
        forbid_entities: bool = ...,
        forbid_external: bool = ...,
        max_depth: int = ...,
        max_entity_size: int = ...,
        max_text_size: int = ...,
        max_attributes: int = ...,
        max_attribute_size: int = ...,
        max_name_size: int = ...,
        max_comment_size: int = ...,
    ) -> EventParser: ...
    def feed(self, data: Buffer, final: bool, out: list[tuple[Any, ...]], /) -> None: ...
    def bind(
        self, target: object, handlers: tuple[Callable[..., Any] | None, ...], wanted: Iterable[str], /
    ) -> None: ...
    def error_offset(self, /) -> int: ...
    def bytes_fed(self, /) -> int: ...
