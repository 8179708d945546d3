"""vorlane: a hardened, fast XML parser returning standard ElementTree elements.

>>> from vorlane import parse_xml
>>> parse_xml("<a x='1'>t</a>").attrib
{'x': '1'}

DOCTYPEs are analysed but never applied, declared entities are never expanded, nothing
external is ever opened, and limits bound the work. Refusals raise the exceptions of
:mod:`vorlane.common`.
"""

from vorlane._vorlane import parse_xml, version
from vorlane.common import (
    DefusedXmlException,
    DTDForbidden,
    EntitiesForbidden,
    ExternalReferenceForbidden,
    ParseError,
)

__version__ = version()

__all__ = [
    "DTDForbidden",
    "DefusedXmlException",
    "EntitiesForbidden",
    "ExternalReferenceForbidden",
    "ParseError",
    "__version__",
    "parse_xml",
    "version",
]
