// Start-tag processing: the element's rendered tag and its attribute list, with the
// attribute limits, the duplicate check on raw keys and `{namespace}local` rendering.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/document.h"
#include "common/inline_vector.h"
#include "common/parse_failure.h"
#include "common/parse_options.h"
#include "parser/name_table.h"
#include "parser/namespace_resolver.h"
#include "parser/strict_rules.h"
#include "parser/string_store.h"
#include "tokenizer/xml_tokenizer.h"

namespace vorlane {

// The rendered form of a raw name: `raw` itself, or "{ns}local" built in `scratch`.
// The default namespace applies to element names only. Never fails.
std::string_view render_name(const NamespaceResolver& ns, std::string_view raw, bool element, std::string& scratch);

class StartTagProcessor {
 public:
  StartTagProcessor(Document& doc, NameTable& names) : doc_(doc), names_(names) {}

  // The name id of the element's rendered tag, or NameTable::kOverBudget when a new
  // "{namespace}local" tag would cross the document's budget for such names. `raw_id` is
  // the raw name's own id.
  std::uint32_t render_element_name(const NamespaceResolver& ns, std::string_view raw_name, std::uint32_t raw_id);

  // The failure for a name that kOverBudget refused.
  MaybeFailure over_budget() const;

  // Appends the tag's kept attributes to doc.attributes, in document order. `content` is
  // the raw tag content, a view of the input (see assert_in_input), `name_length` the
  // length of the raw element name and `raw_id` its id. The attributes are `read`, those
  // the tokenizer read (XmlEvent::attributes), or if it is null read here from the content.
  // `open_last` (a tag cut inside a value, see XmlEventKind::TagPastLimit): the last value
  // runs to the end of the content, unclosed.
  MaybeFailure process_attributes(const NamespaceResolver& ns, std::string_view content, std::size_t name_length,
                                  std::uint32_t raw_id, const TagAttributes* read, const ParseOptions& options,
                                  bool open_last = false);
  // process_attributes when the options are known to be tolerant: the caller that knows
  // its mode spares every tag the check.
  MaybeFailure tolerant_attributes(const NamespaceResolver& ns, std::string_view content, std::size_t name_length,
                                   std::uint32_t raw_id, const TagAttributes* read, const ParseOptions& options,
                                   bool open_last = false);

  // Strict mode: values are folded in `buffers`.
  void read_strictly(strict::Buffers& buffers) { strict_ = &buffers; }

  // Where the byte that made a strict refusal lies, in the input; null otherwise.
  const char* fault_at() const { return fault_at_; }

  // For an input in pieces: drops what is remembered by its place in the input, before the
  // buffer holding it changes.
  // Most pieces of a stream fed in small pieces hold no tag, and leave nothing to drop.
  void forget_input() {
    if (!remembers_input_) return;
    for (CacheEntry& entry : cache_) entry = CacheEntry{};
    for (std::size_t i = 0; i < tag_slots_.size(); ++i) tag_slots_[i].keys_size = 0;
    remembers_input_ = false;
  }

 private:
  // The processor reads names up to the input's end in 16-byte blocks, remembers them by
  // their place in it, and borrows values by offset: what it is given must lie in the input.
  void assert_in_input([[maybe_unused]] std::string_view bytes) const {
    assert(!doc_.input.empty() && points_into(doc_.input, bytes));
  }

  // The duplicate check: raw keys are interned like names, so an equal key of the same
  // tag is found through its id in constant time, for any number of attributes.
  template <class Reader, bool kStrict>
  MaybeFailure process(Reader& reader, const NamespaceResolver& ns, std::string_view content, std::uint32_t raw_id,
                       const ParseOptions& options);

  // process_attributes in strict mode.
  MaybeFailure process_strict(const NamespaceResolver& ns, std::string_view content, std::size_t name_length,
                              std::uint32_t raw_id, const TagAttributes* read, const ParseOptions& options, bool open_last);
  // Strict mode: a value that needs more than borrowing (references, white space to fold,
  // or something to refuse), checked and stored in the arena as attribute `name`.
  MaybeFailure strict_value(std::string_view raw, const char* at, bool amp, std::uint32_t name, std::uint32_t raw_id,
                            const ParseOptions& options);
  MaybeFailure strict_fault(const char* at, std::string message) {
    fault_at_ = at;
    return ParseFailure::syntax(std::move(message));
  }

  std::optional<std::size_t> record_key(std::uint32_t raw_id, std::size_t position) {
    if (raw_id >= seen_.size()) seen_.resize(names_.size());
    SeenKey& seen = seen_[raw_id];
    if (seen.tag == tag_serial_) return seen.position;
    seen.tag = tag_serial_;
    seen.position = position;
    return std::nullopt;
  }

  // The name id of `raw` rendered under the current scope. Names that namespaces leave
  // unchanged are interned directly; the others go through a small cache keyed by the raw
  // bytes and the scope's version, so "{namespace}local" is built once per scope change.
  // NameTable::kOverBudget when a new "{namespace}local" name does not fit the budget.
  std::uint32_t rendered_id(const NamespaceResolver& ns, std::string_view raw, bool element);
  std::uint32_t render_and_cache(const NamespaceResolver& ns, std::string_view raw, bool element);
  // Renders and interns; a "{namespace}local" result is charged to the name budget.
  std::uint32_t intern_rendered(const NamespaceResolver& ns, std::string_view raw, bool element);

  // Tags of one name tend to repeat their keys in the same order. Each key seen is
  // remembered in the order of the last tag whose keys it predicts; while a tag's keys equal
  // that sequence byte for byte, their ids are known, and since the remembered keys were
  // distinct and passed every key check under the same options, no key check is needed.
  struct KnownKey {
    // The two ids as an Attribute begins with them, so that a kept key is one copy: the
    // rendered name and the raw key's.
    struct Ids {
      std::uint32_t name;  // the raw key's for a key without a colon, else its rendering
      std::uint32_t raw_id;
    };
    static_assert(sizeof(Ids) == 8);
    const char* raw;  // in the input: the latest occurrence
    std::size_t length;
    Ids ids;
    bool declaration;  // "xmlns" or "xmlns:..."
    bool colon;        // rendered under the scope, not equal to the raw key
    // A key with a colon: ids.name is its rendering under the scope version `rendered_version` - 1.
    const NamespaceResolver* rendered_scope = nullptr;
    std::uint64_t rendered_version = 0;
  };
  // What is remembered per raw tag name, in a slot chosen by its id: the name's rendering
  // under one scope version and the keys of its last tag. Names that share a slot take it
  // from each other, which only makes the predictions worse. Trivial, so that the table is
  // created with one memset: all-zero is the unowned slot.
  struct TagSlot {
    std::uint32_t owner;    // raw name id + 1; 0: none
    std::uint32_t id;       // the rendering, valid while `version` is not 0
    const NamespaceResolver* scope;
    std::uint64_t version;  // scope version + 1 of `id`; 0: none
    // The keys of its last tag: known_pool_[keys_begin, keys_begin + keys_size). All slots
    // share the pool, so a slot costs no allocation of its own.
    std::size_t keys_begin;
    std::size_t keys_size;
    std::size_t keys_capacity;
  };
  static_assert(std::is_trivially_default_constructible_v<TagSlot>);
  // The slot of the raw tag name `raw_id`, taken over for it if another name had it.
  TagSlot& slot_for(std::uint32_t raw_id) {
    if (tag_slots_.empty()) [[unlikely]] tag_slots_.assign(kTagSlots, TagSlot{});
    TagSlot& slot = tag_slots_[raw_id & (kTagSlots - 1)];
    if (slot.owner != raw_id + 1) [[unlikely]] {
      slot.owner = raw_id + 1;
      slot.version = 0;
      slot.keys_size = 0;  // the pool space stays with the slot
    }
    return slot;
  }
  // Records keys [0, count) of the slot for the duplicate check of the current tag.
  void record_known(const TagSlot& slot, std::size_t count, const char* content);
  // Appends a key to the slot's list, moving the list to the pool's end when it is full.
  // Abandoned space is at most what the lists grew to: each move doubles the capacity.
  KnownKey& push_known(TagSlot& slot, const KnownKey& key);

  struct CacheEntry {
    const NamespaceResolver* scope = nullptr;
    const char* raw = nullptr;  // in the input, which outlives the parse
    std::size_t length = 0;
    std::uint64_t version = 0;  // scope version + 1; 0: empty
    std::uint32_t id = 0;
    bool element = false;
  };
  static constexpr std::size_t kCacheSize = 256;

  struct SeenKey {
    std::uint64_t tag = 0;  // serial of the tag that last used this raw key; 0: none
    std::size_t position = 0;
  };

  static constexpr std::size_t kTagSlots = 64;
  Document& doc_;
  NameTable& names_;
  // The first entries of these lie in the object, so a small document allocates none.
  InlineVector<SeenKey, 32> seen_;  // by name id
  std::uint64_t tag_serial_ = 0;
  std::string scratch_;
  std::vector<CacheEntry> cache_;  // kCacheSize entries once a namespaced name was met
  InlineVector<TagSlot, kTagSlots> tag_slots_;  // kTagSlots of them once a tag was met
  InlineVector<KnownKey, 16> known_pool_;
  // A name or key has been remembered by its place in the input since forget_input.
  bool remembers_input_ = false;
  // Strict mode.
  const char* fault_at_ = nullptr;
  strict::Buffers* strict_ = nullptr;
};

}  // namespace vorlane
