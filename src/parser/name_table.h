// Interning of rendered names: equal names share one id, so the module converts each
// distinct name to a Python string once. Ids index Document::names and are dense from 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "parser/element_node.h"
#include "parser/keyed_hash.h"
#include "parser/string_store.h"

namespace vorlane {

class NameTable {
 public:
  NameTable(Document& doc, const HashKey& key) : doc_(doc), key_(key) {}

  // The id of `name`, adding it if new. A new name borrows from the input when `name`
  // lies in it, else it is copied to the arena.
  std::uint32_t intern(std::string_view name) {
    const std::uint64_t hash = keyed_hash(key_, name);
    if (slots_.empty()) rehash(64);
    std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    while (slots_[i] != 0) {
      const std::uint32_t id = slots_[i] - 1;
      if (hashes_[id] == hash && doc_.name(id) == name) return id;
      i = (i + 1) & mask;
    }
    // Ids are 32-bit; a document with 2^32 - 1 distinct names is beyond any sane memory budget.
    if (doc_.names.size() >= 0xfffffffeu) throw std::bad_alloc();
    const auto id = static_cast<std::uint32_t>(doc_.names.size());
    doc_.names.push_back(store_string(doc_, name));
    hashes_.push_back(hash);
    slots_[i] = id + 1;
    if ((doc_.names.size()) * 2 > slots_.size()) rehash(slots_.size() * 2);
    return id;
  }

  std::size_t size() const { return doc_.names.size(); }

 private:
  void rehash(std::size_t capacity) {
    slots_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::uint32_t id = 0; id < hashes_.size(); ++id) {
      std::size_t i = static_cast<std::size_t>(hashes_[id]) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = id + 1;
    }
  }

  Document& doc_;
  HashKey key_;
  std::vector<std::uint32_t> slots_;  // id + 1, or 0 for an empty slot; capacity a power of two
  std::vector<std::uint64_t> hashes_;  // per id, so growing never rehashes the bytes
};

}  // namespace vorlane
