"""The parser's messages, pinned once: a change of wording shows here, and in one place."""

DEPTH = "XML document exceeded maximum nesting depth limit of "
TEXT_SIZE = "XML document exceeded maximum text size limit of "
ATTRIBUTE_COUNT = "XML element exceeded maximum attribute count limit of "
ATTRIBUTE_SIZE = "XML attribute exceeded maximum size limit of "
NAME_SIZE = "XML tag name exceeded maximum length limit of "
COMMENT_SIZE = "XML comment exceeded maximum size limit of "
INSTRUCTION_SIZE = "XML processing instruction exceeded max_comment_size limit of "
QUALIFIED = "XML document exceeded maximum namespace-qualified name size limit of "

SOURCE_ERROR = "source must be str, bytes, or file-like object with a read() method"
READ_ERROR = "source.read() must return str or bytes"
