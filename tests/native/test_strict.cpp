// Strict mode: one row per rule, with where the refusal points; the tree mode agrees on the
// verdict and the tolerant mode accepted each refused document or refused it otherwise.
#include <string>
#include <vector>

#include "check.h"
#include "parser/parse_core.h"
#include "stream_dump.h"

using namespace vorlane;

namespace {

struct Row {
  std::string doc;
  const char* message;  // a part of the refusal's message; null: accepted
  std::size_t at;       // the refusal's offset
};

const std::vector<Row> kRows = {
    {"<r>\x01</r>", "character U+0001 is not allowed", 3},
    {"<r a='x\x02'/>", "character U+0002", 7},
    {"<r><!--\x1F--></r>", "character U+001F", 7},
    {"<r><?p \x04?></r>", "character U+0004", 7},
    {"<r><![CDATA[\xEF\xBF\xBE]]></r>", "character U+FFFE", 12},
    {"<r>&#0;</r>", "character reference '&#0;'", 3},
    {"<r a='&#xFFFF;'/>", "character reference '&#xFFFF;'", 6},
    {"<r>&#X41;</r>", "malformed character reference", 3},
    {"<r a='<'/>", "'<' is not allowed in an attribute value", 6},
    {"<r>a]]></r>", "']]>' is not allowed in text", 4},
    {"<r><!-- a--b --></r>", "'--' is not allowed inside a comment", 9},
    {"<r><!-- a---></r>", "may not end with '--->'", 9},
    {"<1r/>", "element name '1r' may not start with U+0031", 1},
    {"<r a\xC2\xA0='1'/>", "attribute name", 4},
    {"<r><?1p?></r>", "processing instruction target name", 5},
    {"<r><?a:b?></r>", "may not contain ':'", 6},
    {"<r>&1e;</r>", "entity reference name", 3},
    {"<r><?XmL x?></r>", "target 'XmL' is reserved", 5},
    {"<r/><?xml version='1.0'?>", "XML declaration not at the start", 4},
    {" <?xml version='1.0'?><r/>", "XML declaration not at the start", 1},
    {"<?xml encoding='UTF-8' version='1.0'?><r/>", "version comes first", 5},
    {"<?xml version='2.0'?><r/>", "bad version number", 15},
    {"<?xml version='1.0' encoding='8bit'?><r/>", "bad encoding name", 30},
    {"<?xml version='1.0' standalone='maybe'?><r/>", "standalone must be", 32},
    {"<?xml version='1.0' standalone='no' encoding='UTF-8'?><r/>", "unexpected text", 36},
    {"<p:r/>", "undeclared namespace prefix 'p'", 1},
    {"<r p:a='1'/>", "undeclared namespace prefix 'p'", 3},
    {"<r:/>", "'r:' is not a qualified name", 2},
    {"<a:b:c xmlns:a='u'/>", "'a:b:c' is not a qualified name", 2},
    {"<xmlns:r/>", "prefix 'xmlns' is not allowed", 1},
    {"<r xmlns:p=''/>", "prefix 'p' cannot be undeclared", 0},
    {"<r xmlns:='u'/>", "'xmlns:' declares no prefix", 0},
    {"<r xmlns='http://www.w3.org/2000/xmlns/'/>", "default namespace cannot be bound", 0},
    {"<r xmlns:p='u' xmlns:q='u' p:a='1' q:a='2'/>", "duplicate attribute '{u}a'", 35},
    {"<r a='1'b='2'/>", "separated by white space", 8},
    {"<r/>\xC2\xA0", "Junk after document element", 4},
    {"<![CDATA[ ]]><r/>", "CDATA section outside the root element", 0},
    {"&#32;<r/>", "reference outside the root element", 0},
    {"<r/><!DOCTYPE r>", "DOCTYPE is allowed only once, before the root", 4},
    {"<!doctype r><r/>", "the keyword is 'DOCTYPE'", 2},
    {"\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8' standalone='no'?>\r\n<!DOCTYPE r><?p d?>"
     "<r xmlns:p='u' p:a='x' b='&#10;'><p:e xml:lang='en'>&#x10FFFF;</p:e><!-- - --></r>",
     nullptr, 0},
};

ParseOptions strict_options() {
  ParseOptions options;
  options.strict = true;
  return options;
}

}  // namespace

TEST(strict_refuses_each_rule_where_it_is_broken) {
  const ParseOptions strict = strict_options();
  for (const Row& row : kRows) {
    EventStream stream(strict);
    const bool accepted = stream.feed(row.doc.data(), row.doc.size(), true) == EventStream::Status::Ok;
    const ParseResult tree = parse_core(row.doc.data(), row.doc.size(), strict);
    CHECK_EQ(tree.status == ParseResult::Status::Ok, accepted);
    if (row.message == nullptr) {
      CHECK(accepted);
      continue;
    }
    CHECK(!accepted);
    if (accepted) continue;
    CHECK_EQ(tree.failure->message(), stream.failure()->message());
    const bool mentions = stream.failure()->message().find(row.message) != std::string::npos;
    if (!mentions) std::fprintf(stderr, "  %s\n", stream.failure()->message().c_str());
    CHECK(mentions);
    CHECK_EQ(stream.failure_offset(), row.at);
  }
}

TEST(strict_normalises_line_ends_and_attribute_white_space) {
  const std::string doc = "<r a='x\r\n\ty&#13;&#9;' b='plain'>a\r\nb\rc<![CDATA[d\r\n]]><!--e\r--><?p f\r\ng?></r>";
  CHECK_EQ(stream_dump::run(doc, {}, strict_options()),
           "@0 start r a=[x  y\r\t] b=[plain]\n@32 data [a\nb\ncd\n]\n@53 comment [e\n]\n@62 pi [p] [f\ng]\n"
           "@72 end r\nok\n");
}

// The block checks of long text and values: a bad character at each position of a run longer
// than two blocks is refused there, and the same run with TAB, LF and bytes above 0x7F only is
// accepted.
TEST(strict_finds_a_bad_character_at_every_position_of_a_long_run) {
  struct Insert {
    std::string bytes;
    const char* in_text;   // the refusal's message in text
    const char* in_value;  // in an attribute value; null: accepted there
  };
  const std::vector<Insert> inserts = {
      {"\x01", "U+0001", "U+0001"},       {"\x08", "U+0008", "U+0008"},     {"\x0B", "U+000B", "U+000B"},
      {"\x1F", "U+001F", "U+001F"},       {"\xEF\xBF\xBF", "U+FFFF", "U+FFFF"}, {"]]>", "']]>'", nullptr},
      {"<", nullptr, "'<' is not allowed"},
  };
  const ParseOptions strict = strict_options();
  const std::string filler = "ab\tc\nd\xC3\xA9";
  for (const bool value : {false, true}) {
    const std::string open = value ? "<r a='" : "<r>";
    const std::string close = value ? "'/>" : "</r>";
    std::string plain;
    while (plain.size() < 70) plain += filler;
    CHECK(parse_core((open + plain + close).data(), open.size() + plain.size() + close.size(), strict).status ==
          ParseResult::Status::Ok);
    for (const Insert& insert : inserts) {
      const char* message = value ? insert.in_value : insert.in_text;
      if (message == nullptr) continue;
      for (std::size_t at = 0; at <= 70; ++at) {
        const std::string doc = open + std::string(at, 'x') + insert.bytes + std::string(70 - at, 'y') + close;
        EventStream stream(strict);
        CHECK(stream.feed(doc.data(), doc.size(), true) != EventStream::Status::Ok);
        if (!stream.failure()) continue;
        CHECK(stream.failure()->message().find(message) != std::string::npos);
        CHECK_EQ(stream.failure_offset(), open.size() + at);
      }
    }
  }
}
