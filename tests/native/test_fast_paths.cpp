// The core's fast paths against their general counterparts: block scans that may read past
// a short name but not past the input, the end-tag shortcut, the name table's cheap hash and
// its fallback, the render cache across scope changes, the block UTF-8 check and the
// predicted growth of the big vectors.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "tree_dump.h"
#include "parser/name_table.h"
#include "parser/parse_core.h"
#include "common/utf8.h"
#include "tokenizer/xml_tokenizer.h"

using namespace vorlane;

namespace {


// Each document is parsed as it stands, where every construct lies within 16 bytes of the
// input's end, and followed by a long comment, where the block scans run; both must agree.
void check_both_ways(const std::string& input, const std::string& expected) {
  CHECK_EQ(parse_outcome(input), expected);
  CHECK_EQ(parse_outcome(input + "<!--" + std::string(80, '-') + " -->"), expected);
}

// A strict UTF-8 check written from the definition, for comparison.
bool reference_valid(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const std::uint32_t min = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

}  // namespace

TEST(fast_tags_agree_with_general_scan) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"<a></a>", "OK (a)"},
      {"<a></a >", "OK (a)"},
      {"<></>", "OK ()"},
      {"<abcdefghijklmnop>x</abcdefghijklmnop>", "OK (abcdefghijklmnop 'x')"},  // 16 bytes
      {"<abcdefghijklmnopq>x</abcdefghijklmnopq>", "OK (abcdefghijklmnopq 'x')"},
      {"<abcdefghijklmnop></abcdefghijklmnoq>",
       "ERR ill-formed document: expected `</abcdefghijklmnop>`, but `</abcdefghijklmnoq>` was found"},
      {"<a></ab>", "ERR ill-formed document: expected `</a>`, but `</ab>` was found"},
      {"<ab></a>", "ERR ill-formed document: expected `</ab>`, but `</a>` was found"},
      // A quote in a name opens a quoted stretch, so "</a'b'>" is not matched byte for byte.
      {"<a'>'></a'>'>", "OK (a'>')"},
      {"<a b='>' c=\"'\"/>", "OK (a @b=> @c=')"},
      {"<a\tb='1'\nc='2'\r/>", "OK (a @b=1 @c=2)"},
      {"<a b='1'c='2'/>", "OK (a @b=1 @c=2)"},
      {"<a bcdefghijklmnopqrstu='1'/>", "OK (a @bcdefghijklmnopqrstu=1)"},
      {"<a b = 'x&amp;y'/>", "OK (a @b=x&y)"},
      {"<a b='1' b='2'/>", "ERR position 8: duplicated attribute, previous declaration at position 2"},
      {"<a b/>", "ERR position 3: attribute key must be directly followed by `=` or space"},
      {"<a bcdefghijklmnopqrstu/>", "ERR position 22: attribute key must be directly followed by `=` or space"},
      {"<a b='1\xc3\xa9'>\xc3\xa9</a>", "OK (a @b=1\xc3\xa9 '\xc3\xa9')"},
      {"<a>\xc3\xa9\xc3</a>", "ERR cannot decode input using UTF-8: incomplete utf-8 byte sequence from index 2"},
      // Tags the tokenizer reads with their attributes, and their near misses.
      {"<a b='1' c=\"x&amp;y\" d='a value longer than one block'/>", "OK (a @b=1 @c=x&y @d=a value longer than one block)"},
      {"<abcdefghijklmnopqrs b='1'>t</abcdefghijklmnopqrs>", "OK (abcdefghijklmnopqrs @b=1 't')"},
      {"<a\n\t\tb='1'\n\t\tc='2' />", "OK (a @b=1 @c=2)"},
      {"<a b='1' c='2' >t</a>", "OK (a @b=1 @c=2 't')"},
      {"<a b='0123456789abc' c='x'/>", "OK (a @b=0123456789abc @c=x)"},  // closes as the block ends
      {"<a b='0123456789abcd' c='x'/>", "OK (a @b=0123456789abcd @c=x)"},  // and just past it
      {"<a b='' c=\"\"/>", "OK (a @b= @c=)"},
      {"<a bcdefghijklmno='1' c='>'/>", "OK (a @bcdefghijklmno=1 @c=>)"},    // a key of 14 bytes
      {"<a bcdefghijklmnop='1' c='>'/>", "OK (a @bcdefghijklmnop=1 @c=>)"},  // and of 15
      {"<a b='1' b='2' c='3'/>", "ERR position 8: duplicated attribute, previous declaration at position 2"},
      {"<a b='1' c='2' d/>", "ERR position 15: attribute key must be directly followed by `=` or space"},
      {"<a b='1' c='2'/ >", "ERR position 15: attribute key must be directly followed by `=` or space"},
      {"<a b='1' c=2 d='3'/>", "ERR position 10: attribute value must be enclosed in `\"` or `'`"},
      {"<a b='1' c=\"'\" d='\"'>t</a>", "OK (a @b=1 @c=' @d=\" 't')"},
      {"<a b='1' c\x01='2'/>", "OK (a @b=1 @c\x01=2)"},
      {"<a x='1' b>c='1'/>", "ERR position 9: attribute key must be directly followed by `=` or space"},
      {"<a xmlns:p='u' p:b='1' xmlnsq='2'><p:c/></a>", "OK (a @{u}b=1 @xmlnsq=2 ({u}c))"},
      {"<a p:b='1' xmlns:p='u'/>", "OK (a @{u}b=1)"},
      {"<a xmlns:xml='wrong' b='1'/>", "ERR the namespace prefix 'xml' cannot be bound to 'wrong'"},
      {"<\xc3\xa9 b\xc3\xa9='\xc3\xa9\xc3\xa9' c='1'/>", "OK (\xc3\xa9 @b\xc3\xa9=\xc3\xa9\xc3\xa9 @c=1)"},
      {"<a b='1' c='\xc3\xa9\xc3'/>", "ERR cannot decode input using UTF-8: invalid utf-8 sequence of 1 bytes from index 14"},
      {"<a b='1' c='x&bogus;'/>", "FAIL"},
  };
  for (const Case& c : cases) check_both_ways(c.input, c.expected);
  // The end of input right after "</name" or inside the name.
  CHECK_EQ(parse_outcome("<a></a"), std::string("ERR syntax error: tag not closed: `>` not found before end of input"));
  CHECK_EQ(parse_outcome("<ab></a"), std::string("ERR syntax error: tag not closed: `>` not found before end of input"));
}

TEST(fast_tags_read_with_their_attributes) {
  // The usual shapes of tags with attributes are read in the tokenizer's one pass over the
  // tag (XmlEvent::attributes); the rest are left to the parser's reading of the content.
  struct Case {
    std::string tag;
    const char* spans;  // key=value per attribute, "&" after a value with a reference; null: not read
  };
  const std::vector<Case> cases = {
      {"<a b='1' c=\"2\">", "b=1 c=2"},
      {"<a b='x&amp;y' xmlns:p='u'/>", "b=x&amp;y& xmlns:p=u"},
      {"<a\n\tb='1'\n\tc='a value longer than one block' />", "b=1 c=a value longer than one block"},
      {"<abcdefghijklmnopqrs b='>'>", "b=>"},
      {"<a b='1'c='2'>", nullptr},           // no white space between
      {"<a b = '1'>", nullptr},              // white space around "="
      {"<a bcdefghijklmno='1'>", "bcdefghijklmno=1"},  // a key of 14 bytes
      {"<a bcdefghijklmnop='1'>", nullptr},            // and of 15
      {"<a b='1' c>", nullptr},
      {"<a'b' c='1'>", nullptr},             // a quote in the name
      {"<a " + [] {
         std::string many;
         for (int i = 0; i < 33; ++i) many += "k" + std::to_string(i) + "='' ";
         return many;
       }() + "/>",
       nullptr},
  };
  for (const Case& c : cases) {
    const std::string input = c.tag + "<!--" + std::string(80, '-') + " -->";
    XmlTokenizer tokenizer(input.data(), input.size());
    XmlEvent event;
    CHECK(!tokenizer.next_event(event));
    CHECK(event.kind == XmlEventKind::StartTag || event.kind == XmlEventKind::EmptyTag);
    if (c.spans == nullptr) {
      CHECK(event.attributes == nullptr);
      continue;
    }
    CHECK(event.attributes != nullptr);
    if (event.attributes == nullptr) continue;
    std::string spans;
    for (std::uint32_t i = 0; i < event.attributes->count; ++i) {
      const AttributeSpan& a = event.attributes->spans[i];
      if (i != 0) spans += ' ';
      spans += event.content.substr(a.key_begin, a.key_end - a.key_begin);
      spans += '=';
      spans += event.content.substr(a.value_begin, a.value_end - a.value_begin);
      if ((event.attributes->amp_mask >> i) & 1u) spans += '&';
    }
    CHECK_EQ(spans, std::string(c.spans));
  }
}

TEST(fast_render_cache_follows_scope_changes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<r xmlns:p='u1'><p:a p:k='1'/><x xmlns:p='u2'><p:a p:k='2'/></x><p:a p:k='3'/></r>",
       "OK (r ({u1}a @{u1}k=1) (x ({u2}a @{u2}k=2)) ({u1}a @{u1}k=3))"},
      {"<a xmlns='u'><b/><c xmlns=''><b/></c><b/></a>", "OK ({u}a ({u}b) (c (b)) ({u}b))"},
      {"<r><p:a/><s xmlns:p='v'><p:a/></s><p:a/></r>", "OK (r (p:a) (s ({v}a)) (p:a))"},
      // The same raw name as element and as attribute: only the element takes the default.
      {"<r xmlns='d' xmlns:q='e'><q:x q:x='1' x='2'/><x/></r>", "OK ({d}r ({e}x @{e}x=1 @x=2) ({d}x))"},
  };
  for (const auto& [input, expected] : cases) check_both_ways(input, expected);
}

TEST(fast_name_table_falls_back_to_keyed_hash) {
  const HashKey key{1, 2};
  const HashKey seed = NameTable::seed_for(key);
  // Names whose cheap hashes agree in their low 16 bits share one probe run in any table of
  // up to 65536 slots.
  const std::uint64_t target = NameTable::fast_hash(seed, "c0") & 0xffff;
  std::vector<std::string> colliding;
  for (std::uint64_t i = 0; colliding.size() < NameTable::kMaxProbe + 10; ++i) {
    std::string name = "c" + std::to_string(i);
    if ((NameTable::fast_hash(seed, name) & 0xffff) == target) colliding.push_back(name);
  }
  Document doc;
  NameTable table(doc, key);
  std::vector<std::uint32_t> ids;
  for (const std::string& name : colliding) ids.push_back(table.intern(name));
  CHECK(table.uses_keyed_hash());
  bool stable = true;
  for (std::size_t i = 0; i < colliding.size(); ++i) {
    stable = stable && table.intern(colliding[i]) == ids[i] && doc.name(ids[i]) == colliding[i];
  }
  CHECK(stable);
  CHECK_EQ(table.size(), colliding.size());
  // Long names and growth after the switch.
  const std::string long_name(100, 'z');
  const std::uint32_t long_id = table.intern(long_name);
  for (int i = 0; i < 3000; ++i) table.intern("g" + std::to_string(i));
  CHECK_EQ(table.intern(long_name), long_id);
  CHECK_EQ(table.intern(colliding[0]), ids[0]);
  CHECK_EQ(table.size(), colliding.size() + 3001);
}

TEST(fast_name_table_lengths_and_padding) {
  Document doc;
  const std::string input = std::string("abcdefghijklmnopqrstuvwxyz") + std::string(40, ' ');
  doc.input = input;
  NameTable table(doc, HashKey{3, 4});
  // Prefixes of one another and names that differ only beyond byte 16 stay distinct, whether
  // read from the input (block loads) or from elsewhere.
  std::vector<std::uint32_t> ids;
  for (std::size_t n = 0; n <= 26; ++n) ids.push_back(table.intern(std::string_view(input).substr(0, n)));
  bool distinct_and_stable = true;
  for (std::size_t n = 0; n <= 26; ++n) {
    const std::string copy = input.substr(0, n);
    distinct_and_stable = distinct_and_stable && table.intern(copy) == ids[n] && ids[n] == n;
  }
  CHECK(distinct_and_stable);
  CHECK(table.intern(std::string("abcdefghijklmnopqrstuvwxyZ")) != ids[26]);
  CHECK(table.intern(std::string("abc\0", 4)) != ids[3]);
}

TEST(fast_utf8_check_matches_definition) {
  std::vector<std::string> cases;
  // Every two-byte pair and every lead with every second byte before one continuation, at
  // offsets that put the sequence across a 16-byte block boundary.
  for (int b0 = 0x80; b0 < 0x100; ++b0) {
    for (int b1 = 0; b1 < 0x100; ++b1) {
      for (const char* third : {"", "\x80", "\xbf\x80", "A"}) {
        cases.push_back(std::string(1, static_cast<char>(b0)) + static_cast<char>(b1) + third);
      }
    }
  }
  std::mt19937 rng(12345);
  const unsigned char alphabet[] = {'a', 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0,
                                    0xe1, 0xed, 0xef, 0xf0, 0xf1, 0xf4, 0xf5, 0xff, '<'};
  for (int i = 0; i < 20000; ++i) {
    std::string s(rng() % 40, 'x');
    for (char& c : s) c = static_cast<char>(alphabet[rng() % sizeof alphabet]);
    cases.push_back(s);
  }
  std::size_t mismatches = 0;
  for (const std::string& body : cases) {
    for (std::size_t offset : {0u, 13u, 14u, 15u, 16u}) {
      const std::string s = std::string(offset, 'x') + body;
      const utf8::Check check = utf8::validate(s.data(), s.size());
      if (check.ok != reference_valid(s)) ++mismatches;
    }
  }
  CHECK_EQ(mismatches, std::size_t{0});
  // A long valid stretch of mixed widths, then one error at its very end.
  std::string text;
  for (int i = 0; i < 500; ++i) text += "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x8c\x9f";
  CHECK(utf8::validate(text.data(), text.size()).ok);
  text += "\xe2\x82";
  const utf8::Check bad = utf8::validate(text.data(), text.size());
  CHECK(!bad.ok && bad.incomplete && bad.index == text.size() - 2);
}
