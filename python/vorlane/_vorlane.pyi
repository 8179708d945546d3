from typing import Protocol
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
