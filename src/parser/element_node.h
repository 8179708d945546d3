// The parsed tree. Nodes are stored flat, in document (pre-)order, in one vector owned by
// the Document; a node's children are the nodes after it up to its subtree end. Strings
// are byte ranges either borrowed from the input (which the caller keeps alive) or held
// in the document's arena, so a parse allocates per buffer growth, not per node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane {

// An optional UTF-8 string. Absent differs from present-and-empty.
struct StringRef {
  enum class Where : std::uint8_t { Absent, Input, Arena };
  std::size_t offset = 0;
  std::size_t length = 0;
  Where where = Where::Absent;

  bool present() const { return where != Where::Absent; }
};

struct Attribute {
  std::uint32_t name = 0;  // name id (Document::name)
  StringRef value;         // always present
};

struct ElementNode {
  std::uint32_t tag = 0;              // name id (Document::name), the rendered tag
  std::uint32_t attribute_count = 0;  // attributes are Document::attributes[first_attribute ..)
  std::size_t first_attribute = 0;
  std::size_t subtree_end = 0;  // index one past this node's last descendant in Document::nodes
  StringRef text;
  StringRef tail;
};

struct Document {
  std::string_view input;            // the bytes parse_core was given
  std::vector<ElementNode> nodes;    // pre-order; nodes[0] is the root
  std::vector<Attribute> attributes;
  std::vector<StringRef> names;      // name id -> rendered name bytes; ids are dense from 0
  std::string arena;                 // owned bytes that could not be borrowed from the input

  std::string_view bytes(const StringRef& ref) const {
    switch (ref.where) {
      case StringRef::Where::Input: return input.substr(ref.offset, ref.length);
      case StringRef::Where::Arena: return std::string_view(arena).substr(ref.offset, ref.length);
      case StringRef::Where::Absent: break;
    }
    return {};
  }
  std::string_view name(std::uint32_t id) const { return bytes(names[id]); }
};

}  // namespace vorlane
