"""The one road from pieces of a document to events: decoding, the event engine, the target.

Every incremental reader of the package (``XMLParser``, ``XMLPullParser``, ``iterparse``,
``parse`` of a file) goes through :class:`Feeder`: pieces of ``str`` or ``bytes`` in any
mix, decoded to UTF-8 as they arrive, fed to :class:`vorlane._events.EventParser`, whose
events go to a target's handlers as the standard ``XMLParser`` calls them.
"""

from __future__ import annotations

import codecs
import contextlib
import inspect
import itertools
import threading
from collections.abc import Buffer, Callable, Iterable, Iterator
from typing import Any, NoReturn
from xml.etree.ElementTree import Element, TreeBuilder

from vorlane._events import EventParser
from vorlane.api import ParseOptions, Source, _explained, _file_object, engine_options
from vorlane.common import DefusedXmlException, ParseError, located
from vorlane.decode import DECLARATION_WINDOW, codec_of, sniff_encoding

# The target methods, in the order EventParser.bind takes them.
HANDLER_NAMES = ("start", "end", "data", "comment", "pi", "start_ns", "end_ns", "doctype")
# Bytes (or characters) read from a file at a time.
CHUNK = 64 * 1024
# Byte order marks, four-byte ones first, and the codec each selects.
_MARKS = (
    (codecs.BOM_UTF32_LE, "utf_32_le"),
    (codecs.BOM_UTF32_BE, "utf_32_be"),
    (codecs.BOM_UTF8, "utf_8"),
    (codecs.BOM_UTF16_LE, "utf_16_le"),
    (codecs.BOM_UTF16_BE, "utf_16_be"),
)
_UNITS = {"utf_32_le": 4, "utf_32_be": 4, "utf_16_le": 2, "utf_16_be": 2}
# The kinds of event a pull parser may ask for.
EVENT_NAMES = frozenset({"start", "end", "comment", "pi", "start-ns", "end-ns"})
# What the engine raises for a refused input (a target's handler may raise them too).
REFUSALS = (ParseError, DefusedXmlException)


class Decoder:
    """Pieces of one document in, its UTF-8 bytes out, as soon as they are known.

    A ``str`` piece is text already and goes out as UTF-8. Bytes are held until their
    encoding is known (a byte order mark, the XML declaration, or the first bytes of a
    document that has neither), then go out as they are when that is UTF-8, or through an
    incremental decoder. A decoding error names its offset in the bytes fed; after it,
    :attr:`undecodable_at` holds the UTF-8 bytes of the characters before the bad ones.

    >>> decoder = Decoder(None)
    >>> decoder.feed(b"<?xml version='1.0' encoding='latin-1'?><a>caf"), decoder.feed(b"\\xe9</a>")
    (b"<?xml version='1.0' encoding='latin-1'?><a>caf", b'\\xc3\\xa9</a>')
    >>> decoder.passthrough
    False
    """

    def __init__(self, encoding: str | None) -> None:
        self._encoding = encoding
        self._head = bytearray()
        self._decided = False
        self._decoder: codecs.IncrementalDecoder | None = None
        self._codec = "utf_8"
        self._fed = 0  # bytes given to the decoder so far
        self.undecodable_at: bytes | None = None

    def feed(self, data: str | Buffer) -> bytes:
        """The UTF-8 bytes that *data* completes (possibly none)."""
        # The usual piece once the encoding is settled on UTF-8: bytes go out as they are,
        # without the checks below (a Buffer check is an ABC's, slow per piece).
        if self._decoder is None and self._decided and type(data) is bytes:
            return data
        if isinstance(data, str):
            pending = self._decide(final=True) if not self._decided else b""
            try:
                return pending + data.encode("utf-8")
            except UnicodeEncodeError as exc:
                self.undecodable_at = pending + data[: exc.start].encode("utf-8")
                raise ParseError(f"a str piece cannot be read as text: {exc.reason} at index {exc.start}") from None
        if not isinstance(data, Buffer):
            raise TypeError(f"feed() takes str or bytes, not {type(data).__name__}")
        if not self._decided:
            self._head += data
            if not self._decidable():
                return b""
            return self._decide(final=False)
        return self._decode(bytes(data) if not isinstance(data, bytes) else data, final=False)

    @property
    def passthrough(self) -> bool:
        """Whether bytes go out as they come from now on: the encoding is settled on UTF-8.

        >>> decoder = Decoder(None)
        >>> decoder.feed(b"<a>"), decoder.passthrough
        (b'', False)
        >>> decoder.feed(b"</a>"), decoder.passthrough
        (b'<a></a>', True)
        """
        return self._decided and self._decoder is None

    def close(self) -> bytes:
        """The last UTF-8 bytes; raises ParseError if the bytes end inside a character."""
        if not self._decided:
            return self._decide(final=True)
        return self._decode(b"", final=True)

    def _decidable(self) -> bool:
        head = bytes(self._head)
        body, codec = head, ""
        for mark, marked in _MARKS:
            if head.startswith(mark):
                body, codec = head[len(mark) :], marked
                break
        # Without a mark, a first "<" in a wide encoding (sniffed again as more bytes come).
        codec = codec or sniff_encoding(head) or "latin_1"
        unit = _UNITS.get(codec, 1)
        if len(body) < 5 * unit:
            return False
        if body[: 5 * unit].decode(codec, "replace") != "<?xml":
            return True  # no declaration to wait for
        # The declaration closes within the window, in any width of code unit, or not at all.
        return b"?\0>" in head or b"?>" in head or len(head) >= 4 * DECLARATION_WINDOW + 8

    def _decide(self, final: bool) -> bytes:
        head = bytes(self._head)
        self._head = bytearray()
        self._decided = True
        try:
            self._codec = codec_of(head, self._encoding)
        except ParseError:
            self.undecodable_at = b""  # the encoding declared, at the start, is refused
            raise
        if self._codec != "utf_8":
            self._decoder = codecs.getincrementaldecoder(self._codec)("strict")
        return self._decode(head, final)

    def _decode(self, data: bytes, final: bool) -> bytes:
        if self._decoder is None:
            return data
        state = self._decoder.getstate()
        pending = len(state[0])
        try:
            text = self._decoder.decode(data, final)
        except UnicodeDecodeError as exc:
            at = self._fed - pending + exc.start
            # The same call again up to the bad bytes: the characters before them (cold path).
            self._decoder.setstate(state)
            self.undecodable_at = self._decoder.decode(data[: max(0, exc.start - pending)]).encode("utf-8")
            raise ParseError(f"cannot decode input using {exc.encoding}: {exc.reason} at byte {at}") from None
        finally:
            self._fed += len(data)
        return text.encode("utf-8")


class Feeder:
    """A document fed in pieces to the event engine, its events sent to *target*.

    The target's handlers (``start``, ``end``, ``data``, ``comment``, ``pi``, ``start_ns``,
    ``end_ns``, ``doctype``) are looked up once, here, as the standard parser does. :attr:`events`
    lists ``(kind, result)`` for the kinds :meth:`report` asks for; a failure raises after
    the events before it are listed, placed (``position``) and, if a refusal, also a
    standard ParseError (:func:`vorlane.common.located`); later calls raise it again.

    :attr:`piece` is the quick way in for a caller of many small pieces: ``piece(data)``
    feeds *data* and returns True once the input is known to need no decoding, else returns
    False and the caller calls :meth:`feed`; what it raises goes to :meth:`raise_refusal`.

    >>> from xml.etree.ElementTree import TreeBuilder
    >>> feeder = Feeder(TreeBuilder(), None, {})
    >>> feeder.report(["start", "end"])
    >>> feeder.feed("<a><b/>")
    >>> [(kind, element.tag) for kind, element in feeder.events]
    [('start', 'a'), ('start', 'b'), ('end', 'b')]
    """

    def __init__(self, target: Any, encoding: str | None, options: ParseOptions) -> None:
        self.target = target
        self.events: list[tuple[str, Any]] = []
        self._engine = EventParser(**engine_options(options))
        self._decoder = Decoder(encoding)
        self._handlers = tuple(getattr(target, name, None) for name in HANDLER_NAMES)
        self._engine.bind(target, self._handlers, ())
        self._failure: BaseException | None = None
        self.piece: Callable[[str | Buffer], bool] = self._engine.piece
        # Held while a piece goes through the decoder to the engine: two threads there at
        # once could hand the engine their decoded text in the other order.
        self._decoding = threading.Lock()

    def report(self, kinds: Iterable[str], deferred: bool = False) -> None:
        """List the events of *kinds* from now on ("start", "end", "comment", "pi", "start-ns", "end-ns").

        *deferred*: a feed only parses (but the one of :meth:`close`), and the target sees
        the events as :meth:`take` asks for them, or when the next feed comes first; for a
        reader that owns the target, so that nothing else sees when it is called.

        >>> from xml.etree.ElementTree import TreeBuilder
        >>> feeder = Feeder(TreeBuilder(), None, {})
        >>> feeder.report(["end"], deferred=True)
        >>> feeder.feed("<a><b/><c/>")
        >>> feeder.events
        []
        >>> feeder.take(1)
        >>> [(kind, element.tag) for kind, element in feeder.events]
        [('end', 'b')]
        """
        wanted = []
        for kind in kinds:
            if kind not in EVENT_NAMES:
                raise ValueError(f"unknown event {kind!r}")
            wanted.append(kind)
        self._engine.bind(self.target, self._handlers, wanted, deferred)

    def select(self, tags: frozenset[str] | None, release: bool) -> Callable[[], None] | None:
        """List start and end events only of elements whose tag is in *tags* (None: all).
        *release*: the element of each listed end event waits to be freed (cleared, and
        taken out of its parent) by the callable returned, one a call, oldest first, for a
        reader that frees each once past it; *release* only before the first feed.

        >>> from xml.etree.ElementTree import TreeBuilder
        >>> feeder = Feeder(TreeBuilder(), None, {})
        >>> feeder.report(["end"])
        >>> free = feeder.select(frozenset(["e"]), True)
        >>> feeder.feed("<log><e>1</e><x/><e>2</e>")
        >>> [(kind, element.text) for kind, element in feeder.events]
        [('end', '1'), ('end', '2')]
        >>> free()
        >>> len(feeder.events[0][1].text or ""), len(feeder.events[1][1].text)
        (0, 1)
        """
        if tags is None and not release:
            return None  # all events, as they are: nothing to select
        self._engine.select(tags, release)
        return self._engine.free_next if release else None

    def take(self, limit: int) -> None:
        """Send deferred events to the target until *limit* more are listed in :attr:`events`
        or none is left (then the list has not grown); see :meth:`report`."""
        self._engine.take(self.events, limit)

    def feed(self, data: str | Buffer) -> None:
        """Parse *data* after what was fed before; what it completes goes to the target."""
        try:
            if self.piece(data):
                return
        except REFUSALS as exc:
            self.raise_refusal(exc)
            raise  # raised by a handler of the target
        if self._failure is not None:
            raise self._failure
        self._decode_alone("feed")
        try:
            try:
                piece = self._decoder.feed(data)
            except ParseError as exc:
                self._undecodable(exc)
            if piece:
                self._feed_engine(piece, False)
            if self._decoder.passthrough:
                self._engine.direct(self.events)  # piece() takes the pieces from now on
        finally:
            self._decoding.release()

    def close(self) -> None:
        """The input ends here: what is left goes to the target, or the failure is raised."""
        if self._failure is not None:
            raise self._failure
        self._decode_alone("close")
        try:
            self._engine.direct(None)
            try:
                piece = self._decoder.close()
            except ParseError as exc:
                self._undecodable(exc)
            self._feed_engine(piece, True)
        finally:
            self._decoding.release()

    def _decode_alone(self, call: str) -> None:
        if not self._decoding.acquire(blocking=False):
            raise RuntimeError(f"{call}() called while another feed of the same parser is under way")

    def _feed_engine(self, piece: bytes, final: bool) -> None:
        try:
            self._engine.feed(piece, final, self.events)
        except REFUSALS as exc:
            self.raise_refusal(exc)
            raise  # raised by a handler of the target

    def raise_refusal(self, exc: BaseException) -> None:
        """Keep, place and raise *exc* if the engine raised it (now and at every later call);
        return if a handler of the target did. Called in the handler of *exc*: the engine's
        own has no frame in its traceback below the call that fed it.

        >>> from xml.etree.ElementTree import TreeBuilder
        >>> feeder = Feeder(TreeBuilder(), None, {})
        >>> feeder.piece(b"<a><b>")  # the encoding is not known yet
        False
        >>> feeder.feed(b"<a><b>")
        >>> feeder.piece(b"</b>")
        True
        >>> try:
        ...     feeder.piece(b"</c>")
        ... except REFUSALS as exc:
        ...     feeder.raise_refusal(exc)
        Traceback (most recent call last):
        vorlane.common.ParseError: ill-formed document: expected `</a>`, but `</c>` was found
        >>> feeder.piece(b"</a>"), feeder._failure.position  # feed() raises it again
        (False, (1, 10))
        """
        if exc.__traceback__ is None or exc.__traceback__.tb_next is None:
            self._fail(located(_explained(exc), self._engine.position(self._engine.error_offset())))

    def _fail(self, failure: BaseException) -> NoReturn:
        """Raise *failure* now and at every later call."""
        self._failure = failure
        self._engine.direct(None)
        raise failure from None

    def _undecodable(self, exc: ParseError) -> NoReturn:
        """Raise the decoding failure *exc*, placed after the characters before it."""
        before = self._decoder.undecodable_at
        position = None
        if before is not None:
            # The characters before the bad bytes go to the engine: a failure in them comes first.
            self._feed_engine(before, False)
            position = self._engine.position(self._engine.bytes_fed())
        self._fail(located(exc, position))

    def bytes_fed(self) -> int:
        """UTF-8 bytes given to the engine so far."""
        return self._engine.bytes_fed()


def failure_position(
    document: str | Buffer, encoding: str | None, options: ParseOptions, failure: BaseException, decoding: bool = False
) -> tuple[int, int] | None:
    """Where *document* fails with *failure*, which parse_xml raised for it or, with
    *decoding*, the decoding of its bytes did.

    The whole-document road keeps no offsets, so on this cold path the document is read
    again by the event engine, which must fail the same way; None if it does not.

    >>> from vorlane import parse_xml
    >>> try:
    ...     parse_xml("<a>\\n  <b></c></a>")
    ... except ParseError as exc:
    ...     failure_position("<a>\\n  <b></c></a>", None, {}, exc)
    (2, 5)
    """
    engine = EventParser(**engine_options(options))
    engine.bind(None, (None,) * len(HANDLER_NAMES), ())
    decoder = Decoder(encoding)
    place = _Place()
    # In pieces: the reading stops at the failure and never copies the whole document.
    view = document if isinstance(document, str) else memoryview(document).cast("B")
    pieces = (view[start : start + CHUNK] for start in range(0, len(view), CHUNK))
    for piece in itertools.chain(pieces, [None]):
        try:
            text = decoder.close() if piece is None else decoder.feed(piece)
        except ParseError:
            if not decoding or decoder.undecodable_at is None:
                return None
            return place.after(decoder.undecodable_at)
        if decoding:
            if piece is None:
                return None  # decoded here: not the failure this was about
            # The text before bad bytes need not parse (bytes read in the wrong encoding rarely
            # do): the place is counted, not parsed.
            place.after(text)
            continue
        try:
            engine.feed(text, piece is None, [])
        except (ParseError, DefusedXmlException) as exc:
            same = not decoding and type(exc) is type(failure) and exc.args == failure.args
            return engine.position(engine.error_offset()) if same else None
    return None


class _Place:
    r"""(line, column) after the UTF-8 text given so far, as the engine counts them.

    >>> place = _Place()
    >>> place.after(b"a\r"), place.after(b"\nb\xc3\xa9")
    ((2, 0), (2, 2))
    """

    def __init__(self) -> None:
        self.line, self.column, self._cr = 1, 0, False

    def after(self, data: bytes) -> tuple[int, int]:
        text = data.decode("utf-8", "replace")
        if self._cr and text.startswith("\n"):
            text = text[1:]  # the LF of a CR LF cut between two pieces
        self._cr = text.endswith("\r")
        folded = text.replace("\r\n", "\n").replace("\r", "\n")
        breaks = folded.count("\n")
        if breaks:
            self.line += breaks
            self.column = len(folded) - folded.rfind("\n") - 1
        else:
            self.column += len(folded)
        return self.line, self.column


@contextlib.contextmanager
def _opened(source: Source) -> Iterator[Any]:
    """*source* as a file object to read from: itself, or the path opened in binary mode and closed after."""
    reader = _file_object(source)
    if reader is not None:
        yield reader
        return
    with open(source, "rb") as handle:  # type: ignore[arg-type]
        yield handle


def chunks(source: Source) -> Iterator[str | bytes]:
    """The content of *source* (a path or a file object) in pieces of at most CHUNK bytes or
    characters; a path is opened, and closed when the pieces end.

    >>> import io
    >>> [len(piece) for piece in chunks(io.BytesIO(bytes(CHUNK + 1)))]
    [65536, 1]
    """
    with _opened(source) as handle:
        read = handle.read
        sized = _takes_a_size(read)
        while True:
            data = read(CHUNK) if sized else read()
            if not isinstance(data, (str, Buffer)):
                raise TypeError(f"read() must return str or bytes, not {type(data).__name__}")
            if not data:
                return
            yield data if isinstance(data, (str, bytes)) else bytes(data)
            if not sized:
                return  # a read() without a size gives the whole document at once


def _takes_a_size(read: Any) -> bool:
    """Whether *read* takes a size, as file objects do (a reader written as ``read(self)`` does not)."""
    try:
        parameters = inspect.signature(read).parameters.values()
    except (TypeError, ValueError):
        return True  # a built-in without a signature: a file object of the io module
    return any(p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD, p.VAR_POSITIONAL) for p in parameters)


def parse_stream(source: Source, options: ParseOptions) -> Element:
    """The tree of the document at *source* (a path or a file object), read and parsed in
    pieces, so that the raw document is never held whole.

    >>> import io
    >>> parse_stream(io.BytesIO(b"<a><b/></a>"), {})[0].tag
    'b'
    """
    builder = TreeBuilder()
    feeder = Feeder(builder, None, options)
    for piece in chunks(source):
        feeder.feed(piece)
    feeder.close()
    root: Element = builder.close()
    return root
