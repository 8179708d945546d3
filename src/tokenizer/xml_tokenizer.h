// Pull tokenizer over one immutable byte buffer. It splits the input into markup and
// character data, finds where each construct ends, matches end tags against the open
// start tags, and checks that every delivered stretch is valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane {

enum class XmlEventKind : std::uint8_t {
  StartTag,     // content: raw tag content between "<" and ">"; name_length: raw name length
  EndTag,       // content: end-tag name after "</", trailing whitespace removed
  EmptyTag,     // content: raw tag content without the final "/"; name_length as StartTag
  Text,         // content: character data as written, never empty
  Cdata,        // content: between "<![CDATA[" and "]]>" (may be empty)
  Comment,      // content: between "<!--" and "-->"
  Declaration,  // content: between "<?" and "?>"
  Instruction,  // content: between "<?" and "?>"; name_length: target length
  Doctype,      // content: from the first non-whitespace byte after the keyword to before the final ">"
  Reference,    // content: the bytes between "&" and ";" (may be empty)
  EndOfInput,
};

struct XmlEvent {
  XmlEventKind kind = XmlEventKind::EndOfInput;
  std::string_view content;     // borrowed from the input; valid until the next call
  std::size_t name_length = 0;
};

struct TokenizerError {
  std::string message;  // the complete text, family prefix included
};

class XmlTokenizer {
 public:
  XmlTokenizer(const char* data, std::size_t size);

  // Fills `event` and returns nothing, or returns the error; after an error or after
  // EndOfInput every further call yields EndOfInput.
  std::optional<TokenizerError> next_event(XmlEvent& event);

  // Byte offset of the next unread input byte (diagnostics only).
  std::size_t offset() const { return pos_; }

 private:
  // Init until the first request; InText while the next byte starts character data, markup
  // ("<") or a reference ("&"): one request reads one construct from pos_, so InMarkup and
  // InReference never outlast a call. Exit after an error or the end of input.
  enum class State : std::uint8_t { Init, InText, InReference, InMarkup, Exit };

  std::optional<TokenizerError> read_text(XmlEvent& event);
  std::optional<TokenizerError> read_reference(XmlEvent& event);
  std::optional<TokenizerError> read_markup(XmlEvent& event);
  std::optional<TokenizerError> read_bang(XmlEvent& event);
  std::optional<TokenizerError> read_tag(XmlEvent& event);
  std::optional<TokenizerError> read_end_tag(XmlEvent& event);
  std::optional<TokenizerError> read_instruction(XmlEvent& event);
  // Finds the ">" that ends a tag whose content starts at `from`, skipping quoted stretches;
  // `high` turns nonzero if the tag may hold a byte above 0x7F.
  std::optional<TokenizerError> find_tag_end(std::size_t from, std::size_t& gt, unsigned& high);
  // Finds the ">" that ends a DOCTYPE scanned from `from`; false at end of input.
  bool find_doctype_end(std::size_t from, std::size_t& gt) const;
  // Checks [begin, end) as UTF-8; the error index counts from `begin`.
  std::optional<TokenizerError> check_utf8(std::size_t begin, std::size_t end);
  TokenizerError fail(std::string message);

  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  State state_ = State::Init;
  // Raw names of the open start tags, innermost last: offsets into the input.
  struct OpenName {
    std::size_t offset;
    std::size_t length;
  };
  std::vector<OpenName> open_names_;
  std::string_view detected_encoding_;  // from a byte order mark; never used to decode
};

}  // namespace vorlane
