// Interning of rendered names: equal names share one id, so the module converts each
// distinct name to a Python string once. Ids index Document::names and are dense from 0.
//
// Names repeat constantly, so lookups dominate. They use a cheap hash seeded per parse
// (two multiplications for a name of up to 16 bytes) and compare short names as two
// overlapping words. A document cannot aim at the seeded hash in advance; should a probe
// sequence still grow long, the table switches once to the keyed SipHash for good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "common/document.h"
#include "common/inline_vector.h"
#include "parser/keyed_hash.h"
#include "parser/string_store.h"
#include "tokenizer/scan.h"

namespace vorlane {

namespace name_hash {

using scan::load64;
using scan::short_words;

// Folded 64x64->128 multiplication.
VORLANE_HOT_INLINE std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
#else
  const std::uint64_t lo = a * b;
  const std::uint64_t hi = (a >> 32) * (b >> 32) + (((a & 0xffffffffu) * (b >> 32)) >> 32) +
                           (((a >> 32) * (b & 0xffffffffu)) >> 32);
  return lo ^ hi;
#endif
}

VORLANE_HOT_INLINE std::uint64_t seeded(const HashKey& key, const char* p, std::size_t n) {
  std::uint64_t a;
  std::uint64_t b;
  std::uint64_t state = key.k0;
  if (n > 16) {
    std::size_t i = 0;
    for (; n - i > 16; i += 16) {
      state = fold_mul(load64(p + i) ^ key.k1, load64(p + i + 8) ^ state);
    }
    a = load64(p + n - 16);
    b = load64(p + n - 8);
    const std::uint64_t h = fold_mul(a ^ key.k1, b ^ state);
    return fold_mul(h ^ key.k0, n ^ key.k1);
  }
  // Names of up to 16 bytes, nearly all of them: one multiplication.
  short_words(p, n, a, b);
  return fold_mul(a ^ key.k1 ^ n, b ^ key.k0);
}

VORLANE_HOT_INLINE bool equal(const char* x, const char* y, std::size_t n) { return scan::equal_bytes(x, y, n); }

}  // namespace name_hash

class NameTable {
 public:
  // Past this many probes for one lookup the seeded hash is abandoned for the keyed one.
  // At a load factor of at most one half, honest names essentially never get near it.
  static constexpr std::size_t kMaxProbe = 40;

  // The first kInlineSlots slots (768 bytes) lie in the object: enough for a small
  // document's names without an allocation. The table doubles from there.
  NameTable(Document& doc, const HashKey& key) : doc_(doc), key_(key), seed_(seed_for(key)) {}
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;
  ~NameTable() {
    if (slots_ != inline_slots_) std::free(slots_);
  }

  // The seed of the cheap hash, derived so that it shares nothing usable with the SipHash key.
  static HashKey seed_for(const HashKey& key) {
    HashKey seed;
    seed.k0 = detail::splitmix64(key.k0 ^ 0x5851f42d4c957f2dULL);
    seed.k1 = detail::splitmix64(key.k1 ^ seed.k0);
    return seed;
  }

  // The cheap hash of `name` under `seed`, as intern computes it (tests use it to build
  // colliding names).
  static std::uint64_t fast_hash(const HashKey& seed, std::string_view name) {
    std::uint64_t a;
    std::uint64_t b;
    const std::size_t n = name.size();
    scan::padded_words(name.data(), n < 16 ? n : 16, name.data() + n, a, b);
    return short_hash(seed, a, b, name);
  }

  // The id of `name`, adding it if new. A new name borrows from the input when `name`
  // lies in it, else it is copied to the arena.
  VORLANE_HOT_INLINE std::uint32_t intern(std::string_view name) {
    return intern_readable(name, readable_end(name), false);
  }

  // intern() for a name known to lie in the input.
  VORLANE_HOT_INLINE std::uint32_t intern_in_input(std::string_view name) {
    return intern_readable(name, doc_.input.data() + doc_.input.size(), false);
  }

  // What intern_qualified returns for a name that does not fit the budget; never an id.
  static constexpr std::uint32_t kOverBudget = 0xffffffffu;

  // The budget of a document's distinct "{namespace}local" names, in bytes: the larger of
  // 8 MiB and the bytes read up to the end of the tag being read. Each such name is a
  // namespace name (up to the input's size) joined to a local name, so unbounded they could
  // claim memory that grows with the square of the input, here and again as Python strings;
  // real documents use a few kilobytes. Counting only bytes already read keeps the outcome
  // the same however the input is cut into pieces.
  static constexpr std::uint64_t qualified_budget(std::uint64_t bytes_read) {
    constexpr std::uint64_t kFloor = std::uint64_t{8} << 20;
    return bytes_read > kFloor ? bytes_read : kFloor;
  }
  // The tag being read ends just before `end`, a place in the input, whose first byte is
  // byte `input_base` of the document.
  VORLANE_HOT_INLINE void set_tag_end(const char* end) { tag_end_ = end; }
  void set_input_base(std::uint64_t input_base) { input_base_ = input_base; }
  std::uint64_t qualified_limit() const {
    return qualified_budget(tag_end_ == nullptr ? 0 : input_base_ + static_cast<std::uint64_t>(tag_end_ - doc_.input.data()));
  }

  // New names are copied to the arena even when they lie in the input: for an input that
  // comes in pieces, whose buffer changes between them.
  void copy_names() { copy_names_ = true; }

  // intern() for a rendered "{namespace}local" name: a new one is charged to the budget
  // before it is stored, and kOverBudget comes back instead when it does not fit.
  std::uint32_t intern_qualified(std::string_view name) { return intern_readable(name, readable_end(name), true); }

  std::size_t size() const { return doc_.names.size(); }

  // True once the table has fallen back to the keyed hash (for tests).
  bool uses_keyed_hash() const { return strong_; }

 private:
  // `readable_end`: bytes up to it may be read in 16-byte blocks (the name's own end, or the
  // end of the input holding it).
  VORLANE_HOT_INLINE std::uint32_t intern_readable(std::string_view name, const char* readable_end, bool qualified) {
    // Each slot holds the first 16 bytes of its name, so a short name is found without
    // touching the name's own storage.
    const std::size_t n = name.size();
    std::uint64_t a;
    std::uint64_t b;
    scan::padded_words(name.data(), n < 16 ? n : 16, readable_end, a, b);
    const std::uint64_t hash = strong_ ? keyed_hash(key_, name) : short_hash(seed_, a, b, name);
    const std::uint32_t length = saturated_length(n);
    const std::size_t mask = mask_;
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    std::size_t probes = 0;
    for (;;) {
      const Slot& slot = slots_[i];
      if (slot.id == 0) break;
      if (slot.a == a && slot.b == b && slot.length == length && (n <= 16 || same_tail(slot.id - 1, name))) {
        return slot.id - 1;
      }
      i = (i + 1) & mask;
      if (++probes > kMaxProbe && !strong_) return rebuild_strong_and_intern(name, qualified);
    }
    return insert(name, hash, i, a, b, qualified);
  }

  struct Slot {
    std::uint64_t a = 0;  // the name's first 16 bytes, zero-padded
    std::uint64_t b = 0;
    std::uint32_t id = 0;  // id + 1, or 0 for an empty slot
    std::uint32_t length = 0;  // saturated: names of 2^32 bytes and more compare in full anyway
  };

  // `a` and `b`: the name's first 16 bytes, zero-padded.
  VORLANE_HOT_INLINE static std::uint64_t short_hash(const HashKey& seed, std::uint64_t a, std::uint64_t b,
                                                     std::string_view name) {
    const std::size_t n = name.size();
    if (n <= 16) return name_hash::fold_mul(a ^ seed.k1 ^ n, b ^ seed.k0);
    return name_hash::seeded(seed, name.data(), n);
  }

  // Where a name may be read in 16-byte blocks: the input's end for names inside it.
  const char* readable_end(std::string_view name) const {
    if (!doc_.input.empty() && points_into(doc_.input, name)) return doc_.input.data() + doc_.input.size();
    return name.data() + name.size();
  }

  bool same_tail(std::uint32_t id, std::string_view name) const {
    const StringRef& ref = doc_.names[id];
    const char* base = ref.where() == StringRef::Where::Input ? doc_.input.data() : doc_.arena.data();
    return ref.length() == name.size() && std::memcmp(base + ref.offset, name.data(), name.size()) == 0;
  }

  VORLANE_NOINLINE std::uint32_t insert(std::string_view name, std::uint64_t hash, std::size_t i, std::uint64_t a, std::uint64_t b,
                       bool qualified) {
    if (qualified) {
      const std::uint64_t limit = qualified_limit();
      if (qualified_used_ > limit || name.size() > limit - qualified_used_) return kOverBudget;
      qualified_used_ += name.size();
    }
    // Ids are 32-bit; a document with 2^32 - 1 distinct names is beyond any sane memory budget.
    if (doc_.names.size() >= 0xfffffffeu) throw std::bad_alloc();
    // A document has a handful of names: one allocation for the first 16 instead of a
    // regrowth per doubling.
    if (doc_.names.capacity() == 0) doc_.names.reserve(16);
    const auto id = static_cast<std::uint32_t>(doc_.names.size());
    doc_.names.push_back(copy_names_ ? copy_to_arena(doc_, name) : store_string(doc_, name));
    hashes_.push_back(hash);
    slots_[i] = Slot{a, b, id + 1, saturated_length(name.size())};
    if (doc_.names.size() * 2 > slot_count_) rehash(slot_count_ * 2);
    return id;
  }

  VORLANE_HOT_INLINE static std::uint32_t saturated_length(std::size_t n) {
    return n < 0xffffffffu ? static_cast<std::uint32_t>(n) : 0xffffffffu;
  }

  std::uint32_t rebuild_strong_and_intern(std::string_view name, bool qualified) {
    strong_ = true;
    for (std::uint32_t id = 0; id < hashes_.size(); ++id) hashes_[id] = keyed_hash(key_, doc_.name(id));
    rehash(slot_count_);
    return intern_readable(name, readable_end(name), qualified);
  }

  // Moves the slots to a fresh zeroed array of `capacity` (a power of two) on the heap.
  VORLANE_NOINLINE void rehash(std::size_t capacity) {
    Slot* const fresh = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));  // all-zero: empty
    if (fresh == nullptr) throw std::bad_alloc();
    const std::size_t mask = capacity - 1;
    for (std::size_t k = 0; k < slot_count_; ++k) {
      const Slot& slot = slots_[k];
      if (slot.id == 0) continue;
      std::size_t i = static_cast<std::size_t>(hashes_[slot.id - 1]) & mask;
      while (fresh[i].id != 0) i = (i + 1) & mask;
      fresh[i] = slot;
    }
    if (slots_ != inline_slots_) std::free(slots_);
    slots_ = fresh;
    slot_count_ = capacity;
    mask_ = mask;
  }

  Document& doc_;
  HashKey key_;
  HashKey seed_;
  bool strong_ = false;
  bool copy_names_ = false;
  const char* tag_end_ = nullptr;
  std::uint64_t input_base_ = 0;
  std::uint64_t qualified_used_ = 0;  // bytes of the qualified names so far
  static constexpr std::size_t kInlineSlots = 32;
  Slot inline_slots_[kInlineSlots];
  Slot* slots_ = inline_slots_;  // inline_slots_ or a heap array from rehash
  std::size_t slot_count_ = kInlineSlots;  // a power of two
  std::size_t mask_ = kInlineSlots - 1;
  InlineVector<std::uint64_t, 16> hashes_;  // per id, so growing never rehashes the bytes
};

}  // namespace vorlane
