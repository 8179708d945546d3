// The parsed tree. Nodes are stored flat, in document (pre-)order, owned by the Document;
// a node's children are the nodes after it up to its subtree end. Strings are byte ranges
// either borrowed from the input (which the caller keeps alive) or held in the document's
// arena, so a parse allocates per block of nodes, not per node.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/block_vector.h"
#include "common/element_node.h"
#include "common/string_ref.h"

namespace vorlane {

struct Document {
  std::string_view input;            // the bytes parse_core was given
  BlockVector<ElementNode> nodes;    // pre-order; nodes[0] is the root
  BlockVector<Attribute> attributes;
  std::vector<StringRef> names;      // name id -> rendered name bytes; ids are dense from 0
  std::string arena;                 // owned bytes that could not be borrowed from the input

  std::string_view bytes(const StringRef& ref) const {
    switch (ref.where()) {
      case StringRef::Where::Input: return input.substr(ref.offset, ref.length());
      case StringRef::Where::Arena: return std::string_view(arena).substr(ref.offset, ref.length());
      case StringRef::Where::Absent: break;
    }
    return {};
  }
  std::string_view name(std::uint32_t id) const { return bytes(names[id]); }
};

}  // namespace vorlane
