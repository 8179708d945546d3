#include "parser/start_tag.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "parser/attribute_scan.h"
#include "parser/references.h"
#include "parser/strict_rules.h"
#include "parser/string_store.h"
#include "tokenizer/scan.h"

namespace vorlane {

namespace {

bool is_namespace_declaration(std::string_view key) {
  return key.size() >= 5 && key.compare(0, 5, "xmlns") == 0 && (key.size() == 5 || key[5] == ':');
}

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
  if (!scan::contains(raw, ':', readable_end) && (!element || ns.no_default_namespace())) return names_.intern(raw);
  return render_and_cache(ns, raw, element);
}

std::uint32_t StartTagProcessor::intern_rendered(const NamespaceResolver& ns, std::string_view raw, bool element) {
  const std::string_view rendered = render_name(ns, raw, element, scratch_);
  // render_name hands back `raw` itself when namespaces leave the name unchanged.
  return rendered.data() == raw.data() ? names_.intern(rendered) : names_.intern_qualified(rendered);
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
  const std::uint64_t version = ns.version() + 1;
  // The version takes part in the slot, so the names of a nested scope do not evict those
  // of the enclosing one, which comes back when the nested scope closes.
  const std::uint64_t mixed = (a * 0x9e3779b97f4a7c15ULL) ^ (b * 0xc2b2ae3d27d4eb4fULL) ^ raw.size() ^ element ^
                              (version * 0xd6e8feb86659fd93ULL);
  CacheEntry& entry = cache_[static_cast<std::size_t>((mixed ^ (mixed >> 29)) * 0xbf58476d1ce4e5b9ULL >> 56) %
                             kCacheSize];
  if (entry.version == version && entry.scope == &ns && entry.element == element && entry.length == raw.size() &&
      scan::equal_bytes(entry.raw, raw.data(), raw.size())) {
    return entry.id;
  }
  const std::uint32_t id = intern_rendered(ns, raw, element);
  if (id != NameTable::kOverBudget) {
    entry = CacheEntry{&ns, raw.data(), raw.size(), version, id, element};
    remembers_input_ = true;
  }
  return id;
}

namespace {

VORLANE_COLD MaybeFailure duplicate_failure(std::size_t position, std::size_t previous) {
  return ParseFailure::syntax(duplicate_attribute_message(position, previous));
}

VORLANE_COLD MaybeFailure scan_failure(const AttributeCursor& cursor) { return ParseFailure::syntax(cursor.error_message()); }

VORLANE_COLD MaybeFailure over_budget_failure(const NameTable& names) {
  return ParseFailure::limit_exceeded(FailureKind::MaxQualifiedNamesExceeded, names.qualified_limit());
}

}  // namespace

MaybeFailure StartTagProcessor::over_budget() const { return over_budget_failure(names_); }

std::uint32_t StartTagProcessor::render_element_name(const NamespaceResolver& ns, std::string_view raw_name,
                                                     std::uint32_t raw_id) {
  assert_in_input(raw_name);
  TagSlot& slot = slot_for(raw_id);
  const std::uint64_t version = ns.version() + 1;
  if (slot.version == version && slot.scope == &ns) return slot.id;
  const std::uint32_t id = rendered_id(ns, raw_name, true);
  if (id == NameTable::kOverBudget) return id;
  slot.id = id;
  slot.scope = &ns;
  slot.version = version;
  return id;
}

void StartTagProcessor::record_known(const TagSlot& slot, std::size_t count, const char* content) {
  const KnownKey* known = known_pool_.data() + slot.keys_begin;
  for (std::size_t i = 0; i < count; ++i) {
    (void)record_key(known[i].ids.raw_id, static_cast<std::size_t>(known[i].raw - content));
  }
}

StartTagProcessor::KnownKey& StartTagProcessor::push_known(TagSlot& slot, const KnownKey& key) {
  if (slot.keys_size == slot.keys_capacity) {
    const std::size_t capacity = slot.keys_capacity == 0 ? 4 : slot.keys_capacity * 2;
    const std::size_t begin = known_pool_.size();
    known_pool_.resize(begin + capacity);
    std::copy(known_pool_.begin() + slot.keys_begin, known_pool_.begin() + slot.keys_begin + slot.keys_size,
              known_pool_.begin() + begin);
    slot.keys_begin = begin;
    slot.keys_capacity = capacity;
  }
  KnownKey& stored = known_pool_[slot.keys_begin + slot.keys_size++];
  stored = key;
  remembers_input_ = true;
  return stored;
}

namespace {

enum class Step : unsigned char { Found, End, Malformed };

// The attributes the tokenizer read.
class ReadAttributes {
 public:
  static constexpr bool kMayBeMalformed = false;
  explicit ReadAttributes(const TagAttributes& read) : read_(read) {}
  // The value last read holds no byte that strict mode looks at.
  bool plain() const { return ((read_.suspect_mask >> (i_ - 1)) & 1u) == 0; }
  Step next(ScannedAttribute& a, bool& amp) {
    if (i_ == read_.count) return Step::End;
    const AttributeSpan& span = read_.spans[i_];
    a = ScannedAttribute{span.key_begin, span.key_end, span.value_begin, span.value_end};
    amp = ((read_.amp_mask >> i_) & 1u) != 0;
    ++i_;
    return Step::Found;
  }
  const AttributeCursor& cursor() const;  // never called: nothing is malformed

 private:
  const TagAttributes& read_;
  std::uint32_t i_ = 0;
};

// The attributes read from the tag content: the usual shape quickly, the rest with the
// strict cursor, which also tells what is malformed.
class ContentAttributes {
 public:
  static constexpr bool kMayBeMalformed = true;
  ContentAttributes(std::string_view content, std::size_t name_length, const char* readable_end, bool open_last)
      : content_(content),
        readable_end_(readable_end),
        pos_(name_length),
        cursor_(content, name_length, readable_end),
        open_last_(open_last) {}
  // The usual attribute inline; any other shape through the general reading.
  VORLANE_HOT_INLINE Step next(ScannedAttribute& a, bool& amp) {
    amp = false;
    const QuickScan quick = quick_attribute(content_, pos_, readable_end_, a, amp);
    if (quick == QuickScan::Found) return Step::Found;
    if (quick == QuickScan::End) return Step::End;
    return next_general(a, amp);
  }
  const AttributeCursor& cursor() const { return cursor_; }
  static bool plain() { return false; }

 private:
  VORLANE_NOINLINE Step next_general(ScannedAttribute& a, bool& amp) {
    cursor_ = AttributeCursor(content_, pos_, readable_end_);
    if (!cursor_.next(a)) {
      if (open_last_ && cursor_.error() == ScanError::ExpectedQuote) {
        // The value open at the cut: up to the end, the last attribute read.
        a.key_begin = cursor_.error_key_begin();
        a.key_end = cursor_.error_key_end();
        a.value_end = content_.size();
        amp = std::memchr(content_.data() + a.value_begin, '&', a.value_end - a.value_begin) != nullptr;
        pos_ = content_.size();
        open_last_ = false;
        return Step::Found;
      }
      return cursor_.error() == ScanError::None ? Step::End : Step::Malformed;
    }
    pos_ = a.value_end + 1;
    amp = std::memchr(content_.data() + a.value_begin, '&', a.value_end - a.value_begin) != nullptr;
    return Step::Found;
  }

  std::string_view content_;
  const char* readable_end_;
  std::size_t pos_;
  AttributeCursor cursor_;
  bool open_last_;
};

}  // namespace

MaybeFailure StartTagProcessor::process_attributes(const NamespaceResolver& ns, std::string_view content,
                                                   std::size_t name_length, std::uint32_t raw_id,
                                                   const TagAttributes* read, const ParseOptions& options,
                                                   bool open_last) {
  if (options.strict) [[unlikely]] {
    if (name_length >= content.size() || (read != nullptr && read->count == 0)) return std::nullopt;
    assert_in_input(content);
    return process_strict(ns, content, name_length, raw_id, read, options, open_last);
  }
  return tolerant_attributes(ns, content, name_length, raw_id, read, options, open_last);
}

MaybeFailure StartTagProcessor::tolerant_attributes(const NamespaceResolver& ns, std::string_view content,
                                                    std::size_t name_length, std::uint32_t raw_id,
                                                    const TagAttributes* read, const ParseOptions& options,
                                                    bool open_last) {
  if (name_length >= content.size()) return std::nullopt;  // no attributes
  assert_in_input(content);
  if (read != nullptr) {
    if (read->count == 0) return std::nullopt;  // white space only
    ReadAttributes reader(*read);
    return process<ReadAttributes, false>(reader, ns, content, raw_id, options);
  }
  ContentAttributes reader(content, name_length, doc_.input.data() + doc_.input.size(), open_last);
  return process<ContentAttributes, false>(reader, ns, content, raw_id, options);
}

// Out of line, so that the tolerant reading stays one function as it was.
VORLANE_NOINLINE MaybeFailure StartTagProcessor::process_strict(const NamespaceResolver& ns, std::string_view content,
                                                                std::size_t name_length, std::uint32_t raw_id,
                                                                const TagAttributes* read, const ParseOptions& options,
                                                                bool open_last) {
  if (read != nullptr) {
    ReadAttributes reader(*read);
    return process<ReadAttributes, true>(reader, ns, content, raw_id, options);
  }
  ContentAttributes reader(content, name_length, doc_.input.data() + doc_.input.size(), open_last);
  return process<ContentAttributes, true>(reader, ns, content, raw_id, options);
}

MaybeFailure StartTagProcessor::strict_value(std::string_view raw, const char* at, bool amp, std::uint32_t name,
                                             std::uint32_t raw_id, const ParseOptions& options) {
  bool fold = false;
  if (auto fault = strict::check_attribute_value(raw, fold)) return strict_fault(at + fault->at, std::move(fault->message));
  if (!fold && !amp) {
    doc_.attributes.push_back(Attribute{name, raw_id, store_string(doc_, raw)});
    return std::nullopt;
  }
  // Literal white space folds to spaces first; what references stand for stays as it is.
  if (fold) {
    strict_->value.clear();
    strict::fold_value_spaces(raw, strict_->value);
    raw = strict_->value;
  }
  const std::size_t offset = doc_.arena.size();
  if (amp) {
    if (auto failure = unescape_attribute_value(raw, options, doc_.arena)) return failure;
  } else {
    doc_.arena.append(raw);
  }
  doc_.attributes.push_back(Attribute{name, raw_id, StringRef{offset, doc_.arena.size() - offset, StringRef::Where::Arena}});
  return std::nullopt;
}

// A kept key's ids are copied over an Attribute's first 8 bytes: its name, then its raw
// name (the layout is not standard, so offsetof may not tell).
constexpr bool ids_lead_attribute() {
  const auto words = std::bit_cast<std::array<std::uint32_t, 6>>(Attribute{1, 2, StringRef{}});
  return words[0] == 1 && words[1] == 2;
}
static_assert(ids_lead_attribute());

// Values are borrowed by offset, and keys that repeat the previous tag of this name skip
// interning and the key checks.
template <class Reader, bool kStrict>
MaybeFailure StartTagProcessor::process(Reader& reader, const NamespaceResolver& ns, std::string_view content,
                                        std::uint32_t raw_id, const ParseOptions& options) {
  ++tag_serial_;
  const char* const input = doc_.input.data();
  const char* const readable_end = input + doc_.input.size();
  const char* const base = content.data();
  const std::size_t base_offset = static_cast<std::size_t>(base - input);
  const std::uint64_t max_attributes = options.max_attributes;
  const std::uint64_t max_attribute_size = options.max_attribute_size;
  TagSlot& slot = slot_for(raw_id);
  // Keys [0, index) of this tag equal known[0, index) while `predicted`; once a key differs,
  // the earlier ones are recorded for the duplicate check and `known` is rebuilt from here.
  bool predicted = true;
  KnownKey* known = known_pool_.data() + slot.keys_begin;  // moves only with push_known
  std::size_t index = 0;
  std::uint64_t kept = 0;
  ScannedAttribute a;
  for (;; ++index) {
    bool amp;
    const Step step = reader.next(a, amp);
    if (step == Step::End) break;
    if constexpr (Reader::kMayBeMalformed) {
      if (step == Step::Malformed) {
        const AttributeCursor& cursor = reader.cursor();
        if (cursor.error_after_key()) {
          const std::size_t begin = cursor.error_key_begin();
          const std::string_view key = content.substr(begin, cursor.error_key_end() - begin);
          if (predicted) record_known(slot, index, base);
          const std::uint32_t raw_id = names_.intern(key);
          if (auto previous = record_key(raw_id, begin)) return duplicate_failure(begin, *previous);
        }
        return scan_failure(cursor);
      }
    }
    const std::size_t key_length = a.key_end - a.key_begin;
    const char* const key_data = base + a.key_begin;
    if constexpr (kStrict && Reader::kMayBeMalformed) {
      // The tokenizer's own reading already requires it.
      if (!is_xml_space(key_data[-1])) {
        return strict_fault(key_data, "not well-formed: attributes must be separated by white space");
      }
    }
    KnownKey* key;
    if (predicted && index < slot.keys_size && known[index].length == key_length &&
        scan::equal_near(key_data, known[index].raw, key_length, readable_end)) {
      key = &known[index];
      key->raw = key_data;  // the latest occurrence, whose position a duplicate report quotes
    } else {
      if (predicted) {
        predicted = false;
        record_known(slot, index, base);
        slot.keys_size = index;
      }
      const std::string_view raw_key(key_data, key_length);
      const std::uint32_t raw_id = names_.intern(raw_key);
      if (auto previous = record_key(raw_id, a.key_begin)) return duplicate_failure(a.key_begin, *previous);
      if (key_length > options.max_name_size) {
        return limit_failure(FailureKind::MaxNameSizeExceeded, options.max_name_size);
      }
      if (scan::contains(raw_key, '\0', readable_end)) return null_byte_in_name_failure();
      if constexpr (kStrict) {
        if (auto fault = strict::check_qualified_name(raw_key, "attribute")) {
          return strict_fault(key_data + fault->at, std::move(fault->message));
        }
      }
      key = &push_known(slot, KnownKey{key_data, key_length, {raw_id, raw_id}, is_namespace_declaration(raw_key),
                                       scan::contains(raw_key, ':', readable_end)});
      known = known_pool_.data() + slot.keys_begin;
    }
    if (key->declaration) continue;
    if (kept == max_attributes) return limit_failure(FailureKind::MaxAttributesExceeded, max_attributes);
    if (kept == 0xffffffffu) throw std::bad_alloc();  // ElementNode counts attributes in 32 bits
    // Unprefixed attribute names are never namespaced: the raw key is the rendered one.
    std::uint32_t name = key->ids.name;
    if (key->colon) [[unlikely]] {
      if (key->rendered_version != ns.version() + 1 || key->rendered_scope != &ns) {
        const std::uint32_t rendered = rendered_id(ns, std::string_view(key_data, key_length), false);
        if (rendered == NameTable::kOverBudget) return over_budget_failure(names_);
        key->ids.name = rendered;
        key->rendered_scope = &ns;
        key->rendered_version = ns.version() + 1;
      }
      name = key->ids.name;
      if constexpr (kStrict) {
        // A prefixed key that rendering left as written has a prefix bound nowhere; two keys
        // of one rendering are the same attribute.
        const std::string_view raw_key(key_data, key_length);
        if (name == key->ids.raw_id) {
          return strict_fault(key_data, "not well-formed: undeclared namespace prefix '" +
                                            std::string(raw_key.substr(0, raw_key.find(':'))) + "'");
        }
        if (record_key(name, a.key_begin)) {
          return strict_fault(key_data, "not well-formed: duplicate attribute '" + std::string(doc_.name(name)) + "'");
        }
      }
    }
    const std::size_t value_length = a.value_end - a.value_begin;
    if (value_length > max_attribute_size) {
      return limit_failure(FailureKind::MaxAttributeSizeExceeded, max_attribute_size);
    }
    if constexpr (kStrict) {
      const std::string_view raw_value = content.substr(a.value_begin, value_length);
      if (amp || (!reader.plain() && !strict::plain<'\t', '\n', '<'>(raw_value, readable_end))) {
        if (auto failure = strict_value(raw_value, raw_value.data(), amp, name, key->ids.raw_id, options)) return failure;
        ++kept;
        continue;
      }
    }
    if (!amp) [[likely]] {
      // The ids in one copy from the key (see KnownKey::Ids).
      Attribute& attribute = doc_.attributes.push_uninitialised();
      std::memcpy(static_cast<void*>(&attribute), &key->ids, sizeof key->ids);
      attribute.value = StringRef{base_offset + a.value_begin, value_length, StringRef::Where::Input};
    } else {
      const std::size_t offset = doc_.arena.size();
      if (auto failure = unescape_attribute_value(content.substr(a.value_begin, value_length), options, doc_.arena)) {
        return failure;
      }
      doc_.attributes.push_back(
          Attribute{name, key->ids.raw_id, StringRef{offset, doc_.arena.size() - offset, StringRef::Where::Arena}});
    }
    ++kept;
  }
  return std::nullopt;
}

}  // namespace vorlane
