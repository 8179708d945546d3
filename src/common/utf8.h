// UTF-8: validation of a delivered stretch (the tokenizer's check), and decoding, measuring
// and encoding one character. Strings are UTF-8 bytes throughout the core; this is the one
// place that knows how a character is laid out in them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorlane::utf8 {

struct Check {
  bool ok = true;
  // Set when the stretch ends inside a sequence whose bytes were all allowed so far.
  bool incomplete = false;
  std::size_t index = 0;   // offset of the bad sequence's first byte within the stretch
  unsigned length = 0;     // bytes in the invalid sequence (1 to 3); 0 when incomplete
};

// Validates one stretch, reporting the first bad sequence the way a strict decoder does:
// its offset and the length of its maximal valid prefix.
Check validate(const char* data, std::size_t size);

// 10xxxxxx: a byte that continues a sequence and never begins one.
constexpr bool is_continuation(unsigned char b) { return (b & 0xC0u) == 0x80u; }

// Decodes the character at s[pos] into `code_point` and returns its length (1 to 4), or 0
// for a sequence that validate() refuses: then `bad_length` is the length of its maximal
// valid prefix (1 to 3), or 0 when `s` ends inside a sequence whose bytes were all allowed.
inline std::size_t decode(std::string_view s, std::size_t pos, char32_t& code_point, unsigned& bad_length) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    code_point = b0;
    return 1;
  }
  std::size_t n;
  unsigned char lo = 0x80;  // allowed range of the first continuation byte
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    code_point = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    code_point = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;       // no overlong forms
    else if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    code_point = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;       // no overlong forms
    else if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad_length = 1;  // 0x80..0xC1 and 0xF5..0xFF never begin a sequence
    return 0;
  }
  for (std::size_t i = 1; i < n; ++i) {
    if (pos + i == s.size()) {
      bad_length = 0;
      return 0;
    }
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if (i == 1 ? (b < lo || b > hi) : !is_continuation(b)) {
      bad_length = static_cast<unsigned>(i);
      return 0;
    }
    code_point = (code_point << 6) | (b & 0x3Fu);
  }
  return n;
}

// decode() for callers that only need to know whether the sequence is valid: 0 if not.
inline std::size_t decode(std::string_view s, std::size_t pos, char32_t& code_point) {
  unsigned bad_length;
  return decode(s, pos, code_point, bad_length);
}

// Bytes of the character at s[pos] as its first byte announces them, never running past
// the end. A stray continuation byte counts as one, so a scan by characters always advances.
inline std::size_t char_length(std::string_view s, std::size_t pos) {
  const auto c = static_cast<unsigned char>(s[pos]);
  const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  const std::size_t left = s.size() - pos;
  return length < left ? length : left;
}

// Appends the 1 to 4 bytes of `code_point`, a Unicode scalar value.
inline void append(std::string& out, char32_t code_point) {
  char buf[4];
  std::size_t length;
  if (code_point < 0x80) {
    buf[0] = static_cast<char>(code_point);
    length = 1;
  } else if (code_point < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (code_point >> 6));
    buf[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 2;
  } else if (code_point < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (code_point >> 12));
    buf[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (code_point >> 18));
    buf[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 4;
  }
  out.append(buf, length);
}

}  // namespace vorlane::utf8
