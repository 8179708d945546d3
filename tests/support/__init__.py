"""What the tests share: paths of the source tree, a file object, a tree renderer, and the
parser's messages pinned once (support.messages)."""

import inspect
import pathlib

from vorlane import parse_xml

SOURCE_TREE = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = SOURCE_TREE / "examples"
#: Each option's default in parse_xml's order, from its signature (which the extension
#: generates from the C++ option table): tests never write the options out again.
OPTION_DEFAULTS = {name: p.default for name, p in inspect.signature(parse_xml).parameters.items() if name != "source"}


class Reader:
    """A file object whose read() returns *result*, or raises *error*; ``calls`` records
    the arguments of each call."""

    def __init__(self, result=None, error=None):
        self.result, self.error, self.calls = result, error, []

    def read(self, *args):
        self.calls.append(args)
        if self.error is not None:
            raise self.error
        return self.result


def shape(element):
    """Everything a tree says, comparable: (tag, attributes in order, text, tail, [children])."""
    return element.tag, list(element.attrib.items()), element.text, element.tail, [shape(c) for c in element]
