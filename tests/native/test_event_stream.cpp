// The event stream: whatever the cutting of an input into pieces, the same events and the
// same outcome as the input fed at once; the reported events themselves.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "stream_dump.h"

using namespace vorlane;

namespace {

// Every construct, every way of ending badly, and bytes that a cut can split.
const std::vector<std::string> kDocuments = {
    "<a/>",
    "\xEF\xBB\xBF<a>x</a>",
    "<?xml version='1.0' encoding='utf-8'?>\n<!-- c --><?pi  data ?><r a='1' b=\"x&amp;y\">t&#x263A;<![CDATA[<c>]]>u</r>\n",
    "<r xmlns='urn:d' xmlns:p='urn:p'><p:e p:k='v' k2='w'/><e xmlns:q='urn:q'><q:f/></e></r>",
    "<!DOCTYPE r [<!ELEMENT r ANY><!-- ] > --><?p ]>?>]><r>caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</r>",
    "<!DOCTYPE r SYSTEM 'x.dtd'><r/>",
    "<!DOCTYPE r [<!ENTITY e 'v'>]><r>&e;</r>",
    "<r><a>1</a><b>2</b>tail<c/>&lt;&gt;&amp;&apos;&quot;</r>",
    "<long-name-of-element attribute-one=\"a value that is long enough to need more blocks\" two='2'>x</long-name-of-element>",
    "<r>\xC3\x28</r>",
    "<r>\xE2\x82</r>",
    "<r a='\xFF'/>",
    "<r><!-- unclosed </r>",
    "<r><![CDATA[ unclosed </r>",
    "<r><?pi unclosed </r>",
    "<r a='unclosed></r>",
    "<r>&unclosed</r>",
    "<r></s>",
    "<r>",
    "text<r/>",
    "<r/><s/>",
    "<r/>junk",
    "<!DOCTYPE>",
    "<!-x>",
    "<r><!- x --></r>",
    "<?xml version='1.0'",
    "",
    "   ",
    "<r a='1' a='2'/>",
    "<p:r/>",
    "<r>&#0;</r>",
    "<r><!----></r><!--after-->",
    "<r><!-- long but unclosed </r>",
    "<r><!-- long, then a bad byte \xFF --></r>",
    "<r>a long run of text, then a bad byte \xFF</r>",
    "<r><![CDATA[a long CDATA section, unclosed</r>",
    "  \xE2\x80\xA8 junk \xFF before the root",
    "<r/>\n \xC2\xA0junk after\xFF",
    "<doc></doc>\r\xF2Ilmegal data\r\n",
    "<r>\r\n<a>\r\n\xC3\xA9</a>\r<b>\n\n</c>",
    "<r>\n" + std::string(70, ' ') + "\r\n" + std::string(40, 'x') + "</c>",
    // Cut where a name, a value or an instruction passes its limit (under the tight limits),
    // with what would fail later in the construct, or before it, had it been read whole.
    "<r><e a='1' b='xyz' xmlns:xml='u'/></r>" + std::string(64, ' '),  // room for the quick readings
    "<r b='1' b='xyz' c='\xFF'/>",
    "<r xmlns='u' a='x&bad;yz' xmlns:p='v'/>",
    "<r xmlns:p='xyz'/>",
    "<r a='xy'/><s a=\"xyz",
    "<abcd/>",
    "<r><abcdef",
    "<abcd><r/></abcde \xFF></abcd>",
    "<abc/x>",
    "<a'b c'/>",
    "<r><?p d?><?pi data?></r>",
    "<r><?pi d\xFF\xFF?></r>",
    [] {  // past max_attributes and the bindings a scope may add, whatever the rest of the tag
      std::string tag = "<r";
      for (int i = 0; i < 131; ++i) tag += " a" + std::to_string(i) + "=''";
      return tag + " z='\xFF'/>";
    }(),
    // Every place a DOCTYPE search can stop: literals before and inside the subset, a
    // comment, an instruction and declarations hiding "]" and ">".
    "<!DOCTYPE r SYSTEM 'a>[b' [<!ATTLIST r a CDATA '>]'><!-- ]> --><?p ]>?><!ELEMENT r ANY><!NOTATION n SYSTEM \"]>\">]><r/>",
    "\xEF\xBB\xBF<?xml version='1.0'?>\r\n<r a='x\r\n\ty' p:b='&#9;'>a\r\nb]]>\r<!--c\r\n--><?q d\r?></r> \xC2\xA0",
    "<r xmlns:p='u' xmlns:q='u'><p:e p:a='1' q:a='2'/>&#1;</r>",
};

std::string whole(const std::string& doc, const ParseOptions& options = {}) {
  return stream_dump::run(doc, {}, options);
}

}  // namespace

TEST(stream_every_split_is_the_whole_input) {
  ParseOptions strict;
  strict.strict = true;
  for (const ParseOptions& options : {ParseOptions{}, strict}) {
    for (const std::string& doc : kDocuments) {
      const std::string expected = whole(doc, options);
      for (std::size_t cut = 0; cut <= doc.size(); ++cut) CHECK_EQ(stream_dump::run(doc, {cut}, options), expected);
      std::vector<std::size_t> bytes;
      for (std::size_t i = 1; i < doc.size(); ++i) bytes.push_back(i);
      CHECK_EQ(stream_dump::run(doc, bytes, options), expected);
    }
  }
}

TEST(stream_random_splits_under_limits) {
  std::mt19937 random(7);
  ParseOptions tight;
  tight.max_text_size = 3;
  tight.max_comment_size = 2;  // past them, whatever follows: "<!-- x" is refused for its length
  tight.max_name_size = 4;
  tight.max_attribute_size = 2;
  tight.max_attributes = 1;
  tight.max_depth = 2;
  tight.forbid_dtd = true;
  ParseOptions tight_strict = tight;
  tight_strict.strict = true;
  for (const ParseOptions& options : {ParseOptions{}, tight, tight_strict}) {
    for (const std::string& doc : kDocuments) {
      const std::string expected = whole(doc, options);
      for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; at < doc.size(); at += 1 + random() % 7) cuts.push_back(at);
        CHECK_EQ(stream_dump::run(doc, cuts, options), expected);
      }
    }
  }
}

TEST(stream_events) {
  CHECK_EQ(whole("<?xml version='1.0'?><!--c--><r xmlns:p='u' p:a='1'>x&amp;y<?t  d ?>z<e/></r>"),
           "@21 comment [c]\n@29 start-ns [p] [u]\n@29 start r {u}a(p:a)=[1]\n@52 data [x&y]\n"
           "@59 pi [t] [d ]\n@68 data [z]\n@69 start e\n@69 end e\n@73 end r\n@73 end-ns [p]\nok\n");
  // An allowed DOCTYPE, its public id normalised; a declaration of the xml prefix.
  ParseOptions external;
  external.forbid_external = false;
  CHECK_EQ(whole("<!DOCTYPE r PUBLIC ' -//a\n b ' \"s[1]\" [<!ELEMENT r ANY>\r\n]>\n"
                 "<r xmlns:xml='http://www.w3.org/XML/1998/namespace'/>",
                 external),
           "@0 doctype [r] [-//a b] [s[1]] [<!ELEMENT r ANY>\r\n]\n"
           "@60 start-ns [xml] [http://www.w3.org/XML/1998/namespace]\n@60 start r\n@60 end r\n@60 end-ns [xml]\nok\n");
  CHECK_EQ(whole("<!DOCTYPE r><r/>"), "@0 doctype [r] - - -\n@12 start r\n@12 end r\nok\n");
  // The events before a failure are reported with it.
  CHECK_EQ(whole("<r>a</s>"),
           "@0 start r\nfailed kind=10 ill-formed document: expected `</r>`, but `</s>` was found @4 1:4\n");
  CHECK_EQ(whole("<r><x>a</x><y/>"), "@0 start r\n@3 start x\n@6 data [a]\n@7 end x\n@11 start y\n@11 end y\n"
                                     "failed kind=10 No XML root element found @15 1:15\n");
}

TEST(stream_positions) {
  struct Row {
    const char* input;
    std::uint64_t line;
    std::uint64_t column;
  };
  // Line ends of every kind, characters of every width, and a line longer than a block.
  const Row rows[] = {
      {"<r>\n<a>\r\n<b>\r<c></d>", 4, 3},
      {"<r>\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80</s>", 1, 6},
      {"<r>\n\n\n                                        </s>", 4, 40},
      {"<r>\r\n\r\n\r\r\n</s>", 5, 0},
  };
  for (const Row& row : rows) {
    const std::string doc = row.input;
    const std::string expected = " " + std::to_string(row.line) + ':' + std::to_string(row.column) + "\n";
    const std::string got = whole(doc);
    CHECK_EQ(got.substr(got.rfind(' ')), expected);
  }
}

TEST(stream_constructs_past_their_limit_are_not_held) {
  // Fed in small pieces, a construct past its limit is refused once the limit is passed,
  // holding no more than the limit, whatever would have followed.
  ParseOptions options;
  options.max_comment_size = 1000;
  options.max_text_size = 1000;
  options.max_name_size = 1000;
  options.max_attribute_size = 1000;
  for (const std::string& open : {std::string("<r><!--"), std::string("<r>"), std::string("<r><![CDATA["),
                                  std::string("<r><?pi "), std::string("<r a='"), std::string("<r xmlns:p=\""),
                                  std::string("<"), std::string("<r></")}) {
    EventStream stream(options);
    stream.feed(open.data(), open.size(), false);
    std::size_t most_held = 0;
    EventStream::Status status = EventStream::Status::Ok;
    for (int i = 0; i < 100000 && status == EventStream::Status::Ok; ++i) {
      status = stream.feed("xy", 2, false);
      if (stream.bytes_held() > most_held) most_held = stream.bytes_held();
    }
    CHECK(status == EventStream::Status::Failed);
    CHECK(most_held <= 1000 + open.size() + 2);
  }
}

TEST(stream_long_constructs_in_small_pieces_are_linear) {
  // A construct that never ends, fed one byte at a time, is searched once: 1 MB would take
  // minutes if every piece searched it again.
  for (const std::string& open : {std::string("<r><!--"), std::string("<r a='"), std::string("<r>"),
                                  std::string("<?pi "), std::string("<!DOCTYPE r ["), std::string("<r><![CDATA["),
                                  std::string("<!DOCTYPE r SYSTEM '"), std::string("<!DOCTYPE r [<!ENTITY e '"),
                                  std::string("<!DOCTYPE r [<!-- "), std::string("<!DOCTYPE r [<?p ")}) {
    EventStream stream(ParseOptions{});
    stream.feed(open.data(), open.size(), false);
    const std::string filler(1 << 20, 'x');
    for (char c : filler) CHECK(stream.feed(&c, 1, false) == EventStream::Status::Ok);
    CHECK(stream.bytes_held() >= filler.size());
    CHECK(stream.feed(nullptr, 0, true) == EventStream::Status::Failed);
  }
}

TEST(stream_tag_with_endless_attributes_is_refused_early) {
  ParseOptions options;
  options.max_attributes = 10;
  EventStream stream(options);
  stream.feed("<r", 2, false);
  int fed = 0;
  EventStream::Status status = EventStream::Status::Ok;
  for (; fed < 100000 && status == EventStream::Status::Ok; ++fed) {
    const std::string attribute = " a" + std::to_string(fed) + "=''";
    status = stream.feed(attribute.data(), attribute.size(), false);
  }
  CHECK(status == EventStream::Status::Failed);
  CHECK(stream.failure()->kind() == FailureKind::MaxAttributesExceeded);
  CHECK(fed <= 10 + 130);  // refused at the value after max_attributes + 129
}
