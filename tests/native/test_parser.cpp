// Parser core: namespace scope, attribute scan, interning, character-data placement and
// the driver's order of checks.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "tree_dump.h"
#include "parser/attribute_scan.h"
#include "parser/character_data.h"
#include "parser/name_table.h"
#include "parser/namespace_resolver.h"
#include "parser/parse_core.h"
#include "parser/start_tag.h"

using namespace vorlane;

namespace {


struct Row {
  const char* input;
  const char* expected;
};

void check_rows(const std::vector<Row>& rows, const ParseOptions& options = {}) {
  for (const Row& row : rows) CHECK_EQ(parse_outcome(row.input, options), std::string(row.expected));
}

std::string declarations(std::size_t count, const std::string& tag_prefix = "p") {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += " xmlns:" + tag_prefix + std::to_string(i) + "='u" + std::to_string(i) + "'";
  return out;
}

}  // namespace

TEST(parser_resolver_reserved_prefixes) {
  const std::string xml_ns(kXmlNamespace);
  const std::string xmlns_ns(kXmlnsNamespace);
  const std::vector<Row> rows = {
      {"a xmlns:xml='x'", "the namespace prefix 'xml' cannot be bound to 'x'"},
      {"a xmlns:xmlns='x'", "the namespace prefix 'xmlns' cannot be bound to 'x'"},
      {"a xmlns:xmlns='http://www.w3.org/2000/xmlns/'",
       "the namespace prefix 'xmlns' cannot be bound to 'http://www.w3.org/2000/xmlns/'"},
      {"a xmlns:p='http://www.w3.org/XML/1998/namespace'",
       "the namespace prefix 'p' cannot be bound to 'http://www.w3.org/XML/1998/namespace'"},
      {"a xmlns:p='http://www.w3.org/2000/xmlns/'",
       "the namespace prefix 'p' cannot be bound to 'http://www.w3.org/2000/xmlns/'"},
      {"a xmlns:xml='http://www.w3.org/XML/1998/namespace'", ""},
      {"a xmlns='http://www.w3.org/XML/1998/namespace'", ""},  // default declarations are not compared
      {"a xmlns:p='a&amp;b' b", ""},                           // malformed tail: scan stops silently
  };
  for (const Row& row : rows) {
    NamespaceResolver ns;
    const std::string content = row.input;
    MaybeFailure f = ns.open_scope(content, 1);
    CHECK_EQ(f ? f->message() : std::string(), std::string(row.expected));
  }
  NamespaceResolver ns;
  CHECK(!ns.open_scope("a xmlns:xml='http://www.w3.org/XML/1998/namespace'", 1));
  CHECK_EQ(ns.declarations_in_scope(), std::size_t{1});  // reported as the events report any other
  const std::string_view xml = "xml";
  CHECK_EQ(std::string(ns.resolve(&xml, false).namespace_name), xml_ns);
  const std::string_view xmlns = "xmlns";
  CHECK_EQ(std::string(ns.resolve(&xmlns, false).namespace_name), xmlns_ns);
}

TEST(parser_resolver_scopes_and_outcomes) {
  NamespaceResolver ns;
  const std::string_view p = "p";
  const std::string_view empty;
  using O = Resolution::Outcome;
  CHECK(ns.resolve(&p, false).outcome == O::UnknownPrefix);
  CHECK(!ns.open_scope("a xmlns='d' xmlns:p='u'", 1));
  CHECK(ns.resolve(nullptr, true).outcome == O::Bound);
  CHECK_EQ(std::string(ns.resolve(nullptr, true).namespace_name), std::string("d"));
  CHECK(ns.resolve(nullptr, false).outcome == O::Unbound);
  CHECK_EQ(std::string(ns.resolve(&empty, false).namespace_name), std::string("d"));
  CHECK(!ns.open_scope("b xmlns='' xmlns:p=''", 1));
  CHECK(ns.resolve(nullptr, true).outcome == O::Unbound);
  CHECK(ns.resolve(&p, true).outcome == O::UnknownPrefix);
  ns.close_scope();
  CHECK_EQ(std::string(ns.resolve(&p, false).namespace_name), std::string("u"));
  ns.close_scope();
  CHECK(ns.resolve(&p, false).outcome == O::UnknownPrefix);
  CHECK(ns.no_default_namespace());
  CHECK_EQ(ns.nesting_level(), std::uint16_t{0});
  ns.close_scope();  // never below 0
  CHECK_EQ(ns.nesting_level(), std::uint16_t{0});
  CHECK(!ns.open_scope("a xmlns:='u'", 1));  // an empty prefix acts as a default declaration
  CHECK_EQ(std::string(ns.resolve(nullptr, true).namespace_name), std::string("u"));
}

TEST(parser_resolver_binding_limit_counts_ancestors_not_siblings) {
  const std::string limit_message =
      "more than 128 namespace bindings in scope; raise the limit with NamespaceResolver::set_max_namespace_bindings";
  NamespaceResolver ns;
  CHECK(!ns.open_scope("a" + declarations(100, "a"), 1));
  CHECK(!ns.open_scope("b" + declarations(28, "b"), 1));  // 128 in scope
  ns.close_scope();
  CHECK(!ns.open_scope("c" + declarations(28, "c"), 1));  // the sibling's are gone
  MaybeFailure f = ns.open_scope("d xmlns:a0='again'", 1);  // a redeclaration counts too
  CHECK(f && f->message() == limit_message);

  NamespaceResolver one;
  CHECK(!one.open_scope("a" + declarations(128), 1));
  NamespaceResolver over;
  f = over.open_scope("a" + declarations(129), 1);
  CHECK(f && f->message() == limit_message);
}

TEST(parser_resolver_nesting_limit) {
  NamespaceResolver ns;
  bool ok = true;
  for (int i = 0; i < 65535; ++i) ok = ok && !ns.open_scope("a", 1);
  CHECK(ok);
  MaybeFailure f = ns.open_scope("a", 1);
  CHECK(f && f->message() == "document nests elements deeper than the supported limit of 65535");
}

TEST(parser_attribute_scan_errors) {
  // Tag content as the tokenizer delivers it (no '<', '>' or final '/').
  const std::vector<Row> rows = {
      {"<a b='1' c='2'd=\"x'y\"/>", "OK (a @b=1 @c=2 @d=x'y)"},
      {"<a b>", "ERR position 3: attribute key must be directly followed by `=` or space"},
      {"<a b= \t>", "ERR position 6: `=` must be followed by an attribute value"},
      {"<a b = x>", "ERR position 6: attribute value must be enclosed in `\"` or `'`"},
      // A duplicated key is reported before a malformed value of the same attribute.
      {"<a x='1' x=2/>", "ERR position 8: duplicated attribute, previous declaration at position 2"},
  };
  check_rows(rows);
  // ExpectedQuote cannot come out of the tokenizer (it refuses unclosed quotes), so scan directly.
  for (const char* quote : {"'", "\""}) {
    const std::string content = std::string("a b='1' c=") + quote + "x";
    AttributeCursor cursor(content, 1);
    ScannedAttribute a;
    CHECK(cursor.next(a));
    CHECK_EQ(content.substr(a.value_begin, a.value_end - a.value_begin), std::string("1"));
    CHECK(!cursor.next(a));
    CHECK(cursor.error() == ScanError::ExpectedQuote && cursor.error_after_key());
    CHECK_EQ(cursor.error_message(),
             std::string("position 12: missing closing quote `") + quote + "` in attribute value");
  }
}

TEST(parser_interning) {
  const std::string input = "<a><b/><a/><b x='1' a='2'/></a>";
  ParseResult r = parse_core(input.data(), input.size(), ParseOptions{});
  CHECK(r.status == ParseResult::Status::Ok);
  const Document& d = r.document;
  CHECK_EQ(d.names.size(), std::size_t{3});  // a, b, x
  CHECK_EQ(d.nodes[0].tag, d.nodes[2].tag);
  CHECK_EQ(d.nodes[1].tag, d.nodes[3].tag);
  CHECK_EQ(d.attributes[1].name, d.nodes[0].tag);
  CHECK(d.names[0].where() == StringRef::Where::Input);  // plain names borrow from the input

  Document doc;
  const std::string source = "alpha";
  doc.input = source;
  NameTable table(doc, HashKey{1, 2});
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 5000; ++i) ids.push_back(table.intern("n" + std::to_string(i)));
  bool stable = true;
  for (int i = 0; i < 5000; ++i) stable = stable && table.intern("n" + std::to_string(i)) == ids[i];
  CHECK(stable);
  CHECK_EQ(table.size(), std::size_t{5000});
  CHECK_EQ(std::string(doc.name(ids[4321])), std::string("n4321"));
  const std::uint32_t borrowed = table.intern(std::string_view(source).substr(0, 3));
  CHECK(doc.names[borrowed].where() == StringRef::Where::Input);
  CHECK_EQ(table.intern(""), table.intern(std::string_view()));
}

TEST(parser_character_data_placement) {
  const std::vector<Row> rows = {
      {"<a>t<b/>u<c/>v</a>", "OK (a 't' (b)~'u' (c)~'v')"},
      {"<a><b/><![CDATA[]]></a>", "OK (a (b)~'')"},
      {"<a>x<!--c-->y&amp;<![CDATA[z]]></a>", "OK (a 'xy&z')"},
      {"<a><b><c/>x</b>y</a>", "OK (a (b (c)~'x')~'y')"},
      {"\xc2\xa0\xe3\x80\x80&#32;<a/>\xe2\x80\xa8", "OK (a)"},
      {"\xe2\x80\x8b<a/>", "ERR Content before document element"},
      {"<a/>\xe2\x80\x8b", "ERR Junk after document element"},
      {"<a/><b>", "ERR Junk after document element"},
  };
  check_rows(rows);

  // A single run borrows from the input; a joined run lives in the arena.
  const std::string input = "<a>plain<b/>x<!---->y</a>";
  ParseResult r = parse_core(input.data(), input.size(), ParseOptions{});
  CHECK(r.status == ParseResult::Status::Ok);
  CHECK(r.document.nodes[0].text.where() == StringRef::Where::Input);
  CHECK(r.document.nodes[1].tail.where() == StringRef::Where::Arena);
  CHECK_EQ(std::string(r.document.bytes(r.document.nodes[1].tail)), std::string("xy"));
}

TEST(parser_character_data_target_moved_when_not_at_arena_end) {
  Document doc;
  const std::string input = "<r>ab</r>";
  doc.input = input;
  doc.nodes.push_back(ElementNode{});
  doc.nodes[0].subtree_end = 1;
  StringRef* const target = &doc.nodes[0].text;
  CharacterDataState state;
  CHECK(!append_character_data(std::string_view(input).substr(3, 2), doc, target, false, state, 100));
  CHECK(doc.nodes[0].text.where() == StringRef::Where::Input);
  CHECK(!append_character_data(std::string("&"), doc, target, false, state, 100));
  doc.arena += "unrelated";
  CHECK(!append_character_data(std::string("cd"), doc, target, false, state, 100));
  CHECK_EQ(std::string(doc.bytes(doc.nodes[0].text)), std::string("ab&cd"));
  CHECK_EQ(state.total, std::uint64_t{5});
  CHECK(append_character_data(std::string("x"), doc, target, false, state, 5).has_value());
  CHECK_EQ(std::string(doc.bytes(doc.nodes[0].text)), std::string("ab&cd"));  // a failing chunk is not stored
}

TEST(parser_block_vector_across_blocks_and_release) {
  // Elements are found across block boundaries, and releasing frees only whole earlier blocks.
  BlockVector<std::uint64_t, 64> v;  // 8 per block
  for (std::uint64_t i = 0; i < 100; ++i) v.push_back(i * 3);
  CHECK_EQ(v.size(), std::size_t{100});
  CHECK_EQ(v[7], std::uint64_t{21});
  CHECK_EQ(v[8], std::uint64_t{24});
  CHECK_EQ(v.back(), std::uint64_t{297});
  v.release_before(20);  // blocks 0 and 1 go; block 2 holds 16..23 and stays
  CHECK_EQ(v[16], std::uint64_t{48});
  CHECK_EQ(v[99], std::uint64_t{297});
  v.release_before(1000);  // past the end: only full blocks go
  v.push_back(7);
  CHECK_EQ(v[100], std::uint64_t{7});
  BlockVector<std::uint64_t, 64> moved = std::move(v);
  moved.push_back(8);
  CHECK_EQ(moved.size(), std::size_t{102});
  CHECK_EQ(moved[101], std::uint64_t{8});
  CHECK(v.empty());  // NOLINT: the moved-from vector is empty and usable
  v.push_back(1);
  CHECK_EQ(v[0], std::uint64_t{1});
}
