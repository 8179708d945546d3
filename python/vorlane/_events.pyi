from collections.abc import Buffer, Callable, Iterable
from typing import Any, final
from xml.etree.ElementTree import Element

from vorlane._vorlane import _Readable

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
        strict: bool = ...,
    ) -> EventParser: ...
    def feed(self, data: Buffer, final: bool, out: list[tuple[Any, ...]], /) -> None: ...
    def bind(
        self,
        target: object,
        handlers: tuple[Callable[..., Any] | None, ...],
        wanted: Iterable[str],
        deferred: bool = False,
        /,
    ) -> None: ...
    def direct(self, out: list[tuple[Any, ...]] | None, /) -> None: ...
    def piece(self, data: object, /) -> bool: ...
    def take(self, out: list[tuple[Any, ...]], limit: int, /) -> None: ...
    def select(self, tags: frozenset[str] | None, release: bool, /) -> None: ...
    def free_next(self) -> None: ...
    def error_offset(self, /) -> int: ...
    def position(self, offset: int, /) -> tuple[int, int]: ...
    def bytes_fed(self, /) -> int: ...

def parse_document(
    text: str | bytes | _Readable,
    /,
    *,
    strict: bool = False,
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
) -> Element: ...
