// The strict attribute scan over a tag's raw content, as a cursor: attributes are read one
// at a time straight from the content, so a tag with very many attributes needs no
// storage beyond the output.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "common/white_space.h"
#include "tokenizer/scan.h"

namespace vorlane {

struct ScannedAttribute {
  // Byte offsets into the tag content.
  std::size_t key_begin = 0;
  std::size_t key_end = 0;
  std::size_t value_begin = 0;  // just after the opening quote
  std::size_t value_end = 0;    // at the closing quote
};

enum class ScanError : unsigned char { None, ExpectedEq, ExpectedValue, UnquotedValue, ExpectedQuote };

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

enum class QuickScan : unsigned char { Found, End, General };

// The usual shape of one attribute, read without the general scan: white space, a key ended
// by "=" within one 16-byte block, a quote right after the "=", and the closing quote.
// Found: `out` is filled, `amp` says whether the value holds "&", `pos` moves past the
// closing quote. End: only white space is left. General: anything else (a malformation
// included); `pos` is unchanged and AttributeCursor reads the attribute from there with the
// same result the quick read would have had. Bytes up to `readable_end` (at least the end
// of `content`) may be read.
VORLANE_HOT_INLINE QuickScan quick_attribute(std::string_view content, std::size_t& pos, const char* readable_end,
                                             ScannedAttribute& out, bool& amp) {
  const char* const s = content.data();
  const std::size_t n = content.size();
  std::size_t p = pos;
  while (p < n && is_xml_space(s[p])) ++p;
  if (p == n) return QuickScan::End;
  if (readable_end - (s + p) < 32) return QuickScan::General;
  const unsigned stop = scan::class_mask16<XmlSpace, '='>(s + p);
  if (stop == 0) return QuickScan::General;
  const std::size_t eq = p + static_cast<std::size_t>(__builtin_ctz(stop));
  if (eq + 1 >= n || s[eq] != '=') return QuickScan::General;
  const char quote = s[eq + 1];
  if (quote != '"' && quote != '\'') return QuickScan::General;
  const std::size_t value = eq + 2;
  std::size_t close;
  if (readable_end - (s + value) >= 16) {
    const unsigned q = scan::mask16_of(s + value, quote);
    if (q != 0) {
      const unsigned at = static_cast<unsigned>(__builtin_ctz(q));
      close = value + at;
      if (close >= n) return QuickScan::General;
      amp = (scan::mask16<'&'>(s + value) & ((1u << at) - 1u)) != 0;
    } else {
      const char* c = scan::find_byte(s + value, s + n, quote);
      if (c == s + n) return QuickScan::General;
      close = static_cast<std::size_t>(c - s);
      amp = std::memchr(s + value, '&', close - value) != nullptr;
    }
  } else {
    return QuickScan::General;
  }
  out.key_begin = p;
  out.key_end = eq;
  out.value_begin = value;
  out.value_end = close;
  pos = close + 1;
  return QuickScan::Found;
}

std::string duplicate_attribute_message(std::size_t position, std::size_t previous_position);

}  // namespace vorlane
