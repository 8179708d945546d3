#include <chrono>
#include <string>
#include <vector>

#include "check.h"
#include "doctype/doctype.h"

using vorlane::analyze_doctype;
using vorlane::doctype_parts;
using vorlane::apply_doctype_policy;
using vorlane::DoctypeInfo;
using vorlane::FailureKind;
using vorlane::OptString;
using vorlane::ParseOptions;

namespace {

std::string show_opt(const OptString& s) { return s ? "'" + *s + "'" : std::string("None"); }

// A compact rendering so that a table row compares the whole analysis at once.
std::string render(const DoctypeInfo& info) {
  std::string out = "name='" + info.name + "' sys=" + show_opt(info.system_id) + " pub=" + show_opt(info.public_id);
  for (const auto& e : info.entities) {
    out += " | ENTITY '" + e.name + "' value=" + show_opt(e.value) + " sys=" + show_opt(e.system_id) +
           " pub=" + show_opt(e.public_id) + " ndata=" + show_opt(e.notation_name);
  }
  return out;
}

struct AnalysisCase {
  const char* text;
  const char* expected;
};

}  // namespace

static const std::vector<AnalysisCase>& analysis_cases() {
  static const std::vector<AnalysisCase> cases = {
      {"", "name='' sys=None pub=None"},
      {" \t\n ", "name='' sys=None pub=None"},
      {"root", "name='root' sys=None pub=None"},
      {"root SYSTEM 'x.dtd'", "name='root' sys='x.dtd' pub=None"},
      {"html PUBLIC 'p' 's'", "name='html' sys='s' pub='p'"},
      {"html PUBLIC \"p\"\"s\"", "name='html' sys='s' pub='p'"},
      {"html PUBLIC 'p'", "name='html' sys=None pub='p'"},
      {"html PUBLIC x 's'", "name='html' sys=None pub=None"},
      {"r xSYSTEM 'a'", "name='r' sys='a' pub=None"},
      {"r SYSTEM 'a' SYSTEM 'b' PUBLIC 'p1' PUBLIC 'p2'", "name='r' sys='b' pub='p2'"},
      {"r 'q' SYSTEM", "name='r' sys=None pub=None"},
      {"r SYSTEM 'unterminated", "name='r' sys=None pub=None"},
      {"r SYSTEM 'a[b'", "name='r' sys='a[b' pub=None"},
      {"r [ SYSTEM 'a' ]", "name='r' sys=None pub=None"},
      {"r[<!ELEMENT r ANY>]", "name='r' sys=None pub=None"},
      {"r>x", "name='r' sys=None pub=None"},
      // Unicode white space trims and ends the name; DTD white space does not include VT.
      {"\xC2\xA0r\xE2\x80\x80x\xE3\x80\x80", "name='r' sys=None pub=None"},
      {"r\x0bSYSTEM\x0b'a'", "name='r' sys=None pub=None"},
      {"r SYSTEM\x0c'a'", "name='r' sys='a' pub=None"},
      {"r\xE2\x80\xA8SYSTEM 'a'", "name='r' sys='a' pub=None"},
      {"\xC3\xA9l\xC3\xA9ment SYSTEM '\xE2\x82\xAC'", "name='\xC3\xA9l\xC3\xA9ment' sys='\xE2\x82\xAC' pub=None"},
      // U+2030 shares its first two bytes with white space but is not white space.
      {"a\xE2\x80\xB0" "b", "name='a\xE2\x80\xB0" "b' sys=None pub=None"},
      // Internal subset and entity declarations.
      {"r [<!ENTITY a 'b'>]", "name='r' sys=None pub=None | ENTITY 'a' value='b' sys=None pub=None ndata=None"},
      {"[<!ENTITY a 'b'>]", "name='' sys=None pub=None | ENTITY 'a' value='b' sys=None pub=None ndata=None"},
      {"r [<!ENTITY]", "name='r' sys=None pub=None | ENTITY '' value=None sys=None pub=None ndata=None"},
      {"r [<!ENTITY % pe 'v'>]", "name='r' sys=None pub=None | ENTITY 'pe' value='v' sys=None pub=None ndata=None"},
      {"r [<!ENTITY %pe 'v'>]", "name='r' sys=None pub=None | ENTITY 'pe' value='v' sys=None pub=None ndata=None"},
      {"r [<!ENTITY a 'x' 'y'>]", "name='r' sys=None pub=None | ENTITY 'a' value='y' sys=None pub=None ndata=None"},
      {"r [<!ENTITY a SYSTEM 's' NDATA n>]",
       "name='r' sys=None pub=None | ENTITY 'a' value=None sys='s' pub=None ndata='n'"},
      {"r [<!ENTITY a NDATA>]", "name='r' sys=None pub=None | ENTITY 'a' value=None sys=None pub=None ndata=''"},
      {"r [<!ENTITY a PUBLIC 'p' 's'>]", "name='r' sys=None pub=None | ENTITY 'a' value=None sys='s' pub='p' ndata=None"},
      {"r [<!ENTITY a 'v' PUBLIC 'p' 'w'>]",
       "name='r' sys=None pub=None | ENTITY 'a' value='v' sys='w' pub='p' ndata=None"},
      {"r [<!ENTITY a \"x>y\" 'z'>]", "name='r' sys=None pub=None | ENTITY 'a' value='z' sys=None pub=None ndata=None"},
      {"r [<!ENTITY a xSYSTEM'f'y>]", "name='r' sys=None pub=None | ENTITY 'a' value=None sys='f' pub=None ndata=None"},
      {"r [<!ENTITY a xSYSTEMy'f'>]", "name='r' sys=None pub=None | ENTITY 'a' value='f' sys=None pub=None ndata=None"},
      {"r [<!-- <!ENTITY a 'b'> -->]", "name='r' sys=None pub=None | ENTITY 'a' value='b' sys=None pub=None ndata=None"},
      {"r [<!entity a 'b'>]", "name='r' sys=None pub=None"},
      {"r [<!ENTITY a 'b'><!ENTITY a 'c'>]",
       "name='r' sys=None pub=None | ENTITY 'a' value='b' sys=None pub=None ndata=None | ENTITY 'a' value='c' "
       "sys=None pub=None ndata=None"},
      // A declaration without '>' absorbs the next one.
      {"r [<!ENTITY a 'b' <!ENTITY c SYSTEM 'f'>]",
       "name='r' sys=None pub=None | ENTITY 'a' value='b' sys='f' pub=None ndata=None"},
      // An unterminated quote is passed over; the scan goes on.
      {"r [<!-- <!ENTITY a 'x --> <!ENTITY b \"y\">]",
       "name='r' sys=None pub=None | ENTITY 'a' value=None sys=None pub=None ndata=None | ENTITY 'b' value='y' "
       "sys=None pub=None ndata=None"},
      {"r [<!ENTITY a 'x]", "name='r' sys=None pub=None | ENTITY 'a' value=None sys=None pub=None ndata=None"},
      // A quote closes only within the subset, not in the text after its last ']'.
      {"r [<!ENTITY a 'x] 'y'", "name='r' sys=None pub=None | ENTITY 'a' value=None sys=None pub=None ndata=None"},
      // Subset between the first '[' and the last ']' after it.
      {"r [<!ENTITY a ']'>]", "name='r' sys=None pub=None | ENTITY 'a' value=']' sys=None pub=None ndata=None"},
      {"r] SYSTEM '[<!ENTITY a 'b'>'", "name='r]' sys='[<!ENTITY a ' pub=None"},
      {"r [<!ENTITY a 'b'>", "name='r' sys=None pub=None"},
      // The subset starts at the first '[', even inside a literal.
      {"r SYSTEM '[' [<!ENTITY a 'b'>]",
       "name='r' sys='[' pub=None | ENTITY 'a' value='b' sys=None pub=None ndata=None"},
      {"\xE2\x80\x83r [<!ENTITY \xC3\xA9 '\xE2\x82\xAC' NDATA \xC3\xBC>]\xC2\x85",
       "name='r' sys=None pub=None | ENTITY '\xC3\xA9' value='\xE2\x82\xAC' sys=None pub=None ndata='\xC3\xBC'"},
  };
  return cases;
}

TEST(doctype_analysis_table) {
  for (const auto& c : analysis_cases()) {
    CHECK_EQ(render(analyze_doctype(c.text)), std::string(c.expected));
  }
}

// What a document reports: the analysis's name and identifiers on every row, and the
// internal subset as written, from the "[" outside a literal to the last "]".
TEST(doctype_parts_table) {
  const auto show = [](const std::optional<std::string_view>& s) { return s ? OptString(*s) : OptString(); };
  for (const auto& c : analysis_cases()) {
    const auto parts = doctype_parts(c.text);
    const DoctypeInfo info = analyze_doctype(c.text);
    CHECK(parts.name == info.name && show(parts.system_id) == info.system_id && show(parts.public_id) == info.public_id);
  }
  const struct {
    const char* text;
    const char* subset;
  } rows[] = {
      {"r SYSTEM 'x'", "None"},
      {"r []", "''"},
      {"r SYSTEM 'a[b' [ <!ELEMENT r ANY>\r\n] \n", "' <!ELEMENT r ANY>\r\n'"},
      {"r [<!ENTITY a ']'><!-- ] -->]", "'<!ENTITY a ']'><!-- ] -->'"},
      {"r] SYSTEM '['", "None"},
  };
  for (const auto& row : rows) CHECK_EQ(show_opt(show(doctype_parts(row.text).internal_subset)), std::string(row.subset));
  for (const auto& [id, normalized] : {std::pair{" -//a\n\t b  //EN\r\n", "-//a b //EN"}, {"", ""}, {" \t ", ""}}) {
    CHECK_EQ(vorlane::normalized_public_id(id), std::string(normalized));
  }
}

TEST(doctype_read_quoted_literal) {
  auto lit = vorlane::read_quoted_literal(" \t'a\"b' x", 0);
  CHECK(lit.has_value());
  if (lit) {
    CHECK_EQ(lit->text, std::string_view("a\"b"));
    CHECK_EQ(lit->end, std::size_t{7});
  }
  CHECK(!vorlane::read_quoted_literal("  x'a'", 0));
  CHECK(!vorlane::read_quoted_literal("'abc", 0));
  CHECK(!vorlane::read_quoted_literal("ab", 2));
  auto empty = vorlane::read_quoted_literal("\"\"", 0);
  CHECK(empty && empty->text.empty() && empty->end == 2);
}

namespace {

ParseOptions switches(bool dtd, bool entities, bool external) {
  ParseOptions o;
  o.forbid_dtd = dtd;
  o.forbid_entities = entities;
  o.forbid_external = external;
  return o;
}

// Renders a verdict, including every payload field.
std::string render_verdict(const vorlane::MaybeFailure& failure) {
  if (!failure) return "ok";
  switch (failure->kind()) {
    case FailureKind::DtdForbidden: {
      const auto& p = failure->dtd();
      return "DTD('" + p.name + "', " + show_opt(p.system_id) + ", " + show_opt(p.public_id) + ")";
    }
    case FailureKind::ExternalReferenceForbidden: {
      const auto& p = failure->external();
      return "EXT(" + show_opt(p.system_id) + ", " + show_opt(p.public_id) + ")";
    }
    case FailureKind::EntitiesForbidden: {
      const auto& p = failure->entity();
      return "ENT('" + p.name + "', " + show_opt(p.value) + ", " + show_opt(p.system_id) + ", " +
             show_opt(p.public_id) + ", " + show_opt(p.notation_name) + ")";
    }
    default:
      return "unexpected kind";
  }
}

std::string verdict(std::string_view text, const ParseOptions& options) {
  return render_verdict(apply_doctype_policy(analyze_doctype(text), options));
}

struct PolicyCase {
  const char* text;
  ParseOptions options;
  const char* expected;
};

}  // namespace

TEST(doctype_policy_table) {
  const ParseOptions defaults;
  const ParseOptions all_off = switches(false, false, false);
  const std::vector<PolicyCase> cases = {
      {"root [<!ELEMENT root ANY>]", defaults, "ok"},
      {"root SYSTEM 'x.dtd'", defaults, "EXT('x.dtd', None)"},
      {"r [<!ENTITY a 'b'>]", defaults, "ENT('a', 'b', None, None, None)"},
      {"r [<!ENTITY a SYSTEM 'f'>]", defaults, "EXT('f', None)"},
      {"r [<!ENTITY a SYSTEM 'f'>]", switches(false, true, false), "ENT('a', None, 'f', None, None)"},
      {"r [<!ENTITY a 'v'><!ENTITY b PUBLIC 'p'>]", defaults, "EXT(None, 'p')"},
      {"r [<!ENTITY a 'v'><!ENTITY b PUBLIC 'p'>]", switches(false, true, false), "ENT('a', 'v', None, None, None)"},
      {"html PUBLIC 'p' 's'", switches(true, false, false), "DTD('html', 's', 'p')"},
      {"r SYSTEM 'x' [<!ENTITY a 'b'>]", switches(true, true, true), "DTD('r', 'x', None)"},
      {"r SYSTEM 'x' [<!ENTITY a 'b'>]", switches(false, true, true), "EXT('x', None)"},
      {"r SYSTEM 'x' [<!ENTITY a 'b'>]", switches(false, true, false), "ENT('a', 'b', None, None, None)"},
      {"r SYSTEM 'x' [<!ENTITY a 'b'>]", all_off, "ok"},
      {"r [<!ENTITY]", defaults, "ENT('', None, None, None, None)"},
  };
  for (const auto& c : cases) {
    CHECK_EQ(verdict(c.text, c.options), std::string(c.expected));
    CHECK_EQ(render_verdict(vorlane::judge_doctype(c.text, c.options)), std::string(c.expected));
  }
}

// The constant-memory judgement agrees with the full analysis under every switch setting.
TEST(doctype_judge_matches_full_analysis) {
  std::vector<std::string> texts;
  for (const auto& c : analysis_cases()) texts.emplace_back(c.text);
  texts.emplace_back("r [<!ENTITY a 'v'><!ENTITY b 'w'><!ENTITY c PUBLIC 'p'><!ENTITY d SYSTEM 's'>]");
  texts.emplace_back("r [<!ENTITY a SYSTEM 'f'><!ENTITY b 'w'>]");
  texts.emplace_back("r SYSTEM 'x' [<!ENTITY a 'v'><!ENTITY b SYSTEM 's'>]");
  for (const auto& text : texts) {
    for (int bits = 0; bits < 8; ++bits) {
      const ParseOptions options = switches(bits & 1, bits & 2, bits & 4);
      CHECK_EQ(render_verdict(vorlane::judge_doctype(text, options)), verdict(text, options));
    }
  }
}

namespace {

double seconds_to_analyze(const std::string& text, std::size_t expected_entities) {
  const auto start = std::chrono::steady_clock::now();
  const DoctypeInfo info = analyze_doctype(text);
  const auto stop = std::chrono::steady_clock::now();
  CHECK_EQ(info.entities.size(), expected_entities);
  return std::chrono::duration<double>(stop - start).count();
}

std::string repeated(std::string_view piece, std::size_t count) {
  std::string out;
  out.reserve(piece.size() * count);
  for (std::size_t i = 0; i < count; ++i) out.append(piece);
  return out;
}

}  // namespace

// Inputs built to make naive quote and keyword searches quadratic. At 1-2 MB a quadratic
// scan takes minutes even without sanitizers; a linear one takes milliseconds.
TEST(doctype_adversarial_inputs_finish_quickly) {
  const std::size_t n = 100000;
  double total = 0;
  // One declaration absorbing 10**5 unterminated quotes.
  total += seconds_to_analyze("r [" + repeated("<!ENTITY a '", n) + "]", 1);
  total += seconds_to_analyze("r [" + repeated("<!ENTITY a \"", n) + "]", 1);
  // Keywords whose literal never closes, before and inside the subset.
  total += seconds_to_analyze("r " + repeated("PUBLIC '", n) + repeated("SYSTEM \"", n), 0);
  total += seconds_to_analyze("r [" + repeated("<!ENTITY a PUBLIC 'x' SYSTEM \"", n) + "]", 1);
  // Many complete declarations; declarations whose literal runs into the next one.
  total += seconds_to_analyze("r [" + repeated("<!ENTITY a 'b'>", n) + "]", n);
  total += seconds_to_analyze("r [" + repeated("<!ENTITY a \">", n) + "]", n / 2);
  total += seconds_to_analyze("r [" + repeated("<!ENTIT", n) + "]", 0);
  // Many '[' and no ']' after the first: no subset, but the identifier scan stops early.
  total += seconds_to_analyze("r " + repeated("[", 10 * n), 0);
  CHECK(total < 5.0);
}
