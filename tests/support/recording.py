"""What a SAX reader, a DOM builder or a pull stream reports, as one comparable value, so the
standard doors and vorlane's can be held to the same answer."""

from xml.sax.handler import ContentHandler, LexicalHandler


class Recorder(ContentHandler, LexicalHandler):
    """Records every SAX call with its arguments; adjacent ``characters`` are joined, since
    readers may split a run anywhere. Element and document events carry the locator's place."""

    def __init__(self):
        super().__init__()
        self.events = []
        self.locator = None

    def _add(self, *event):
        if event[0] == "characters" and self.events and self.events[-1][0] == "characters":
            self.events[-1] = ("characters", self.events[-1][1] + event[1])
        else:
            self.events.append(event)

    def setDocumentLocator(self, locator):
        self.locator = locator

    def _line(self):
        return (self.locator.getLineNumber(), self.locator.getColumnNumber()) if self.locator is not None else None

    def startDocument(self):
        self._add("startDocument", self._line())

    def endDocument(self):
        self._add("endDocument", self._line())

    def startElement(self, name, attrs):
        self._add("startElement", name, sorted(attrs.items()), self._line())

    def startElementNS(self, name, qname, attrs):
        attributes = sorted(((key, value, attrs.getQNameByName(key)) for key, value in attrs.items()), key=repr)
        self._add("startElementNS", name, qname, attributes, self._line())


# The other calls are recorded with their arguments as they come.
for _call in (
    "startPrefixMapping endPrefixMapping endElement endElementNS characters"
    " ignorableWhitespace processingInstruction comment startDTD endDTD"
).split():
    setattr(Recorder, _call, lambda self, *args, _call=_call: self._add(_call, *args))


def pull_events(stream, expand=None):
    """A DOMEventStream as (event, node as XML), adjacent CHARACTERS joined; elements named
    *expand* are expanded where they start."""
    events = []
    for event, node in stream:
        if event == "CHARACTERS" and events and events[-1][0] == "CHARACTERS":
            events[-1] = ("CHARACTERS", events[-1][1] + node.data)
            continue
        if event == "START_ELEMENT" and node.tagName == expand:
            stream.expandNode(node)
        events.append(
            (event, node.data if event == "CHARACTERS" else node.toxml() if event != "START_DOCUMENT" else "")
        )
    return events
