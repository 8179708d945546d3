#include "parser/start_tag.h"

#include <cstring>
#include <new>

#include "doctype/references.h"
#include "parser/attribute_scan.h"
#include "parser/string_store.h"
#include "tokenizer/scan.h"

namespace vorlane {

namespace {

bool is_namespace_declaration(std::string_view key) {
  return key.size() >= 5 && key.compare(0, 5, "xmlns") == 0 && (key.size() == 5 || key[5] == ':');
}

bool has_byte(std::string_view s, char c) { return !s.empty() && std::memchr(s.data(), c, s.size()) != nullptr; }

}  // namespace

std::string_view render_name(const NamespaceResolver& ns, std::string_view raw, bool element, std::string& scratch) {
  const void* colon = raw.empty() ? nullptr : std::memchr(raw.data(), ':', raw.size());
  Resolution r;
  std::string_view local = raw;
  if (colon == nullptr) {
    if (!element || ns.no_default_namespace()) return raw;
    r = ns.resolve(nullptr, true);
  } else {
    const auto split = static_cast<std::size_t>(static_cast<const char*>(colon) - raw.data());
    const std::string_view prefix = raw.substr(0, split);
    local = raw.substr(split + 1);
    r = ns.resolve(&prefix, element);
  }
  // An unknown prefix keeps the name as written; unbound leaves the local part, which is
  // the whole name since only unprefixed names can be unbound.
  if (r.outcome != Resolution::Outcome::Bound) return raw;
  scratch.clear();
  scratch.reserve(r.namespace_name.size() + local.size() + 2);
  scratch += '{';
  scratch += r.namespace_name;
  scratch += '}';
  scratch += local;
  return scratch;
}

std::uint32_t StartTagProcessor::rendered_id(const NamespaceResolver& ns, std::string_view raw, bool element) {
  const char* const readable_end = doc_.input.data() + doc_.input.size();
  const bool in_input = !doc_.input.empty() && points_into(doc_.input, raw);
  const bool colon = in_input ? scan::contains(raw, ':', readable_end) : has_byte(raw, ':');
  if (!colon && (!element || ns.no_default_namespace())) return names_.intern(raw);
  if (!in_input) return names_.intern(render_name(ns, raw, element, scratch_));
  return render_and_cache(ns, raw, element);
}

std::uint32_t StartTagProcessor::render_and_cache(const NamespaceResolver& ns, std::string_view raw, bool element) {
  if (cache_.empty()) cache_.resize(kCacheSize);
  std::uint64_t a;
  std::uint64_t b;
  if (raw.size() <= 16) {
    scan::short_words(raw.data(), raw.size(), a, b);
  } else {
    a = scan::load64(raw.data());
    b = scan::load64(raw.data() + raw.size() - 8);
  }
  const std::uint64_t mixed = (a * 0x9e3779b97f4a7c15ULL) ^ (b * 0xc2b2ae3d27d4eb4fULL) ^ raw.size() ^ element;
  CacheEntry& entry = cache_[static_cast<std::size_t>((mixed ^ (mixed >> 29)) * 0xbf58476d1ce4e5b9ULL >> 56) %
                             kCacheSize];
  const std::uint64_t version = ns.version() + 1;
  if (entry.version == version && entry.scope == &ns && entry.element == element && entry.length == raw.size() &&
      scan::equal_bytes(entry.raw, raw.data(), raw.size())) {
    return entry.id;
  }
  const std::uint32_t id = names_.intern(render_name(ns, raw, element, scratch_));
  entry = CacheEntry{&ns, raw.data(), raw.size(), version, id, element};
  return id;
}

MaybeFailure StartTagProcessor::process_attributes(const NamespaceResolver& ns, std::string_view content,
                                                   std::size_t name_length, const ParseOptions& options) {
  if (name_length >= content.size()) return std::nullopt;  // no attributes
  ++tag_serial_;
  std::uint64_t kept = 0;
  const char* readable_end = content.data() + content.size();
  if (!doc_.input.empty() && points_into(doc_.input, content)) readable_end = doc_.input.data() + doc_.input.size();
  AttributeCursor cursor(content, name_length, readable_end);
  ScannedAttribute a;
  while (cursor.next(a)) {
    const std::string_view key = content.substr(a.key_begin, a.key_end - a.key_begin);
    const std::uint32_t raw_id = names_.intern(key);
    if (auto previous = record_key(raw_id, a.key_begin)) {
      return ParseFailure::syntax(duplicate_attribute_message(a.key_begin, *previous));
    }
    if (key.size() > options.max_name_size) {
      return ParseFailure::limit_exceeded(FailureKind::MaxNameSizeExceeded, options.max_name_size);
    }
    if (scan::contains(key, '\0', readable_end)) return ParseFailure::syntax("Null byte detected in XML identifier");
    if (is_namespace_declaration(key)) continue;
    if (kept == options.max_attributes) {
      return ParseFailure::limit_exceeded(FailureKind::MaxAttributesExceeded, options.max_attributes);
    }
    if (kept == 0xffffffffu) throw std::bad_alloc();  // ElementNode counts attributes in 32 bits
    Attribute attribute;
    // Unprefixed attribute names are never namespaced: the raw key is the rendered one.
    attribute.name = scan::contains(key, ':', readable_end) ? rendered_id(ns, key, false) : raw_id;
    const std::string_view raw = content.substr(a.value_begin, a.value_end - a.value_begin);
    if (raw.size() > options.max_attribute_size) {
      return ParseFailure::limit_exceeded(FailureKind::MaxAttributeSizeExceeded, options.max_attribute_size);
    }
    if (!scan::contains(raw, '&', readable_end)) {
      attribute.value = store_string(doc_, raw);
    } else {
      const std::size_t offset = doc_.arena.size();
      if (auto failure = unescape_attribute_value(raw, options, doc_.arena)) return failure;
      attribute.value = StringRef{offset, doc_.arena.size() - offset, StringRef::Where::Arena};
    }
    doc_.attributes.push_back(attribute);
    ++kept;
  }
  if (cursor.error() == ScanError::None) return std::nullopt;
  if (cursor.error_after_key()) {
    const std::size_t begin = cursor.error_key_begin();
    const std::uint32_t raw_id = names_.intern(content.substr(begin, cursor.error_key_end() - begin));
    if (auto previous = record_key(raw_id, begin)) {
      return ParseFailure::syntax(duplicate_attribute_message(begin, *previous));
    }
  }
  return ParseFailure::syntax(cursor.error_message());
}

}  // namespace vorlane
