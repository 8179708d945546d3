// One element of the parsed tree and one of its attributes, as the Document stores them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/string_ref.h"

namespace vorlane {

struct Attribute {
  std::uint32_t name = 0;      // name id (Document::name), rendered
  std::uint32_t raw_name = 0;  // name id of the key as written (in what would be padding)
  StringRef value;             // always present
};
static_assert(sizeof(Attribute) == 24);

// Counts and indices are 32-bit: a node is written per element, so its size is memory
// traffic (and, on a cold heap, page faults) per element. A document with 2^32 nodes or
// attributes needs at least 16 GB of input; the core reports it as out of memory.
inline constexpr std::size_t kMaxNodeIndex = 0xffffffffu;

struct ElementNode {
  std::uint32_t tag = 0;              // name id (Document::name), the rendered tag
  std::uint32_t attribute_count = 0;  // attributes are Document::attributes[first_attribute ..)
  std::uint32_t first_attribute = 0;
  std::uint32_t subtree_end = 0;  // index one past this node's last descendant in Document::nodes
  StringRef text;
  StringRef tail;
};

}  // namespace vorlane
