#include "parser/strict_rules.h"

#include <cstdint>
#include <cstdio>

#include "common/utf8.h"
#include "common/white_space.h"
#include "parser/references.h"

namespace vorlane::strict {
namespace {

std::string code_point_text(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

Fault bad_character(std::size_t at, char32_t c) {
  return Fault{at, "not well-formed: character " + code_point_text(c) + " is not allowed"};
}

// The character at s[at], which the tokenizer checked as UTF-8; a stray byte reads as itself.
std::size_t decode_at(std::string_view s, std::size_t at, char32_t& c) {
  const std::size_t length = utf8::decode(s, at, c);
  if (length != 0) return length;
  c = static_cast<unsigned char>(s[at]);
  return 1;
}

// The first character of `s` from `from` outside Char, as a fault.
MaybeFault check_chars(std::string_view s, std::size_t from, bool& has_cr) {
  for (std::size_t i = from; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b >= 0x20 && b < 0x80) {
      ++i;
      continue;
    }
    char32_t c;
    const std::size_t length = decode_at(s, i, c);
    if (!is_char(c)) return bad_character(i, c);
    has_cr |= c == '\r';
    i += length;
  }
  return std::nullopt;
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Of each ASCII byte: bit 1, a NameStartChar; bit 2, a NameChar. Names are nearly always
// ASCII, which then costs a lookup a byte instead of a decode.
constexpr auto kAsciiName = [] {
  struct Table {
    unsigned char bits[128] = {};
  } table;
  for (unsigned c = 0; c < 128; ++c) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool start = letter || c == '_' || c == ':';
    const bool more = start || c == '-' || c == '.' || (c >= '0' && c <= '9');
    table.bits[c] = static_cast<unsigned char>((start ? 1 : 0) | (more ? 2 : 0));
  }
  return table;
}();

// The length of the Name at s[at], or 0; `bad` is where it stops being one.
std::size_t name_length(std::string_view s, std::size_t at, bool colon_allowed) {
  std::size_t i = at;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if ((kAsciiName.bits[b] & (i == at ? 1 : 2)) == 0 || (!colon_allowed && b == ':')) break;
      ++i;
      continue;
    }
    char32_t c;
    const std::size_t length = decode_at(s, i, c);
    const bool ok = (i == at ? is_name_start(c) : is_name_char(c)) && (colon_allowed || c != ':');
    if (!ok) break;
    i += length;
  }
  return i - at;
}

Fault name_fault(std::string_view name, std::size_t at, std::string_view what) {
  std::string message = "not well-formed: ";
  if (name.empty()) {
    message.append(what).append(" has no name");
    return Fault{0, std::move(message)};
  }
  char32_t c;
  decode_at(name, at, c);
  message.append(what).append(" name '").append(name).append("' may not ");
  message.append(at == 0 ? "start with " : "contain ").append(code_point_text(c));
  return Fault{at, std::move(message)};
}

}  // namespace

bool is_name_start(char32_t c) {
  if (c < 0x80) return is_ascii_letter(static_cast<char>(c)) || c == '_' || c == ':';
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool is_name_char(char32_t c) {
  if (c < 0x80) return is_name_start(c) || c == '-' || c == '.' || is_digit(static_cast<char>(c));
  return is_name_start(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

MaybeFault check_name(std::string_view name, std::string_view what) {
  const std::size_t length = name_length(name, 0, true);
  if (length == name.size() && !name.empty()) return std::nullopt;
  return name_fault(name, length, what);
}

MaybeFault check_qualified_name(std::string_view name, std::string_view what) {
  const std::size_t colon = name.find(':');
  if (colon != std::string_view::npos &&
      (colon == 0 || colon + 1 == name.size() || name.find(':', colon + 1) != std::string_view::npos)) {
    return Fault{colon, "not well-formed: '" + std::string(name) + "' is not a qualified name"};
  }
  const std::size_t prefix = name_length(name, 0, false);
  if (prefix != (colon == std::string_view::npos ? name.size() : colon) || name.empty()) {
    return name_fault(name, prefix, what);
  }
  if (colon == std::string_view::npos) return std::nullopt;
  const std::size_t local = name_length(name, colon + 1, false);
  if (colon + 1 + local != name.size()) return name_fault(name, colon + 1 + local, what);
  return std::nullopt;
}

MaybeFault check_text(std::string_view s, bool cdata, bool& has_cr) {
  if (auto fault = check_chars(s, 0, has_cr)) return fault;
  if (!cdata) {
    const std::size_t close = s.find("]]>");
    if (close != std::string_view::npos) return Fault{close, "not well-formed: ']]>' is not allowed in text"};
  }
  return std::nullopt;
}

MaybeFault check_comment(std::string_view s, bool& has_cr) {
  if (auto fault = check_chars(s, 0, has_cr)) return fault;
  const std::size_t dashes = s.find("--");
  if (dashes != std::string_view::npos) return Fault{dashes, "not well-formed: '--' is not allowed inside a comment"};
  if (!s.empty() && s.back() == '-') return Fault{s.size() - 1, "not well-formed: a comment may not end with '--->'"};
  return std::nullopt;
}

MaybeFault check_instruction(std::string_view content, std::size_t target_length, bool& has_cr) {
  const std::string_view target = content.substr(0, target_length);
  if (auto fault = check_name(target, "processing instruction target")) return fault;
  // Namespaces leave colons to qualified names.
  if (const std::size_t colon = target.find(':'); colon != std::string_view::npos) {
    return Fault{colon, "not well-formed: a processing instruction target may not contain ':'"};
  }
  if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l') {
    return Fault{0, "not well-formed: the processing instruction target '" + std::string(target) + "' is reserved"};
  }
  return check_chars(content, target_length, has_cr);
}

MaybeFault check_declaration(std::string_view s) {
  std::size_t i = 3;  // after "xml"
  const auto fault = [&](std::string_view what) {
    return Fault{i, "not well-formed: malformed XML declaration: " + std::string(what)};
  };
  const auto skip_space = [&] {
    const std::size_t from = i;
    while (i < s.size() && is_xml_space(s[i])) ++i;
    return i > from;
  };
  // S name S? "=" S? quoted value, the value's bounds returned; false if `name` is not next.
  std::size_t value_begin = 0;
  std::size_t value_end = 0;
  const auto pseudo_attribute = [&](std::string_view name) -> int {
    const std::size_t from = i;
    if (!skip_space() || s.substr(i, name.size()) != name) {
      i = from;
      return 0;
    }
    i += name.size();
    skip_space();
    if (i >= s.size() || s[i] != '=') return -1;
    ++i;
    skip_space();
    if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return -1;
    const std::size_t close = s.find(s[i], i + 1);
    if (close == std::string_view::npos) return -1;
    value_begin = i + 1;
    value_end = close;
    i = close + 1;
    return 1;
  };
  int found = pseudo_attribute("version");
  if (found <= 0) return fault(found == 0 ? "the version comes first and is required" : "bad version");
  std::string_view value = s.substr(value_begin, value_end - value_begin);
  if (value.size() < 3 || value.substr(0, 2) != "1." ||
      value.find_first_not_of("0123456789", 2) != std::string_view::npos) {
    i = value_begin;
    return fault("bad version number");
  }
  found = pseudo_attribute("encoding");
  if (found < 0) return fault("bad encoding");
  if (found > 0) {
    value = s.substr(value_begin, value_end - value_begin);
    bool ok = !value.empty() && is_ascii_letter(value[0]);
    for (const char c : value) ok = ok && (is_ascii_letter(c) || is_digit(c) || c == '.' || c == '_' || c == '-');
    if (!ok) {
      i = value_begin;
      return fault("bad encoding name");
    }
  }
  found = pseudo_attribute("standalone");
  if (found < 0) return fault("bad standalone");
  if (found > 0) {
    value = s.substr(value_begin, value_end - value_begin);
    if (value != "yes" && value != "no") {
      i = value_begin;
      return fault("standalone must be 'yes' or 'no'");
    }
  }
  skip_space();
  if (i != s.size()) return fault("unexpected text");
  return std::nullopt;
}

MaybeFault check_reference(std::string_view name) {
  if (name.empty() || name[0] != '#') {
    if (auto fault = check_name(name, "entity reference")) return fault;
    return std::nullopt;
  }
  const bool hex = name.size() > 1 && name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  std::uint32_t value = 0;
  bool ok = !digits.empty();
  const unsigned base = hex ? 16 : 10;
  for (const char c : digits) {
    const int d = digit_value(c, base);
    if (d < 0) {
      ok = false;
      break;
    }
    value = value * base + static_cast<unsigned>(d);
    if (value > 0x10FFFF) value = 0x110000;  // stays out of range, without overflow
  }
  if (!ok) return Fault{0, "not well-formed: malformed character reference '&" + std::string(name) + ";'"};
  if (!is_char(value)) {
    return Fault{
        0, "not well-formed: character reference '&" + std::string(name) + ";' is to a character that is not allowed"};
  }
  return std::nullopt;
}

MaybeFault check_attribute_value(std::string_view raw, bool& fold) {
  bool has_cr = false;
  if (auto fault = check_chars(raw, 0, has_cr)) return fault;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '<') return Fault{i, "not well-formed: '<' is not allowed in an attribute value"};
    if (c == '\t' || c == '\n' || c == '\r') fold = true;
    if (c == '&') {
      const std::size_t semicolon = raw.find(';', i + 1);
      if (semicolon == std::string_view::npos) return Fault{i, "not well-formed: reference not closed by ';'"};
      if (auto fault = check_reference(raw.substr(i + 1, semicolon - i - 1))) {
        fault->at = i;
        return fault;
      }
      i = semicolon;
    }
  }
  return std::nullopt;
}

void fold_line_ends(std::string_view s, std::string& out) {
  out.reserve(out.size() + s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\r') {
      out.push_back(s[i]);
    } else {
      out.push_back('\n');
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    }
  }
}

void fold_value_spaces(std::string_view raw, std::string& out) {
  out.reserve(out.size() + raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    out.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
  }
}

bool xml_space_only(std::string_view s, std::size_t& at) {
  for (at = 0; at < s.size(); ++at) {
    if (!is_xml_space(s[at])) return false;
  }
  return true;
}

}  // namespace vorlane::strict
