// The strict attribute scan over a tag's raw content, as a cursor: attributes are read one
// at a time straight from the content, so a tag with very many attributes needs no
// storage beyond the output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorlane {

struct ScannedAttribute {
  // Byte offsets into the tag content.
  std::size_t key_begin = 0;
  std::size_t key_end = 0;
  std::size_t value_begin = 0;  // just after the opening quote
  std::size_t value_end = 0;    // at the closing quote
};

enum class ScanError : unsigned char { None, ExpectedEq, ExpectedValue, UnquotedValue, ExpectedQuote };

inline bool is_xml_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

class AttributeCursor {
 public:
  // `start` is the end of the raw element name. `readable_end`, when given, is the end of
  // the buffer that holds `content` (the input): bytes up to it may be read in blocks.
  AttributeCursor(std::string_view content, std::size_t start, const char* readable_end = nullptr)
      : content_(content),
        readable_end_(readable_end != nullptr ? readable_end : content.data() + content.size()),
        pos_(start < content.size() ? start : content.size()) {}

  // Fills `out` with the next attribute and returns true; returns false at the end of the
  // content or at a malformation (then error() says which).
  bool next(ScannedAttribute& out);

  ScanError error() const { return error_; }
  // The malformation struck after a complete key (at its value): that key still takes part
  // in the duplicate check, which comes first.
  bool error_after_key() const { return error_after_key_; }
  std::size_t error_key_begin() const { return error_key_begin_; }
  std::size_t error_key_end() const { return error_key_end_; }
  std::string error_message() const;

 private:
  bool fail(ScanError error, std::size_t position) {
    error_ = error;
    error_position_ = position;
    return false;
  }

  std::string_view content_;
  const char* readable_end_;
  std::size_t pos_;
  ScanError error_ = ScanError::None;
  std::size_t error_position_ = 0;
  char quote_ = '"';
  bool error_after_key_ = false;
  std::size_t error_key_begin_ = 0;
  std::size_t error_key_end_ = 0;
};

std::string duplicate_attribute_message(std::size_t position, std::size_t previous_position);

}  // namespace vorlane
