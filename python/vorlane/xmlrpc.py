"""XML-RPC unmarshalling on the event engine, and a switch for :mod:`xmlrpc` itself.

:func:`loads` gives the results of :func:`xmlrpc.client.loads`; the standard
``Unmarshaller`` receives the engine's events. :func:`gzip_decode` refuses a body that
inflates past ``max_decode`` before inflating it further. :func:`enable` makes
``xmlrpc.client`` and ``xmlrpc.server`` in this process parse through vorlane (both reach
the parser through ``xmlrpc.client.getparser``, which it replaces); :func:`disable`
restores the standard one; :func:`enabled` does both around a ``with`` block.
"""

from __future__ import annotations

import gzip
import io
import threading
import xmlrpc.client
import xmlrpc.server
from collections.abc import Buffer, Iterator
from contextlib import contextmanager
from typing import Any, Unpack

from vorlane._incremental import Feeder
from vorlane.api import ParseOptions, _checked_options
from vorlane.common import DefusedXmlException

__all__ = ["RpcParser", "disable", "enable", "enabled", "getparser", "gzip_decode", "loads"]

_STANDARD_GETPARSER = xmlrpc.client.getparser
_STANDARD_GZIP = xmlrpc.client.gzip_decode
_LOCK = threading.Lock()
_PIECE = 2**16


class RpcParser:
    """The parser ``xmlrpc.client`` pairs with an ``Unmarshaller``: ``feed`` then ``close``.

    Element names are reported as written (XML-RPC uses no namespaces).

    >>> target = xmlrpc.client.Unmarshaller()
    >>> parser = RpcParser(target)
    >>> parser.feed("<params><param><value><int>7</int></value></param></params>")
    >>> parser.close(); target.close()
    (7,)
    """

    def __init__(self, target: Any, **options: Unpack[ParseOptions]) -> None:
        target.xml(None, None)
        self._feeder = Feeder(_Written(target), None, _checked_options(options, "RpcParser"))

    def feed(self, data: str | Buffer) -> None:
        """Parse *data* after what was fed before."""
        self._feeder.feed(data)

    def close(self) -> None:
        """The input ends here."""
        self._feeder.close()


class _Written:
    """A target seeing ``{uri}local`` names as the standard parser without namespaces does."""

    def __init__(self, target: Any) -> None:
        self.data = target.data
        self._target = target

    @staticmethod
    def _plain(tag: str) -> str:
        return tag.rpartition("}")[2]

    def start(self, tag: str, attrib: dict[str, str]) -> None:
        self._target.start(self._plain(tag), {self._plain(k): v for k, v in attrib.items()})

    def end(self, tag: str) -> None:
        self._target.end(self._plain(tag))


def getparser(
    use_datetime: bool = False, use_builtin_types: bool = False, **options: Unpack[ParseOptions]
) -> tuple[RpcParser, xmlrpc.client.Unmarshaller]:
    """A vorlane parser and the standard unmarshaller it feeds, as ``xmlrpc.client.getparser``.

    >>> parser, target = getparser()
    >>> type(target).__name__
    'Unmarshaller'
    """
    target = xmlrpc.client.Unmarshaller(use_datetime=use_datetime, use_builtin_types=use_builtin_types)
    return RpcParser(target, **options), target


def loads(
    data: str | Buffer,
    use_datetime: bool = False,
    use_builtin_types: bool = False,
    **options: Unpack[ParseOptions],
) -> tuple[tuple[Any, ...], str | None]:
    """``(params, methodname)`` of an XML-RPC packet, as :func:`xmlrpc.client.loads`.

    >>> loads("<methodCall><methodName>f</methodName><params><param><value>"
    ...       "<string>x</string></value></param></params></methodCall>")
    (('x',), 'f')
    """
    parser, target = getparser(use_datetime, use_builtin_types, **options)
    parser.feed(data)
    parser.close()
    return target.close(), target.getmethodname()


def gzip_decode(data: Buffer, max_decode: int = 20 * 2**20) -> bytes:
    """*data* inflated, refused with ``ValueError`` once past *max_decode* bytes (always bounded).

    >>> gzip_decode(gzip.compress(b"<a/>"))
    b'<a/>'
    >>> gzip_decode(gzip.compress(bytes(10_000)), max_decode=1000)
    Traceback (most recent call last):
    ...
    vorlane.common.DefusedXmlException: gzipped body inflates past 1000 bytes
    """
    if max_decode < 0:
        raise ValueError("max_decode must be at least 0: an unbounded inflation is not offered")
    out = bytearray()
    with gzip.GzipFile(mode="rb", fileobj=io.BytesIO(bytes(data))) as stream:
        try:
            while piece := stream.read(min(_PIECE, max_decode + 1 - len(out))):
                out += piece
                if len(out) > max_decode:
                    raise DefusedXmlException(f"gzipped body inflates past {max_decode} bytes")
        except OSError:
            raise ValueError("invalid data") from None
    return bytes(out)


def enable() -> None:
    """Make ``xmlrpc.client`` and ``xmlrpc.server`` of this process parse through vorlane.

    >>> enable(); xmlrpc.client.getparser()[0].__class__.__name__
    'RpcParser'
    >>> disable(); xmlrpc.client.getparser()[0].__class__.__name__
    'ExpatParser'
    """
    with _LOCK:
        _install(getparser, gzip_decode)


def disable() -> None:
    """Give ``xmlrpc`` its standard parser back.

    >>> disable(); xmlrpc.client.getparser is _STANDARD_GETPARSER
    True
    """
    with _LOCK:
        _install(_STANDARD_GETPARSER, _STANDARD_GZIP)


def _install(parser: Any, inflate: Any) -> None:
    # The server imported gzip_decode by name; loads and the transports look up getparser
    # in the client module at each call.
    xmlrpc.client.getparser = parser
    xmlrpc.client.gzip_decode = inflate
    xmlrpc.server.gzip_decode = inflate  # type: ignore[attr-defined]


@contextmanager
def enabled() -> Iterator[None]:
    """:func:`enable` for the ``with`` block, then back to what was set before.

    >>> with enabled():
    ...     xmlrpc.client.loads("<params><param><value><i4>1</i4></value></param></params>")
    ((1,), None)
    """
    before = xmlrpc.client.getparser, xmlrpc.client.gzip_decode
    enable()
    try:
        yield
    finally:
        with _LOCK:
            _install(*before)
