#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "tokenizer/scan.h"
#include "common/utf8.h"
#include "tokenizer/xml_tokenizer.h"

using vorlane::TokenizerError;
using vorlane::XmlEvent;
using vorlane::XmlEventKind;
using vorlane::XmlTokenizer;

namespace {

const char* kind_name(XmlEventKind kind) {
  switch (kind) {
    case XmlEventKind::StartTag: return "start";
    case XmlEventKind::EndTag: return "end";
    case XmlEventKind::EmptyTag: return "empty";
    case XmlEventKind::Text: return "text";
    case XmlEventKind::Cdata: return "cdata";
    case XmlEventKind::Comment: return "comment";
    case XmlEventKind::Declaration: return "decl";
    case XmlEventKind::Instruction: return "pi";
    case XmlEventKind::Doctype: return "doctype";
    case XmlEventKind::Reference: return "ref";
    case XmlEventKind::EndOfInput: return "eof";
    case XmlEventKind::NeedMore: return "more";
    case XmlEventKind::TagPastLimit: return "cut";
    case XmlEventKind::TagPastCount: return "cut count";
    case XmlEventKind::EndTagPastLimit: return "cut end";
  }
  return "?";
}

// Runs the tokenizer to the end and renders every event as kind(content|name_length) (the
// length only for kinds that carry one), joined by spaces; an error ends the list with
// "error: <message>". Checks on the way that every payload lies inside the input and that
// nothing but EndOfInput follows the end.
std::string run(std::string_view input) {
  XmlTokenizer tokenizer(input.data(), input.size());
  std::string out;
  for (int guard = 0; guard < 100000; ++guard) {
    XmlEvent event;
    std::optional<TokenizerError> error = tokenizer.next_event(event);
    if (!out.empty()) out += ' ';
    if (error) {
      out += "error: " + error->message;
      break;
    }
    if (event.kind == XmlEventKind::EndOfInput) {
      out += "eof";
      break;
    }
    CHECK(event.content.data() >= input.data());
    CHECK(event.content.data() + event.content.size() <= input.data() + input.size());
    out += kind_name(event.kind);
    out += '(';
    out += event.content;
    if (event.kind == XmlEventKind::StartTag || event.kind == XmlEventKind::EmptyTag ||
        event.kind == XmlEventKind::Instruction) {
      out += '|' + std::to_string(event.name_length);
    }
    out += ')';
  }
  XmlEvent after;
  after.kind = XmlEventKind::Text;
  CHECK(!tokenizer.next_event(after));
  CHECK(after.kind == XmlEventKind::EndOfInput);
  return out;
}

std::string first_error(std::string_view input) {
  std::string events = run(input);
  const std::size_t at = events.find("error: ");
  return at == std::string::npos ? "no error" : events.substr(at + 7);
}

struct EventCase {
  std::string input;
  std::string events;
};

}  // namespace

TEST(tokenizer_event_sequences) {
  const std::vector<EventCase> cases = {
      {"", "eof"},
      {"<a>x&amp;y</a>", "start(a|1) text(x) ref(amp) text(y) end(a) eof"},
      {"<a>&;&#x41;</a>", "start(a|1) ref() ref(#x41) end(a) eof"},
      {"<a b=\">\"/>", "empty(a b=\">\"|1) eof"},
      {"<a b='x\"y>'>t</a>", "start(a b='x\"y>'|1) text(t) end(a) eof"},
      {"<a></a >", "start(a|1) end(a) eof"},
      {"<a/ ></a/>", "start(a/ |2) end(a/) eof"},
      {"<></>", "start(|0) end() eof"},
      {"<a<b></a<b>", "start(a<b|3) end(a<b) eof"},
      {"<a\"x y\">", "start(a\"x y\"|3) eof"},
      {"<a>", "start(a|1) eof"},
      {"<!-- a -- b -->", "comment( a -- b ) eof"},
      {"<!---->", "comment() eof"},
      {"<!-->-->", "comment(>) eof"},
      {"<!--->-->", "comment(->) eof"},
      {"<!---->-->", "comment() text(-->) eof"},
      {"<![CDATA[]]>", "cdata() eof"},
      {"<![CDATA[a]>]]]>b]]>", "cdata(a]>]) text(b]]>) eof"},
      {"<?xml?>", "decl(xml) eof"},
      {"<?xml version='1.0'?>", "decl(xml version='1.0') eof"},
      {"<?xml-stylesheet x?>", "pi(xml-stylesheet x|14) eof"},
      {"<?pi a?b>c?>", "pi(pi a?b>c|2) eof"},
      {"<?" "?>", "pi(|0) eof"},
      {"<r/><?xml version=\"9.9\"?>", "empty(r|1) decl(xml version=\"9.9\") eof"},
      {"<!DOCTYPEroot>", "doctype(root) eof"},
      {"<!doctype \t r SYSTEM 'a>b' >", "doctype(r SYSTEM 'a>b' ) eof"},
      {"<!doctype r [<!ENTITY e \"]>\">]><r/>", "doctype(r [<!ENTITY e \"]>\">]) empty(r|1) eof"},
      {"<!DOCTYPE r [<!ATTLIST a b CDATA ']>'>]>", "doctype(r [<!ATTLIST a b CDATA ']>'>]) eof"},
      {"<!DOCTYPE r [<!ELEMENT a \"x>]>", "doctype(r [<!ELEMENT a \"x>]) eof"},
      {"<!DOCTYPE r [<!-- ] > --> ]>", "doctype(r [<!-- ] > --> ]) eof"},
      {"<!DOCTYPE r [<!-->]>-->]>", "doctype(r [<!-->]>-->]) eof"},
      {"<!DOCTYPE r [<? ] > ?>]>", "doctype(r [<? ] > ?>]) eof"},
      {"<!DOCTYPE r [<?>]>", "doctype(r [<?>]) eof"},
      {"<!DOCTYPE r [<x ]>]>", "doctype(r [<x ]>]) eof"},
      {"<!DOCTYPE r [] junk>", "doctype(r [] junk) eof"},
      {"<!DOCTYPE r \"[\" [ ]>", "doctype(r \"[\" [ ]) eof"},
      {"<!DOCTYPE r [ \"]>", "doctype(r [ \"]) eof"},
      {"<!DOCTYPE a><!DOCTYPE b>", "doctype(a) doctype(b) eof"},
      {"a]]>b", "text(a]]>b) eof"},
      {"\r\n<a>\r\n</a>", "text(\r\n) start(a|1) text(\r\n) end(a) eof"},
  };
  for (const auto& c : cases) CHECK_EQ(run(c.input), c.events);
}

TEST(tokenizer_error_texts) {
  const std::string dq = "syntax error: attribute value not closed: `\"` not found before end of input";
  const std::string sq = "syntax error: attribute value not closed: `'` not found before end of input";
  const std::string tag = "syntax error: tag not closed: `>` not found before end of input";
  const std::string unknown = "syntax error: unknown or missed symbol in markup";
  const std::string pi =
      "syntax error: processing instruction not closed: `?>` not found before end of input";
  const std::string decl = "syntax error: XML declaration not closed: `?>` not found before end of input";
  const std::string comment = "syntax error: comment not closed: `-->` not found before end of input";
  const std::string doctype = "syntax error: DOCTYPE not closed: `>` not found before end of input";
  const std::string cdata = "syntax error: CDATA not closed: `]]>` not found before end of input";
  const std::string ref =
      "ill-formed document: entity or character reference not closed: `;` not found before end of input";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<", tag},
      {"<a", tag},
      {"<a b='x\">", sq},
      {"<a b=\"x>", dq},
      {"<a></a", tag},
      {"<a></a b='", sq},
      {"</", tag},
      {"<!", unknown},
      {"<!x>", unknown},
      {"<!ENTITY e \"x\">", unknown},
      {"<!-", comment},
      {"<!-x-->", comment},
      {"<!-->", comment},
      {"<!--->", comment},
      {"<!-- x --", comment},
      {"<![", cdata},
      {"<![CDATA[x", cdata},
      {"<![cdata[x]]>", cdata},
      {"<![CDATA]]>", cdata},
      {"<!DOCTYP>", doctype},
      {"<!DOCTYPE r", doctype},
      {"<!DOCTYPE r 'x>", doctype},
      {"<!DOCTYPE r [<!ENTITY e 'x>]>", doctype},
      {"<!DOCTYPE r [<!-- ]> -- >]>", doctype},
      {"<!DOCTYPE r [<? ]> ? >]>", doctype},
      {"<!DOCTYPE r []", doctype},
      {"<!DOCTYPE>", "ill-formed document: `<!DOCTYPE>` declaration does not contain a name of a document type"},
      {"<!doctype \t\r\n>", "ill-formed document: `<!DOCTYPE>` declaration does not contain a name of a document type"},
      {"<?pi", pi},
      {"<?>", pi},
      {"<?>?>", pi},
      {"<?xml version=\"1.0\"", decl},
      {"<?xml", decl},
      {"<?xml?", decl},
      {"<?xmlfoo", pi},
      {"<?xm", pi},
      {"<a></b>", "ill-formed document: expected `</a>`, but `</b>` was found"},
      {"<a></ a>", "ill-formed document: expected `</a>`, but `</ a>` was found"},
      {"<a x='1'></a x>", "ill-formed document: expected `</a>`, but `</a x>` was found"},
      {"</a>", "ill-formed document: close tag `</a>` does not match any open tag"},
      {"<a/></b >", "ill-formed document: close tag `</b>` does not match any open tag"},
      {"<a>AT&T</a>", ref},
      {"<a>&amp</a>", ref},
      {"&x&y;", ref},
      {"&", ref},
  };
  for (const auto& [input, message] : cases) CHECK_EQ(first_error(input), message);
}

TEST(tokenizer_error_stops_events) {
  // Events before the faulty construct are delivered; nothing after it.
  CHECK_EQ(run("<a>x<b"), "start(a|1) text(x) error: syntax error: tag not closed: `>` not found before end of input");
  CHECK_EQ(run("<a>t&u<c/>"),
           "start(a|1) text(t) error: ill-formed document: entity or character reference not closed: `;` not found before end of input");
}

TEST(tokenizer_utf8_details) {
  const std::string bad = "cannot decode input using UTF-8: invalid utf-8 sequence of ";
  const std::string incomplete = "cannot decode input using UTF-8: incomplete utf-8 byte sequence from index ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ab\xff", bad + "1 bytes from index 2"},
      {"a\x80", bad + "1 bytes from index 1"},
      {"\xc0\x80", bad + "1 bytes from index 0"},
      {"\xe0\x80\x80", bad + "1 bytes from index 0"},
      {"\xe0\xa0", incomplete + "0"},
      {"\xed\xa0\x80", bad + "1 bytes from index 0"},
      {"x\xed\x9f\xbf\xed\xbf", bad + "1 bytes from index 4"},
      {"\xf4\x90\x80\x80", bad + "1 bytes from index 0"},
      {"\xf0\x8f\xbf\xbf", bad + "1 bytes from index 0"},
      {"\xf5\x80", bad + "1 bytes from index 0"},
      {"\xe2\x82x", bad + "2 bytes from index 0"},
      {"\xf0\x9f\x98x", bad + "3 bytes from index 0"},
      {"\xf0\x9f\x98", incomplete + "0"},
      {"ab\xe2\x82<a/>", incomplete + "2"},
      {"ab\xe2\x82&amp;", incomplete + "2"},
      // Markup is checked from its "<" through its ">".
      {"<a b='\xff'/>", bad + "1 bytes from index 6"},
      {"<a>text</a\xe2\x82>", bad + "2 bytes from index 3"},
      {"<!-- \xe2\x82-->", bad + "2 bytes from index 5"},
      {"<![CDATA[\x80]]>", bad + "1 bytes from index 9"},
      {"<?pi \xf8?>", bad + "1 bytes from index 5"},
      {"<!DOCTYPE \xc3(>", bad + "1 bytes from index 10"},
      {"x&\xe9;", bad + "1 bytes from index 1"},
      // The structural error of a construct wins over its bytes.
      {"<a \xff", "syntax error: tag not closed: `>` not found before end of input"},
      {"<!-\xff-->", "syntax error: comment not closed: `-->` not found before end of input"},
      {"&\xff", "ill-formed document: entity or character reference not closed: `;` not found before end of input"},
      // ...and the bytes of an end tag are checked before its name is compared.
      {"<a></\xff>", bad + "1 bytes from index 2"},
  };
  for (const auto& [input, message] : cases) CHECK_EQ(first_error(input), message);

  const std::vector<std::string> valid = {
      "\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf",
      "\xf0\x90\x80\x80", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf",
  };
  for (const auto& text : valid) CHECK_EQ(run("<a x='" + text + "'>" + text + "</a>"),
                                          "start(a x='" + text + "'|1) text(" + text + ") end(a) eof");
}

TEST(tokenizer_utf8_positions_across_vector_blocks) {
  // The bad byte sits at every offset of a long ASCII run, including block boundaries.
  for (std::size_t at = 0; at < 150; ++at) {
    std::string text(160, 'q');
    text[at] = '\xa9';
    CHECK_EQ(first_error(text), "cannot decode input using UTF-8: invalid utf-8 sequence of 1 bytes from index " +
                                    std::to_string(at));
    std::string markup = "<a b='" + text + "'/>";
    CHECK_EQ(first_error(markup), "cannot decode input using UTF-8: invalid utf-8 sequence of 1 bytes from index " +
                                      std::to_string(at + 6));
  }
}

TEST(tokenizer_byte_order_marks) {
  CHECK_EQ(run("\xef\xbb\xbf<a/>"), "empty(a|1) eof");
  CHECK_EQ(run("\xff\xfe<a/>"), "empty(a|1) eof");
  CHECK_EQ(run("\xfe\xff<a/>"), "empty(a|1) eof");
  CHECK_EQ(run("\xef\xbb\xbf"), "eof");
  CHECK_EQ(run("\xef\xbb\xbf\xef\xbb\xbfx"), "text(\xef\xbb\xbfx) eof");  // only the first mark
  // Index counts from the text run, which starts after the mark.
  CHECK_EQ(first_error("\xef\xbb\xbf" "ab\xff"),
           "cannot decode input using UTF-8: invalid utf-8 sequence of 1 bytes from index 2");
  CHECK_EQ(first_error("\xef\xbb"), "cannot decode input using UTF-8: incomplete utf-8 byte sequence from index 0");
  CHECK_EQ(first_error("\xff"), "cannot decode input using UTF-8: invalid utf-8 sequence of 1 bytes from index 0");
}

TEST(tokenizer_deep_nesting) {
  const std::size_t depth = 200000;
  std::string input;
  for (std::size_t i = 0; i < depth; ++i) input += "<n" + std::to_string(i % 7) + ">";
  for (std::size_t i = depth; i-- > 0;) input += "</n" + std::to_string(i % 7) + ">";
  XmlTokenizer tokenizer(input.data(), input.size());
  std::size_t starts = 0, ends = 0;
  XmlEvent event;
  while (!tokenizer.next_event(event) && event.kind != XmlEventKind::EndOfInput) {
    starts += event.kind == XmlEventKind::StartTag;
    ends += event.kind == XmlEventKind::EndTag;
  }
  CHECK(event.kind == XmlEventKind::EndOfInput);
  CHECK_EQ(starts, depth);
  CHECK_EQ(ends, depth);
}

TEST(tokenizer_adversarial_inputs_are_linear) {
  const std::size_t n = 4 * 1000 * 1000;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<!--" + std::string(n, '-'), "syntax error: comment not closed: `-->` not found before end of input"},
      {"<!--" + std::string(n, '>'), "syntax error: comment not closed: `-->` not found before end of input"},
      {"<?" + std::string(n, '?'), "syntax error: processing instruction not closed: `?>` not found before end of input"},
      {"<?" + std::string(n, '>'), "syntax error: processing instruction not closed: `?>` not found before end of input"},
      {"<![CDATA[" + std::string(n, ']'), "syntax error: CDATA not closed: `]]>` not found before end of input"},
      {"<a " + std::string(n + 1, '\''), "syntax error: attribute value not closed: `'` not found before end of input"},
      {"<!DOCTYPE r [" + std::string(n / 4, '<') , "syntax error: DOCTYPE not closed: `>` not found before end of input"},
      {"<!DOCTYPE r [" + std::string(n, '"'), "syntax error: DOCTYPE not closed: `>` not found before end of input"},
      {"<!DOCTYPE " + std::string(n, '\''), "syntax error: DOCTYPE not closed: `>` not found before end of input"},
  };
  for (const auto& [input, message] : cases) {
    const auto start = std::chrono::steady_clock::now();
    CHECK_EQ(first_error(input), message);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    CHECK(ms.count() < 5000);
  }
  std::string many_refs;
  for (std::size_t i = 0; i < n / 8; ++i) many_refs += "<a>&l;</a>";
  std::size_t events = 0;
  XmlTokenizer tokenizer(many_refs.data(), many_refs.size());
  XmlEvent event;
  while (!tokenizer.next_event(event) && event.kind != XmlEventKind::EndOfInput) ++events;
  CHECK_EQ(events, 3 * (n / 8));
}

TEST(tokenizer_scan_matches_naive_search) {
  std::mt19937 rng(12345);
  const std::string alphabet = "ab<&>\"'\x80\xff";
  for (int round = 0; round < 3000; ++round) {
    const std::size_t length = rng() % 140;
    std::string buffer(length, 'x');
    const int density = 1 + static_cast<int>(rng() % 40);
    for (char& c : buffer) {
      if (static_cast<int>(rng() % density) == 0) c = alphabet[rng() % alphabet.size()];
    }
    const char* begin = buffer.data();
    const char* end = begin + buffer.size();
    const std::size_t from = length == 0 ? 0 : rng() % (length + 1);
    unsigned high = 0;
    const char* got = vorlane::scan::find_any<'<', '&'>(begin + from, end, high);
    const char* want = std::find_if(begin + from, end, [](char c) { return c == '<' || c == '&'; });
    CHECK(got == want);
    CHECK_EQ(high != 0, std::any_of(begin + from, want, [](char c) { return (c & 0x80) != 0; }));
    const char* got3 = vorlane::scan::find_any<'>', '"', '\''>(begin + from, end);
    const char* want3 = std::find_if(begin + from, end, [](char c) { return c == '>' || c == '"' || c == '\''; });
    CHECK(got3 == want3);

    char want_quote = 0;
    const char* want_gt = end;
    for (const char* c = begin + from; c < end; ++c) {
      if (want_quote != 0) {
        if (*c == want_quote) want_quote = 0;
      } else if (*c == '>') {
        want_gt = c;
        break;
      } else if (*c == '"' || *c == '\'') {
        want_quote = *c;
      }
    }
    char got_quote = 'x';
    unsigned tag_high = 0;
    CHECK(vorlane::scan::find_unquoted_gt(begin + from, end, got_quote, tag_high) == want_gt);
    CHECK_EQ(got_quote, want_quote);
    CHECK_EQ(tag_high != 0, std::any_of(begin + from, want_gt, [](char c) { return (c & 0x80) != 0; }));
  }
}
