// The three white-space classes and the UTF-8 helpers, pinned member by member: a class
// that gains or loses a character, or a scalar and a block form that disagree, fails here.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "common/utf8.h"
#include "common/white_space.h"
#include "tokenizer/scan.h"

using namespace vorlane;

namespace {

template <class Class>
std::string byte_members() {
  std::string members;
  for (int b = 0; b < 256; ++b) {
    if (Class::contains(static_cast<char>(b))) members += static_cast<char>(b);
  }
  return members;
}

// The members of the 16-byte block form, for every byte value.
template <class Class>
std::string block_members() {
  char bytes[256];
  for (int b = 0; b < 256; ++b) bytes[b] = static_cast<char>(b);
  std::string members;
  for (int block = 0; block < 256; block += 16) {
    const unsigned mask = scan::class_mask16<Class>(bytes + block);
    for (int i = 0; i < 16; ++i) {
      if (mask & (1u << i)) members += static_cast<char>(block + i);
    }
  }
  return members;
}

std::string encode(char32_t c) {
  std::string out;
  utf8::append(out, c);
  return out;
}

const std::vector<char32_t> kUnicodeSpace = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                             0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                             0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                             0x2029, 0x202F, 0x205F, 0x3000};

}  // namespace

TEST(classes_byte_classes_pin_their_members) {
  CHECK_EQ(byte_members<XmlSpace>(), std::string("\t\n\r "));
  CHECK_EQ(byte_members<DtdSpace>(), std::string("\t\n\f\r "));
  CHECK_EQ(block_members<XmlSpace>(), byte_members<XmlSpace>());
  CHECK_EQ(block_members<DtdSpace>(), byte_members<DtdSpace>());
  // The attribute scan asks for XML white space and "=" in one block.
  char bytes[16] = {'a', '=', ' ', '\t', '\v', '\f', '\n', '\r', 'b', '\0', '"', '\'', '>', '/', ':', '\x85'};
  CHECK_EQ((scan::class_mask16<XmlSpace, '='>(bytes)), 0b11001110u);
  bool same = true;
  for (int b = 0; b < 256; ++b) {
    same = same && is_xml_space(static_cast<char>(b)) == XmlSpace::contains(static_cast<char>(b)) &&
           is_dtd_space(static_cast<char>(b)) == DtdSpace::contains(static_cast<char>(b));
  }
  CHECK(same);
}

TEST(classes_unicode_white_space_pins_its_members) {
  std::vector<char32_t> members;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (is_unicode_space(c)) members.push_back(c);
  }
  CHECK(members == kUnicodeSpace);
  // The byte form agrees with the code-point form on every member and on the neighbours
  // that share most of their bytes with one.
  struct Row {
    char32_t c;
    bool space;
  };
  const std::vector<Row> rows = {
      {0x08, false},   {0x09, true},    {0x0E, false},   {0x1F, false},   {0x20, true},    {0x21, false},
      {0x84, false},   {0x85, true},    {0x86, false},   {0x9F, false},   {0xA0, true},    {0xA1, false},
      {0x167F, false}, {0x1680, true},  {0x1681, false}, {0x180E, false}, {0x1FFF, false}, {0x2000, true},
      {0x200A, true},  {0x200B, false}, {0x2027, false}, {0x2028, true},  {0x2029, true},  {0x202A, false},
      {0x202E, false}, {0x202F, true},  {0x2030, false}, {0x205E, false}, {0x205F, true},  {0x2060, false},
      {0x2FFF, false}, {0x3000, true},  {0x3001, false}, {0xFEFF, false}, {0x10085, false}, {0x100A0, false},
  };
  for (const Row& row : rows) {
    const std::string bytes = encode(row.c);
    CHECK_EQ(is_unicode_space(row.c), row.space);
    CHECK_EQ(unicode_space_at(bytes, 0), row.space ? bytes.size() : 0);
    CHECK_EQ(unicode_space_at("x" + bytes, 1), row.space ? bytes.size() : 0);
    CHECK_EQ(is_unicode_space_only(bytes + " " + bytes), row.space);
    if (bytes.size() > 1) CHECK_EQ(unicode_space_at(bytes.substr(0, bytes.size() - 1), 0), std::size_t{0});
  }
  // Bytes that would decode to white space only by breaking the UTF-8 rules are not white space.
  for (const char* bytes : {"\xC0\xA0", "\xE0\x80\xA0", "\xE0\x82\x85", "\xF0\x80\x80\xA0", "\x85", "\xA0"}) {
    CHECK_EQ(unicode_space_at(bytes, 0), std::size_t{0});
  }
  CHECK(is_unicode_space_only(""));
}

TEST(utf8_decode_accepts_what_validate_accepts) {
  struct Row {
    std::string bytes;
    std::size_t length;      // 0: refused
    char32_t code_point;     // when accepted
    unsigned bad_length;     // when refused: the maximal valid prefix, 0 when cut off
  };
  const std::vector<Row> rows = {
      {"A", 1, 0x41, 0},
      {"\x7F", 1, 0x7F, 0},
      {"\xC2\x80", 2, 0x80, 0},
      {"\xDF\xBF", 2, 0x7FF, 0},
      {"\xE0\xA0\x80", 3, 0x800, 0},
      {"\xED\x9F\xBF", 3, 0xD7FF, 0},
      {"\xEE\x80\x80", 3, 0xE000, 0},
      {"\xEF\xBF\xBF", 3, 0xFFFF, 0},
      {"\xF0\x90\x80\x80", 4, 0x10000, 0},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF, 0},
      {"\x80", 0, 0, 1},              // a continuation byte first
      {"\xC0\x80", 0, 0, 1},          // overlong lead bytes never begin a sequence
      {"\xC1\xBF", 0, 0, 1},
      {"\xF5\x80\x80\x80", 0, 0, 1},  // above U+10FFFF by its lead
      {"\xFF", 0, 0, 1},
      {"\xE0\x9F\xBF", 0, 0, 1},      // overlong 3-byte form
      {"\xED\xA0\x80", 0, 0, 1},      // surrogate
      {"\xF0\x8F\xBF\xBF", 0, 0, 1},  // overlong 4-byte form
      {"\xF4\x90\x80\x80", 0, 0, 1},  // above U+10FFFF
      {"\xC2\x41", 0, 0, 1},
      {"\xE2\x82\x41", 0, 0, 2},
      {"\xF0\x9F\x98\x41", 0, 0, 3},
      {"\xC2", 0, 0, 0},              // cut off
      {"\xE2\x82", 0, 0, 0},
      {"\xF0\x9F\x98", 0, 0, 0},
  };
  for (const Row& row : rows) {
    char32_t c = 0;
    unsigned bad = 99;
    CHECK_EQ(utf8::decode(row.bytes, 0, c, bad), row.length);
    if (row.length != 0) {
      CHECK_EQ(static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(row.code_point));
      CHECK_EQ(encode(c), row.bytes);
    } else {
      CHECK_EQ(bad, row.bad_length);
    }
    const utf8::Check check = utf8::validate(row.bytes.data(), row.bytes.size());
    CHECK_EQ(check.ok, row.length != 0);
    if (!check.ok) {
      CHECK_EQ(check.incomplete, row.bad_length == 0);
      CHECK_EQ(check.length, row.bad_length);
    }
  }
}

TEST(utf8_every_scalar_value_round_trips) {
  bool round_trips = true;
  bool lengths_agree = true;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string bytes = encode(c);
    char32_t back = 0;
    const std::size_t length = utf8::decode(bytes, 0, back);
    round_trips = round_trips && length == bytes.size() && back == c;
    lengths_agree = lengths_agree && utf8::char_length(bytes, 0) == bytes.size() &&
                    bytes.size() == (c < 0x80 ? 1u : c < 0x800 ? 2u : c < 0x10000 ? 3u : 4u);
  }
  CHECK(round_trips);
  CHECK(lengths_agree);
}

TEST(utf8_char_length_follows_the_lead_byte_within_the_text) {
  struct Row {
    std::string text;
    std::size_t pos;
    std::size_t length;
  };
  const std::vector<Row> rows = {
      {"a", 0, 1},          {"\xC3\xA9", 0, 2},      {"\xE2\x82\xAC", 0, 3}, {"\xF0\x9F\x98\x80", 0, 4},
      {"\x80\x80", 0, 1},   {"\xC3\xA9", 1, 1},      // a stray continuation byte: one step
      {"\xF0\x9F", 0, 2},   {"x\xE2\x82", 1, 2},     // never past the end
      {"\xFF\x41\x41\x41", 0, 4},                   // by the lead alone; validity is decode's
  };
  for (const Row& row : rows) CHECK_EQ(utf8::char_length(row.text, row.pos), row.length);
}
