// DOCTYPE analysis: a forgiving scan over the declaration text that never fails and
// prefers finding too many declarations to finding too few. It runs in linear time on
// any input: the last forward search for each quote character is remembered, so a quote
// that is passed over and met again, or a run of quotes without partners, never makes the
// same stretch of text be searched twice.
#include "doctype/doctype.h"

#include <array>
#include <cstring>
#include <utility>

#include "common/utf8.h"
#include "common/white_space.h"

namespace vorlane {
namespace {

constexpr std::size_t npos = std::string_view::npos;

inline unsigned char byte_at(std::string_view text, std::size_t pos) {
  return static_cast<unsigned char>(text[pos]);
}

std::string_view trim_unicode_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t len = unicode_space_at(text, begin);
    if (len == 0) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the first byte of the last character.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && utf8::is_continuation(byte_at(text, start))) --start;
    const std::size_t len = unicode_space_at(text, start);
    if (len == 0 || start + len != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

inline bool keyword_at(std::string_view text, std::size_t pos, std::string_view keyword) {
  return text.size() - pos >= keyword.size() && std::memcmp(text.data() + pos, keyword.data(), keyword.size()) == 0;
}

inline std::size_t skip_dtd_space(std::string_view text, std::size_t pos) {
  while (pos < text.size() && is_dtd_space(text[pos])) ++pos;
  return pos;
}

// Finds closing quotes within one text. Remembers, per quote character, the last answer:
// a later search starting between the previous start and the previous hit has the same
// answer (also when that answer was "none"), so monotone searches cost linear time in all.
class QuoteFinder {
 public:
  explicit QuoteFinder(std::string_view text) : text_(text) {}

  std::size_t find(char quote, std::size_t from) {
    Memo& memo = memo_[quote == '"' ? 0 : 1];
    if (memo.valid && memo.from <= from && from <= memo.found) return memo.found;
    std::size_t found = npos;
    if (from < text_.size()) {
      const void* hit = std::memchr(text_.data() + from, quote, text_.size() - from);
      if (hit != nullptr) found = static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data());
    }
    memo = Memo{true, from, found};
    return found;
  }

 private:
  struct Memo {
    bool valid = false;
    std::size_t from = 0;
    std::size_t found = npos;
  };
  std::string_view text_;
  std::array<Memo, 2> memo_{};
};

std::optional<QuotedLiteral> read_literal(std::string_view text, std::size_t pos, QuoteFinder& finder) {
  pos = skip_dtd_space(text, pos);
  if (pos >= text.size()) return std::nullopt;
  const char quote = text[pos];
  if (quote != '\'' && quote != '"') return std::nullopt;
  const std::size_t close = finder.find(quote, pos + 1);
  if (close == npos) return std::nullopt;
  return QuotedLiteral{text.substr(pos + 1, close - pos - 1), close + 1};
}

// `pos` is at "PUBLIC". Reads the public literal and an optional system literal after it,
// and returns where the scan goes on. `Opt`: an optional string or string_view.
template <class Opt>
std::size_t read_public_id(std::string_view text, std::size_t pos, QuoteFinder& finder, Opt& public_id,
                           Opt& system_id) {
  const std::size_t after_keyword = pos + 6;
  const auto public_literal = read_literal(text, after_keyword, finder);
  if (!public_literal) return after_keyword;
  public_id.emplace(public_literal->text);
  const auto system_literal = read_literal(text, public_literal->end, finder);
  if (!system_literal) return public_literal->end;
  system_id.emplace(system_literal->text);
  return system_literal->end;
}

// `pos` is at "SYSTEM".
template <class Opt>
std::size_t read_system_id(std::string_view text, std::size_t pos, QuoteFinder& finder, Opt& system_id) {
  const std::size_t after_keyword = pos + 6;
  const auto literal = read_literal(text, after_keyword, finder);
  if (!literal) return after_keyword;
  system_id.emplace(literal->text);
  return literal->end;
}

// End of a run of characters that stops at DTD white space or '>'. Both delimiters are
// ASCII, so a byte scan never stops inside a multi-byte character.
std::size_t word_end(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    const char c = text[pos];
    if (is_dtd_space(c) || c == '>') break;
    ++pos;
  }
  return pos;
}

// Bytes that can start something in an entity declaration; everything else is passed
// over. None of them is a UTF-8 lead or continuation byte, so skipping byte by byte over
// the rest moves by whole characters.
constexpr std::array<bool, 256> make_entity_stops() {
  std::array<bool, 256> stops{};
  stops['>'] = true;
  stops['S'] = true;
  stops['P'] = true;
  stops['N'] = true;
  stops['\''] = true;
  stops['"'] = true;
  return stops;
}
constexpr std::array<bool, 256> kEntityStops = make_entity_stops();

// Scans one entity declaration from just after "<!ENTITY" to its '>' (or the end of
// `text`, the internal subset's end). Returns where the scan stopped.
std::size_t scan_entity(std::string_view text, std::size_t pos, QuoteFinder& finder, EntityDeclaration& decl) {
  pos = skip_dtd_space(text, pos);
  if (pos < text.size() && text[pos] == '%') pos = skip_dtd_space(text, pos + 1);
  const std::size_t name_end = word_end(text, pos);
  decl.name.assign(text.substr(pos, name_end - pos));
  pos = name_end;

  while (pos < text.size()) {
    const unsigned char c = byte_at(text, pos);
    if (!kEntityStops[c]) {
      ++pos;
      continue;
    }
    if (c == '>') break;
    if (c == 'S' && keyword_at(text, pos, "SYSTEM")) {
      pos = read_system_id(text, pos, finder, decl.system_id);
    } else if (c == 'P' && keyword_at(text, pos, "PUBLIC")) {
      pos = read_public_id(text, pos, finder, decl.public_id, decl.system_id);
    } else if (c == '\'' || c == '"') {
      const auto literal = read_literal(text, pos, finder);
      if (literal) {
        decl.value.emplace(literal->text);
        pos = literal->end;
      } else {
        ++pos;  // no closing partner: the quote is just a character
      }
    } else if (c == 'N' && keyword_at(text, pos, "NDATA")) {
      const std::size_t start = skip_dtd_space(text, pos + 5);
      const std::size_t end = word_end(text, start);
      decl.notation_name.emplace(text.substr(start, end - start));
      pos = end;
    } else {
      ++pos;
    }
  }
  return pos;
}

}  // namespace

std::optional<QuotedLiteral> read_quoted_literal(std::string_view text, std::size_t pos) {
  QuoteFinder finder(text);
  return read_literal(text, pos, finder);
}

namespace {

// The document type name and the external identifier of the trimmed `text`; returns where
// the scan stopped: at the first "[" outside a literal, or at the end.
template <class Opt>
std::size_t scan_header(std::string_view text, std::string_view& name, Opt& public_id, Opt& system_id) {
  // Document type name: up to Unicode white space, '>' or '['.
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '>' || c == '[' || unicode_space_at(text, pos) != 0) break;
    pos += utf8::char_length(text, pos);
  }
  name = text.substr(0, pos);

  // External identifier: keywords are recognised anywhere until a '[' is met.
  QuoteFinder finder(text);
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '[') break;
    if (c == 'P' && keyword_at(text, pos, "PUBLIC")) {
      pos = read_public_id(text, pos, finder, public_id, system_id);
    } else if (c == 'S' && keyword_at(text, pos, "SYSTEM")) {
      pos = read_system_id(text, pos, finder, system_id);
    } else {
      pos += utf8::char_length(text, pos);
    }
  }
  return pos;
}

// The whole analysis; each entity declaration goes to `on_entity` (bool(EntityDeclaration&&),
// false ends the scan) once the name and the external identifier are in `info`.
template <class OnEntity>
void scan_doctype(std::string_view raw, DoctypeInfo& info, OnEntity&& on_entity) {
  const std::string_view text = trim_unicode_space(raw);
  if (text.empty()) return;
  std::string_view name;
  scan_header(text, name, info.public_id, info.system_id);
  info.name.assign(name);

  // Internal subset: between the first '[' anywhere and the last ']' after it.
  const std::size_t open = text.find('[');
  if (open == npos) return;
  const std::size_t close = text.rfind(']');
  if (close == npos || close < open) return;

  // Every declaration text ends where the internal subset ends.
  const std::string_view subset_text = text.substr(0, close);
  QuoteFinder finder(subset_text);
  constexpr std::string_view kEntity = "<!ENTITY";
  std::size_t cursor = open + 1;
  while (true) {
    const std::size_t found = subset_text.find(kEntity, cursor);
    if (found == npos) return;
    EntityDeclaration decl;
    cursor = scan_entity(subset_text, found + kEntity.size(), finder, decl);
    if (!on_entity(std::move(decl))) return;
  }
}

inline bool has_external_id(const EntityDeclaration& decl) { return decl.system_id || decl.public_id; }

}  // namespace

DoctypeInfo analyze_doctype(std::string_view raw) {
  DoctypeInfo info;
  scan_doctype(raw, info, [&info](EntityDeclaration&& decl) {
    info.entities.push_back(std::move(decl));
    return true;
  });
  return info;
}

DoctypeParts doctype_parts(std::string_view raw) {
  DoctypeParts parts;
  const std::string_view text = trim_unicode_space(raw);
  const std::size_t open = scan_header(text, parts.name, parts.public_id, parts.system_id);
  const std::size_t close = text.rfind(']');
  if (open < text.size() && close != npos && close > open) parts.internal_subset = text.substr(open + 1, close - open - 1);
  return parts;
}

std::string normalized_public_id(std::string_view id) {
  std::string out;
  for (const char c : id) {
    if (!is_xml_space(c)) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

MaybeFailure judge_doctype(std::string_view text, const ParseOptions& options) {
  // The policy reads only the first entity and the first entity with an external
  // identifier, so only those two are kept and the scan stops once the verdict is fixed.
  DoctypeInfo info;
  scan_doctype(text, info, [&info, &options](EntityDeclaration&& decl) {
    if (options.forbid_dtd || !(options.forbid_entities || options.forbid_external)) return false;
    if (options.forbid_external && (info.system_id || info.public_id)) return false;
    const bool external = has_external_id(decl);
    if (info.entities.empty() || (options.forbid_external && external)) info.entities.push_back(std::move(decl));
    return options.forbid_external && !external;
  });
  return apply_doctype_policy(std::move(info), options);
}

MaybeFailure apply_doctype_policy(DoctypeInfo&& info, const ParseOptions& options) {
  if (options.forbid_dtd) {
    return ParseFailure::dtd_forbidden(std::move(info.name), std::move(info.system_id), std::move(info.public_id));
  }
  if (options.forbid_external) {
    if (info.system_id || info.public_id) {
      return ParseFailure::external_reference_forbidden(std::move(info.system_id), std::move(info.public_id));
    }
    for (EntityDeclaration& decl : info.entities) {
      if (decl.system_id || decl.public_id) {
        return ParseFailure::external_reference_forbidden(std::move(decl.system_id), std::move(decl.public_id));
      }
    }
  }
  if (options.forbid_entities && !info.entities.empty()) {
    EntityDeclaration& first = info.entities.front();
    return ParseFailure::entities_forbidden(EntitiesForbiddenPayload{std::move(first.name), std::move(first.value),
                                                                     std::move(first.system_id),
                                                                     std::move(first.public_id),
                                                                     std::move(first.notation_name)});
  }
  return std::nullopt;
}

}  // namespace vorlane
