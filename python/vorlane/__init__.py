"""vorlane: a hardened, fast XML parser returning standard ElementTree elements.

>>> import vorlane
>>> vorlane.fromstring("<a x='1'>t</a>").attrib
{'x': '1'}

``fromstring``, ``XML``, ``fromstringlist``, ``XMLID`` and ``parse`` have the names and
results of :mod:`xml.etree.ElementTree`; :mod:`vorlane.ElementTree` is a drop-in
replacement for that module. ``parse_xml`` is the parser under them all: it reads UTF-8.

DOCTYPEs are analysed but never applied, declared entities are never expanded, nothing
external is ever opened, and limits bound the work. Refusals raise the exceptions of
:mod:`vorlane.common`.
"""

from vorlane._vorlane import parse_xml, version
from vorlane.api import XML, XMLID, ParseOptions, fromstring, fromstringlist, parse
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
    "ParseOptions",
    "XML",
    "XMLID",
    "__version__",
    "fromstring",
    "fromstringlist",
    "parse",
    "parse_xml",
    "version",
]
