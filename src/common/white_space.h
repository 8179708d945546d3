// The three white-space classes of the parser. They are not interchangeable: each place of
// the grammar names its own.
//
// - XML white space (XmlSpace): space, tab, line feed, carriage return. Between the parts
//   of tags, in the tokenizer and the attribute scan.
// - DTD white space (DtdSpace): tab, line feed, form feed, carriage return, space (not
//   vertical tab). Between the parts of the declarations inside a DOCTYPE.
// - Unicode White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
//   U+2028, U+2029, U+202F, U+205F, U+3000. Character data outside the root element, and
//   trimming a DOCTYPE and ending its name.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorlane {

// A set of ASCII bytes, given once as a list: the scalar test below and the 16-byte block
// test of scan::class_mask16 read the same list.
template <char... Cs>
struct ByteClass {
  static constexpr bool contains(char c) { return ((c == Cs) || ...); }
};

using XmlSpace = ByteClass<' ', '\t', '\n', '\r'>;
using DtdSpace = ByteClass<'\t', '\n', '\f', '\r', ' '>;

constexpr bool is_xml_space(char c) { return XmlSpace::contains(c); }
constexpr bool is_dtd_space(char c) { return DtdSpace::contains(c); }

constexpr bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Byte length of the Unicode white-space character at text[pos], or 0 if the character
// there is not white space or not valid UTF-8.
std::size_t unicode_space_at(std::string_view text, std::size_t pos);

// True when `text` consists only of Unicode white space (or is empty).
bool is_unicode_space_only(std::string_view text);

}  // namespace vorlane
