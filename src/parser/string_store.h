// Where the core's strings live: borrowed from the input when the bytes are already there
// unchanged, otherwise copied to the end of the document's arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/document.h"

namespace vorlane {

// True when `part` lies entirely inside `whole`. Compared as integers: `part` may lie in
// another buffer (a reference's expansion, the driver's own string), and relational
// operators on pointers into different objects are unspecified.
inline bool points_into(std::string_view whole, std::string_view part) {
  const auto begin = reinterpret_cast<std::uintptr_t>(whole.data());
  const auto p = reinterpret_cast<std::uintptr_t>(part.data());
  return p >= begin && p - begin <= whole.size() && part.size() <= whole.size() - (p - begin);
}

// A fresh arena copy of `bytes`.
inline StringRef copy_to_arena(Document& doc, std::string_view bytes) {
  const std::size_t offset = doc.arena.size();
  doc.arena.append(bytes);
  return StringRef(offset, bytes.size(), StringRef::Where::Arena);
}

// A reference to `bytes`: borrowed when they are part of the input, else a fresh arena copy.
inline StringRef store_string(Document& doc, std::string_view bytes) {
  if (!doc.input.empty() && points_into(doc.input, bytes)) {
    return StringRef(static_cast<std::size_t>(bytes.data() - doc.input.data()), bytes.size(), StringRef::Where::Input);
  }
  return copy_to_arena(doc, bytes);
}

}  // namespace vorlane
