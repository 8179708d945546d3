// The cheap per-element paths: block storage growth, the declaration pre-check, the
// tokenizer's name marks, the tag-slot table growing mid-document, and the text fast path
// near the end of the input.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "tree_dump.h"
#include "common/block_vector.h"
#include "common/inline_vector.h"
#include "parser/namespace_resolver.h"
#include "parser/parse_core.h"

using namespace vorlane;

TEST(costs_block_vector_first_block_grows_then_full_blocks) {
  // Sizes around the small first block, its doublings and the first full block; every value
  // must survive the moves of the first block, and release only drops whole full blocks.
  using V = BlockVector<std::uint64_t, 1024>;  // 128 per block, first allocation 128 too
  struct Wide {
    std::uint64_t v[8];
  };
  using W = BlockVector<Wide, 4096>;  // 64 per block, first allocation 16
  static_assert(V::kBlock == 128 && W::kBlock == 64 && W::kFirstBlock == 16);
  for (std::size_t n : {1u, 15u, 16u, 17u, 33u, 63u, 64u, 65u, 129u, 300u}) {
    W w;
    for (std::size_t i = 0; i < n; ++i) w.emplace_back().v[3] = i * 7;
    CHECK_EQ(w.size(), n);
    bool intact = true;
    for (std::size_t i = 0; i < n; ++i) intact = intact && w[i].v[3] == i * 7 && w[i].v[0] == 0;
    CHECK(intact);
    w.release_before(n);
    W moved = std::move(w);
    moved.emplace_back().v[3] = 1;
    CHECK_EQ(moved[n].v[3], std::uint64_t{1});
    if (n % W::kBlock != 0) CHECK_EQ(moved[n - 1].v[3], (n - 1) * 7);  // its block is still being filled
  }
  V v;
  for (std::uint64_t i = 0; i < 1000; ++i) v.push_back(i);
  CHECK_EQ(v[127] + v[128] + v[999], std::uint64_t{127 + 128 + 999});
}

TEST(costs_block_vector_refilled_after_clear_keeping) {
  // Emptied between fills, the first block kept when it fits the reserve: a kept block that
  // doubles again, a second block, a released first block (never reused).
  using V = BlockVector<std::uint64_t, 4096>;  // 512 per block, first allocation 128
  for (std::size_t reserve : {std::size_t{0}, std::size_t{1024}, std::size_t{4096}}) {
    V v;
    bool intact = true;
    for (std::size_t n : {3u, 128u, 129u, 300u, 2u, 512u, 513u, 1100u, 5u, 600u, 1u}) {
      for (std::size_t i = 0; i < n; ++i) v.push_back(i * 7 + n);
      for (std::size_t i = 0; i < n; ++i) intact = intact && v[i] == i * 7 + n;
      if (n == 512 || n == 1100) v.release_before(n);
      v.clear_keeping(reserve);
      intact = intact && v.empty();
    }
    CHECK(intact);
  }
}

TEST(costs_inline_vector_past_its_inline_room) {
  // Values survive the move from the inline room to the heap and every later doubling;
  // resize zero-fills what it adds, assign replaces everything.
  struct Wide {
    std::uint64_t v[3];
  };
  for (std::size_t n : {1u, 3u, 4u, 5u, 9u, 100u}) {
    InlineVector<Wide, 4> vector;
    for (std::size_t i = 0; i < n; ++i) vector.push_back(Wide{{i, i * 3, 7}});
    bool intact = vector.size() == n;
    for (std::size_t i = 0; i < n; ++i) intact = intact && vector[i].v[0] == i && vector[i].v[1] == i * 3;
    CHECK(intact);
    vector.resize(n + 6);
    CHECK(vector.size() == n + 6 && vector[n + 5].v[2] == 0 && vector[n - 1].v[1] == (n - 1) * 3);
    vector.pop_back();
    CHECK_EQ(vector.back().v[0], std::uint64_t{0});
    vector.assign(n, Wide{{9, 9, 9}});
    CHECK(vector.size() == n && vector[0].v[0] == 9 && vector[n - 1].v[2] == 9);
  }
}

TEST(costs_declaration_precheck_agrees_with_a_plain_search) {
  // The content is a prefix of a buffer that goes on, so the block search may read past it;
  // what lies there (another "xmlns") must not count.
  struct Case {
    std::string content;
    bool declares;
  };
  const std::string pad(40, 'y');
  const std::vector<Case> cases = {
      {"a b='1'", false},
      {"a xmlns='u'", true},
      {"a " + std::string(12, 'z') + "='1' xmlns:p='u'", true},   // "xmlns" across the first block
      {"a " + std::string(30, 'z') + "='1' xmlns='u'", true},     // in a later block
      {"a " + pad + "='1' xmlnsq='2'", false},                   // not a declaration key
      {"a b='xmln'", false},
      {"a b='1' xmln", false},                                   // cut off at the content's end
  };
  for (const Case& c : cases) {
    const std::string buffer = c.content + "s='x' xmlns='v'" + std::string(32, ' ');
    NamespaceResolver with_end;
    NamespaceResolver plain;
    CHECK(!with_end.open_scope(std::string_view(buffer.data(), c.content.size()), 1, buffer.data() + buffer.size()));
    CHECK(!plain.open_scope(c.content, 1));
    CHECK_EQ(with_end.declarations_in_scope(), plain.declarations_in_scope());
    CHECK_EQ(with_end.declarations_in_scope() > 0, c.declares);
  }
}

TEST(costs_name_marks_and_reserved_prefixes) {
  const std::string nul_short("<a\0b/>", 6);
  const std::string nul_long = "<" + std::string(18, 'n') + std::string(1, '\0') + "x/>";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {nul_short, "ERR Null byte detected in XML identifier"},
      {nul_long, "ERR Null byte detected in XML identifier"},
      {"<r xmlns:p='u'><p:a/><" + std::string(20, 'q') + ":b/></r>",
       "OK (r (" "{u}a) (" + std::string(20, 'q') + ":b))"},
      {"<r xml:lang='en'><xmlns:x/></r>",
       "OK (r @{http://www.w3.org/XML/1998/namespace}lang=en ({http://www.w3.org/2000/xmlns/}x))"},
      {"<a>x</a>y", "ERR Junk after document element"},
      {"<a>x</a><", "ERR syntax error: tag not closed: `>` not found before end of input"},
      {"<a/>\n", "OK (a)"},
  };
  for (const auto& row : rows) CHECK_EQ(parse_outcome(row.first), row.second);
}

TEST(costs_tag_slots_shared_by_names) {
  // More distinct tag names than the prediction table has slots: names that share a slot
  // take it from each other, and attributes and duplicate checks stay right throughout.
  std::string doc;
  std::string expected;
  std::string namespaced;  // the same under a default namespace, which renders every tag
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 70; ++i) {
      const std::string n = "e" + std::to_string(i);
      const std::string attributes = " @k" + std::to_string(i) + "=" + std::to_string(round) + " @z=" + n + ")";
      doc += "<" + n + " k" + std::to_string(i) + "='" + std::to_string(round) + "' z='" + n + "'/>";
      expected += " (" + n + attributes;
      namespaced += " ({u}" + n + attributes;
    }
  }
  CHECK_EQ(parse_outcome("<r>" + doc + "</r>"), "OK (r" + expected + ")");
  CHECK_EQ(parse_outcome("<r xmlns='u'>" + doc + "</r>"), "OK ({u}r" + namespaced + ")");
  doc = "<r>" + doc;
  CHECK_EQ(parse_outcome(doc + "<e3 k3='1' z='' k3='2'/></r>"),
           "ERR position 15: duplicated attribute, previous declaration at position 3");
}
