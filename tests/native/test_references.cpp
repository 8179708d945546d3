#include <string>
#include <vector>

#include "check.h"
#include "parser/references.h"

using vorlane::FailureKind;
using vorlane::MaybeFailure;
using vorlane::ParseOptions;

namespace {

// "=" + output on success, "SYNTAX:" + message, or "ENT:" + name (other fields must be absent).
std::string outcome(const MaybeFailure& failure, const std::string& out) {
  if (!failure) return "=" + out;
  if (failure->kind() == FailureKind::Syntax) return "SYNTAX:" + failure->message();
  if (failure->kind() == FailureKind::EntitiesForbidden) {
    const auto& e = failure->entity();
    if (e.value || e.system_id || e.public_id || e.notation_name) return "ENT with extra fields";
    return "ENT:" + e.name;
  }
  return "unexpected kind";
}

std::string text_ref(std::string_view name, bool forbid_entities = true) {
  ParseOptions options;
  options.forbid_entities = forbid_entities;
  std::string out = "pre";
  auto failure = vorlane::expand_reference(name, options, out);
  return outcome(failure, out);
}

std::string attr_value(std::string_view raw, bool forbid_entities = true) {
  ParseOptions options;
  options.forbid_entities = forbid_entities;
  std::string out = "pre";
  auto failure = vorlane::unescape_attribute_value(raw, options, out);
  return outcome(failure, out);
}

struct Case {
  std::string input;
  std::string expected;
};

}  // namespace

TEST(references_in_text) {
  const std::vector<Case> cases = {
      {"lt", "=pre<"},
      {"amp", "=pre&"},
      {"quot", "=pre\""},
      {"#65", "=preA"},
      {"#x41", "=preA"},
      {"#X41", "=preA"},
      {"#+65", "=preA"},
      {"#x+41", "=preA"},
      {"#0065", "=preA"},
      {"#xE9", "=pre\xC3\xA9"},
      {"#x10FFFF", "=pre\xF4\x8F\xBF\xBF"},
      {"#x0000000000000041", "=preA"},
      {"#0", std::string("=pre") + '\0'},
      {"#1", "=pre\x01"},
      {"#", "SYNTAX:Invalid character reference: &#;"},
      {"#x", "SYNTAX:Invalid character reference: &#x;"},
      {"#+", "SYNTAX:Invalid character reference: &#+;"},
      {"#-", "SYNTAX:Invalid character reference: &#-;"},
      {"#x+", "SYNTAX:Invalid character reference: &#x+;"},
      {"#++65", "SYNTAX:Invalid character reference: &#++65;"},
      {"#-1", "SYNTAX:Invalid character reference: &#-1;"},
      {"#6-5", "SYNTAX:Invalid character reference: &#6-5;"},
      {"#xZZ", "SYNTAX:Invalid character reference: &#xZZ;"},
      {"#6a", "SYNTAX:Invalid character reference: &#6a;"},
      {"#xx41", "SYNTAX:Invalid character reference: &#xx41;"},
      {"# 65", "SYNTAX:Invalid character reference: &# 65;"},
      {"#4294967295", "SYNTAX:Invalid unicode character: &#4294967295;"},
      {"#4294967296", "SYNTAX:Invalid character reference: &#4294967296;"},
      {"#xFFFFFFFF", "SYNTAX:Invalid unicode character: &#xFFFFFFFF;"},
      {"#x100000000", "SYNTAX:Invalid character reference: &#x100000000;"},
      {"#99999999999999999999999", "SYNTAX:Invalid character reference: &#99999999999999999999999;"},
      {"#xD800", "SYNTAX:Invalid unicode character: &#xD800;"},
      {"#xD7FF", "=pre\xED\x9F\xBF"},
      {"#x110000", "SYNTAX:Invalid unicode character: &#x110000;"},
      {"foo", "ENT:foo"},
      {"", "ENT:"},
      {"LT", "ENT:LT"},
  };
  for (const auto& c : cases) CHECK_EQ(text_ref(c.input), c.expected);

  CHECK_EQ(text_ref("foo", false), std::string("SYNTAX:Undefined entity: &foo;"));
  CHECK_EQ(text_ref("", false), std::string("SYNTAX:Undefined entity: &;"));
  CHECK_EQ(text_ref("amp", false), std::string("=pre&"));
  CHECK_EQ(text_ref("#xD800", false), std::string("SYNTAX:Invalid unicode character: &#xD800;"));
}

TEST(references_in_attribute_values) {
  const std::string bad = "SYNTAX:invalid character reference: ";
  const std::vector<Case> cases = {
      {"", "=pre"},
      {"plain", "=preplain"},
      {"a;b", "=prea;b"},
      {"&lt;&gt;&amp;&apos;&quot;", "=pre<>&'\""},
      {"&amp;lt;", "=pre&lt;"},
      {"x&#65;y&#x42;z", "=prexAyBz"},
      {"&#0065;", "=preA"},
      {"&#x20ac;&#x20AC;", "=pre\xE2\x82\xAC\xE2\x82\xAC"},
      {";&lt;;", "=pre;<;"},
      {"&#X41;", bad + "invalid digit found in string"},
      {"&#+65;", bad + "unexpected number sign"},
      {"&#-65;", bad + "unexpected number sign"},
      {"&#x+41;", bad + "unexpected number sign"},
      {"&#+;", bad + "unexpected number sign"},
      {"&#;", bad + "cannot parse integer from empty string"},
      {"&#x;", bad + "cannot parse integer from empty string"},
      {"&#6-5;", bad + "invalid digit found in string"},
      {"&#xG;", bad + "invalid digit found in string"},
      // The first offending digit decides: an overflow before a bad digit, and vice versa.
      {"&#99999999999x;", bad + "number too large to fit in target type"},
      {"&#9x9999999999;", bad + "invalid digit found in string"},
      {"&#4294967296;", bad + "number too large to fit in target type"},
      {"&#x100000000;", bad + "number too large to fit in target type"},
      {"&#4294967295;", bad + "`4294967295` is not a valid codepoint"},
      {"&#0;", bad + "0x0 character is not permitted in XML"},
      {"&#xD800;", bad + "`55296` is not a valid codepoint"},
      {"&#x110000;", bad + "`1114112` is not a valid codepoint"},
      {"&#1;", "=pre\x01"},
      {"&foo;", "ENT:foo"},
      {"ok&;", "ENT:"},
      {"&#65;&foo;&#xD800;", "ENT:foo"},
      {"x&y", "SYNTAX:Error while escaping character at range 1..3: Cannot find ';' after '&'"},
      {"&a&b;", "SYNTAX:Error while escaping character at range 0..5: Cannot find ';' after '&'"},
      {"&", "SYNTAX:Error while escaping character at range 0..1: Cannot find ';' after '&'"},
      {"&lt;&", "SYNTAX:Error while escaping character at range 4..5: Cannot find ';' after '&'"},
      {"ab&&;", "SYNTAX:Error while escaping character at range 2..5: Cannot find ';' after '&'"},
      {"\xC3\xA9&x", "SYNTAX:Error while escaping character at range 2..4: Cannot find ';' after '&'"},
  };
  for (const auto& c : cases) CHECK_EQ(attr_value(c.input), c.expected);

  CHECK_EQ(attr_value("&foo;", false), std::string("SYNTAX:Unrecognized entity: &foo;"));
  CHECK_EQ(attr_value("&;", false), std::string("SYNTAX:Unrecognized entity: &;"));
  CHECK_EQ(attr_value("&quot;", false), std::string("=pre\""));
}

TEST(references_attribute_value_is_linear) {
  // Long values with and without references come back intact.
  std::string raw;
  std::string expected = "=pre";
  for (int i = 0; i < 200000; ++i) {
    raw += "ab&lt;";
    expected += "ab<";
  }
  CHECK_EQ(attr_value(raw), expected);
  const std::string plain(1 << 20, 'x');
  CHECK_EQ(attr_value(plain), "=pre" + plain);
  // A semicolon-free tail after many references fails at the last '&'.
  CHECK_EQ(attr_value(raw + "&" + plain),
           "SYNTAX:Error while escaping character at range " + std::to_string(raw.size()) + ".." +
               std::to_string(raw.size() + 1 + plain.size()) + ": Cannot find ';' after '&'");
}
