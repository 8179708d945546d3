// Predefined entities and character references. Character data and attribute values
// deliberately keep separate number rules and messages; do not merge the two parsers.
#include "parser/references.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "common/utf8.h"

namespace vorlane {
namespace {

constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;

// The replacement of a predefined entity, or an empty view for any other name.
std::string_view predefined_replacement(std::string_view name) {
  switch (name.size()) {
    case 2:
      if (name == "lt") return "<";
      if (name == "gt") return ">";
      break;
    case 3:
      if (name == "amp") return "&";
      break;
    case 4:
      if (name == "apos") return "'";
      if (name == "quot") return "\"";
      break;
    default:
      break;
  }
  return {};
}

inline bool is_scalar_value(std::uint64_t value) {
  return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
}

std::string reference_message(std::string_view prefix, std::string_view name) {
  std::string message;
  message.reserve(prefix.size() + name.size() + 1);
  message.append(prefix).append(name).push_back(';');
  return message;
}

ParseFailure undeclared_entity(std::string_view name, const ParseOptions& options, std::string_view message_prefix) {
  if (options.forbid_entities) {
    EntitiesForbiddenPayload payload;
    payload.name.assign(name);
    return ParseFailure::entities_forbidden(std::move(payload));
  }
  return ParseFailure::syntax(reference_message(message_prefix, name));
}

// Character data: an optional single '+', then at least one digit of the base, the value
// within 32 bits. Returns false for anything else.
bool parse_text_number(std::string_view digits, unsigned base, std::uint64_t& value) {
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return false;
  value = 0;
  for (const char c : digits) {
    const int d = digit_value(c, base);
    if (d < 0) return false;
    value = value * base + static_cast<unsigned>(d);
    if (value > kMaxU32) return false;
  }
  return true;
}

// Attribute values: the detail text of the first problem, or nullptr with `value` set.
const char* parse_attribute_number(std::string_view digits, unsigned base, std::uint64_t& value) {
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) return "unexpected number sign";
  if (digits.empty()) return "cannot parse integer from empty string";
  value = 0;
  for (const char c : digits) {
    const int d = digit_value(c, base);
    if (d < 0) return "invalid digit found in string";
    value = value * base + static_cast<unsigned>(d);
    if (value > kMaxU32) return "number too large to fit in target type";
  }
  return nullptr;
}

MaybeFailure append_attribute_char_ref(std::string_view name, std::string& out) {
  std::string_view digits;
  unsigned base;
  if (name.size() >= 2 && name[1] == 'x') {
    digits = name.substr(2);
    base = 16;
  } else {
    digits = name.substr(1);
    base = 10;
  }
  constexpr std::string_view kPrefix = "invalid character reference: ";
  std::uint64_t value = 0;
  if (const char* detail = parse_attribute_number(digits, base, value)) {
    return ParseFailure::syntax(std::string(kPrefix).append(detail));
  }
  if (value == 0) {
    return ParseFailure::syntax(std::string(kPrefix).append("0x0 character is not permitted in XML"));
  }
  if (!is_scalar_value(value)) {
    std::string message(kPrefix);
    message.push_back('`');
    message.append(std::to_string(value)).append("` is not a valid codepoint");
    return ParseFailure::syntax(std::move(message));
  }
  utf8::append(out, static_cast<char32_t>(value));
  return std::nullopt;
}

ParseFailure unterminated_reference(std::size_t amp, std::size_t length) {
  std::string message = "Error while escaping character at range ";
  message.append(std::to_string(amp)).append("..").append(std::to_string(length));
  message.append(": Cannot find ';' after '&'");
  return ParseFailure::syntax(std::move(message));
}

const char* find_byte(const char* begin, const char* end, char c) {
  return static_cast<const char*>(std::memchr(begin, c, static_cast<std::size_t>(end - begin)));
}

}  // namespace

MaybeFailure expand_reference(std::string_view name, const ParseOptions& options, std::string& out) {
  const std::string_view replacement = predefined_replacement(name);
  if (!replacement.empty()) {
    out.append(replacement);
    return std::nullopt;
  }
  if (name.empty() || name.front() != '#') return undeclared_entity(name, options, "Undefined entity: &");

  std::uint64_t value = 0;
  const bool hex = name.size() >= 2 && (name[1] == 'x' || name[1] == 'X');
  if (!parse_text_number(name.substr(hex ? 2 : 1), hex ? 16 : 10, value)) {
    return ParseFailure::syntax(reference_message("Invalid character reference: &", name));
  }
  if (!is_scalar_value(value)) {
    return ParseFailure::syntax(reference_message("Invalid unicode character: &", name));
  }
  utf8::append(out, static_cast<char32_t>(value));
  return std::nullopt;
}

MaybeFailure unescape_attribute_value(std::string_view raw, const ParseOptions& options, std::string& out) {
  const char* const begin = raw.data();
  const char* const end = begin + raw.size();
  const char* amp = raw.empty() ? nullptr : find_byte(begin, end, '&');
  if (amp == nullptr) {
    out.append(raw);
    return std::nullopt;
  }
  // Every reference is at least as long as its replacement, so this is the final size.
  out.reserve(out.size() + raw.size());
  const char* copied = begin;
  while (amp != nullptr) {
    const char* semi = find_byte(amp + 1, end, ';');
    if (semi == nullptr || find_byte(amp + 1, semi, '&') != nullptr) {
      return unterminated_reference(static_cast<std::size_t>(amp - begin), raw.size());
    }
    out.append(copied, amp);
    const std::string_view name(amp + 1, static_cast<std::size_t>(semi - amp - 1));
    const std::string_view replacement = predefined_replacement(name);
    if (!replacement.empty()) {
      out.append(replacement);
    } else if (!name.empty() && name.front() == '#') {
      if (MaybeFailure failure = append_attribute_char_ref(name, out)) return failure;
    } else {
      return undeclared_entity(name, options, "Unrecognized entity: &");
    }
    copied = semi + 1;
    amp = copied < end ? find_byte(copied, end, '&') : nullptr;
  }
  out.append(copied, end);
  return std::nullopt;
}

}  // namespace vorlane
