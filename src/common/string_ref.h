// How the core refers to a string of the parsed tree: a byte range borrowed from the input
// (which the caller keeps alive) or held in the document's arena (Document::bytes reads it).
#pragma once

#include <cstdint>

namespace vorlane {

// An optional UTF-8 string. Absent differs from present-and-empty. Packed into 16 bytes:
// nodes are the bulk of a parse's memory. The length (56 bits) and the place share one
// word, so that writing a reference is two plain stores, not a read-modify-write of a
// bit-field.
struct StringRef {
  enum class Where : std::uint8_t { Absent, Input, Arena };
  std::uint64_t offset = 0;

  constexpr StringRef() = default;
  constexpr StringRef(std::uint64_t offset_, std::uint64_t length, Where where)
      : offset(offset_), length_where_(length | (static_cast<std::uint64_t>(where) << 56)) {}

  std::uint64_t length() const { return length_where_ & kLengthMask; }
  Where where() const { return static_cast<Where>(length_where_ >> 56); }
  bool present() const { return where() != Where::Absent; }
  // Lengthens the string by n bytes (kept below 2^56 by the input's size).
  void extend(std::uint64_t n) { length_where_ += n; }

 private:
  static constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << 56) - 1;
  std::uint64_t length_where_ = 0;
};
static_assert(sizeof(StringRef) == 16);

}  // namespace vorlane
