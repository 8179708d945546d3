// How the core refers to a string of the parsed tree: a byte range borrowed from the input
// (which the caller keeps alive) or held in the document's arena (Document::bytes reads it).
#pragma once

#include <cstdint>

namespace vorlane {

// An optional UTF-8 string. Absent differs from present-and-empty. Packed into 16 bytes:
// nodes are the bulk of a parse's memory.
struct StringRef {
  enum class Where : std::uint8_t { Absent, Input, Arena };
  std::uint64_t offset = 0;
  std::uint64_t length : 56 = 0;
  Where where : 8 = Where::Absent;

  bool present() const { return where != Where::Absent; }
};
static_assert(sizeof(StringRef) == 16);

}  // namespace vorlane
