#include "parser/attribute_scan.h"

#include <cstring>

#include "tokenizer/scan.h"

namespace vorlane {

namespace {

std::size_t skip_space(std::string_view s, std::size_t pos) {
  while (pos < s.size() && is_xml_space(s[pos])) ++pos;
  return pos;
}

}  // namespace

bool AttributeCursor::next(ScannedAttribute& out) {
  if (error_ != ScanError::None) return false;
  const std::string_view s = content_;
  const std::size_t n = s.size();
  std::size_t pos = skip_space(s, pos_);
  pos_ = pos;
  if (pos == n) return false;
  out.key_begin = pos;
  // Keys are short: one block usually finds the "=" or white space that ends it.
  if (readable_end_ - (s.data() + pos) >= 16) {
    const unsigned m = scan::class_mask16<XmlSpace, '='>(s.data() + pos);
    if (m != 0) {
      pos += static_cast<std::size_t>(__builtin_ctz(m));
      if (pos > n) pos = n;
    } else {
      pos = pos + 16 < n ? pos + 16 : n;
    }
  }
  while (pos < n && s[pos] != '=' && !is_xml_space(s[pos])) ++pos;
  if (pos == n) return fail(ScanError::ExpectedEq, n);
  out.key_end = pos;
  if (s[pos] != '=') {
    pos = skip_space(s, pos);
    if (pos == n) return fail(ScanError::ExpectedEq, n);
    if (s[pos] != '=') return fail(ScanError::ExpectedEq, pos);
  }
  pos = skip_space(s, pos + 1);
  error_key_begin_ = out.key_begin;
  error_key_end_ = out.key_end;
  if (pos == n) {
    error_after_key_ = true;
    return fail(ScanError::ExpectedValue, n);
  }
  const char quote = s[pos];
  if (quote != '"' && quote != '\'') {
    error_after_key_ = true;
    return fail(ScanError::UnquotedValue, pos);
  }
  out.value_begin = pos + 1;
  const char* const close = scan::find_byte_near(s.data() + out.value_begin, s.data() + n, readable_end_, quote);
  if (close == s.data() + n) {
    error_after_key_ = true;
    quote_ = quote;
    return fail(ScanError::ExpectedQuote, n);
  }
  out.value_end = static_cast<std::size_t>(close - s.data());
  pos_ = out.value_end + 1;
  return true;
}

std::string AttributeCursor::error_message() const {
  std::string m = "position " + std::to_string(error_position_);
  switch (error_) {
    case ScanError::ExpectedEq: m += ": attribute key must be directly followed by `=` or space"; break;
    case ScanError::ExpectedValue: m += ": `=` must be followed by an attribute value"; break;
    case ScanError::UnquotedValue: m += ": attribute value must be enclosed in `\"` or `'`"; break;
    case ScanError::ExpectedQuote:
      m += ": missing closing quote `";
      m += quote_;
      m += "` in attribute value";
      break;
    case ScanError::None: break;
  }
  return m;
}

std::string duplicate_attribute_message(std::size_t position, std::size_t previous_position) {
  return "position " + std::to_string(position) + ": duplicated attribute, previous declaration at position " +
         std::to_string(previous_position);
}

}  // namespace vorlane
