// The attribute fast paths against their general counterparts: the quick read of one
// attribute against the cursor, the tag-end search by quote parity against a byte loop, key
// prediction from the previous tag of a name (duplicates must still be found and reported at
// this tag's positions), and rendered names across nested namespace scopes.
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "tree_dump.h"
#include "parser/attribute_scan.h"
#include "parser/parse_core.h"
#include "tokenizer/scan.h"

using namespace vorlane;

namespace {


// Attributes read by the cursor alone, as "k,k,v,v;" per attribute, then the error message.
std::string cursor_reading(std::string_view content, const char* readable_end) {
  AttributeCursor cursor(content, 0, readable_end);
  ScannedAttribute a;
  std::string out;
  while (cursor.next(a)) {
    out += std::to_string(a.key_begin) + "," + std::to_string(a.key_end) + "," + std::to_string(a.value_begin) +
           "," + std::to_string(a.value_end) + ";";
  }
  return out + cursor.error_message();
}

// The same through quick_attribute, falling back to the cursor as the parser does.
std::string quick_reading(std::string_view content, const char* readable_end) {
  std::size_t pos = 0;
  std::string out;
  for (;;) {
    ScannedAttribute a;
    bool amp = false;
    const QuickScan quick = quick_attribute(content, pos, readable_end, a, amp);
    if (quick == QuickScan::End) return out + "position 0";  // the cursor's message without an error
    if (quick == QuickScan::General) {
      AttributeCursor cursor(content, pos, readable_end);
      if (!cursor.next(a)) return out + cursor.error_message();
      pos = a.value_end + 1;
    } else {
      const std::string_view value = content.substr(a.value_begin, a.value_end - a.value_begin);
      CHECK_EQ(amp, value.find('&') != std::string_view::npos);
    }
    out += std::to_string(a.key_begin) + "," + std::to_string(a.key_end) + "," + std::to_string(a.value_begin) +
           "," + std::to_string(a.value_end) + ";";
  }
}

// The first '>' outside quotes, byte by byte.
std::size_t reference_gt(const std::string& s, char& open) {
  char quote = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (quote != 0) {
      if (s[i] == quote) quote = 0;
    } else if (s[i] == '>') {
      open = 0;
      return i;
    } else if (s[i] == '"' || s[i] == '\'') {
      quote = s[i];
    }
  }
  open = quote;
  return s.size();
}

}  // namespace

TEST(quick_attribute_agrees_with_cursor) {
  std::mt19937 rng(7);
  const char alphabet[] = {'a', 'b', ':', '=', '=', '"', '"', '\'', ' ', '\t', '&', '>', 'x'};
  for (int round = 0; round < 20000; ++round) {
    std::string content;
    const std::size_t length = rng() % 60;
    for (std::size_t i = 0; i < length; ++i) content += alphabet[rng() % sizeof alphabet];
    // Read where the buffer ends with the content, and where more bytes follow it.
    const std::string padded = content + std::string(48, '"');
    const std::string_view view(padded.data(), content.size());
    const std::string expected = cursor_reading(view, view.data() + view.size());
    CHECK_EQ(quick_reading(view, view.data() + view.size()), expected);
    CHECK_EQ(quick_reading(view, padded.data() + padded.size()), expected);
  }
}

TEST(tag_end_by_quote_parity_matches_byte_loop) {
  std::mt19937 rng(11);
  const char alphabet[] = {'"', '\'', '>', 'a', ' ', '=', '\x80'};
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    const std::size_t length = rng() % 140;
    // Mostly one kind of quote, sometimes both, so both block paths run.
    const std::size_t kinds = round % 3 == 0 ? sizeof alphabet : sizeof alphabet - 1;
    for (std::size_t i = 0; i < length; ++i) {
      char c = alphabet[rng() % kinds];
      if (round % 3 == 1 && c == '\'') c = '"';
      if (c == '>' && rng() % 4 != 0) c = 'a';  // keep '>' rare, as in tags
      s += c;
    }
    char open_expected = 0;
    const std::size_t expected = reference_gt(s, open_expected);
    char open = 'z';
    unsigned high = 0;
    const char* hit = scan::find_unquoted_gt(s.data(), s.data() + s.size(), open, high);
    CHECK_EQ(static_cast<std::size_t>(hit - s.data()), expected);
    CHECK_EQ(open, open_expected);
    const bool high_expected = s.substr(0, expected).find('\x80') != std::string::npos;
    CHECK_EQ(high != 0, high_expected);
  }
}

TEST(predicted_keys_still_find_duplicates_at_this_tags_positions) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {"<r><a x=\"1\" y=\"2\"/><a x=\"1\" x=\"2\"/></r>", "ERR position 8: duplicated attribute, previous declaration at position 2"},
      {"<r><a x=\"1\" y=\"2\"/><a   x=\"1\" y=\"2\" x=\"3\"/></r>",
       "ERR position 16: duplicated attribute, previous declaration at position 4"},
      {"<r><a x=\"1\" y=\"2\"/><a x=\"1\" y=\"2\" y=3/></r>",
       "ERR position 14: duplicated attribute, previous declaration at position 8"},
      {"<r><a x=\"1\" y=\"2\"/><a x=\"1\" y=\"2\" z=3/></r>",
       "ERR position 16: attribute value must be enclosed in `\"` or `'`"},
      {"<r><a x=\"1\" y=\"2\"/><a y=\"1\" x=\"2\"/><a x=\"1\" y=\"2\"/></r>", "OK (r (a @x=1 @y=2) (a @y=1 @x=2) (a @x=1 @y=2))"},
      {"<r><a x=\"1\" y=\"2\" z=\"3\"/><a x=\"&lt;\" y=\"2\"/><a x=\"1\" w=\"2\" z=\"3\" y=\"4\"/></r>",
       "OK (r (a @x=1 @y=2 @z=3) (a @x=< @y=2) (a @x=1 @w=2 @z=3 @y=4))"},
      {"<r><a xmlns:p=\"u\" p:k=\"1\"/><a xmlns:p=\"u\" p:k=\"1\" xmlns:p=\"v\"/></r>",
       "ERR position 22: duplicated attribute, previous declaration at position 2"},
  };
  for (const Case& c : cases) {
    CHECK_EQ(parse_outcome(c.input), std::string(c.expected));
    // Again with the tags far from the input's end, where the block reads run.
    CHECK_EQ(parse_outcome(std::string(c.input) + "<!--" + std::string(48, '-') + " -->"), std::string(c.expected));
  }
}

TEST(rendered_names_follow_nested_scopes) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {"<a xmlns=\"u\"><b xmlns=\"v\"><c/></b><c/><b xmlns=\"w\"><c/></b><c/></a>",
       "OK ({u}a ({v}b ({v}c)) ({u}c) ({w}b ({w}c)) ({u}c))"},
      {"<r xmlns:p=\"u\"><e p:k=\"1\"/><s xmlns:p=\"v\"><e p:k=\"2\"/></s><e p:k=\"3\"/><s xmlns:p=\"w\"><e p:k=\"4\"/></s></r>",
       "OK (r (e @{u}k=1) (s (e @{v}k=2)) (e @{u}k=3) (s (e @{w}k=4)))"},
      {"<r xmlns:p=\"u\"><p:e/><s xmlns:q=\"v\"><p:e/></s><p:e/><s xmlns:p=\"\"><p:e/></s><p:e/></r>",
       "OK (r ({u}e) (s ({u}e)) ({u}e) (s (p:e)) ({u}e))"},
  };
  for (const Case& c : cases) CHECK_EQ(parse_outcome(c.input), std::string(c.expected));
}

TEST(tag_end_fast_paths_agree_with_general_search) {
  // Each random tag is read once near the input's end (general search) and once with a long
  // comment after it (the block paths); the two parses must agree in every outcome.
  std::mt19937 rng(13);
  const char alphabet[] = {'a', 'b', '"', '\'', '>', '=', ' ', '/', '\xc3', '\xa9'};
  for (int round = 0; round < 20000; ++round) {
    std::string tag = "<r";
    const std::size_t length = rng() % 40;
    for (std::size_t i = 0; i < length; ++i) tag += alphabet[rng() % sizeof alphabet];
    const std::string input = "<d>" + tag + "></d>";
    CHECK_EQ(parse_outcome(input + "<!--" + std::string(48, '-') + " -->"), parse_outcome(input));
  }
}
