// The parsed tree. Nodes are stored flat, in document (pre-)order, owned by the Document;
// a node's children are the nodes after it up to its subtree end. Strings are byte ranges
// either borrowed from the input (which the caller keeps alive) or held in the document's
// arena, so a parse allocates per block of nodes, not per node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// A vector kept in fixed-size blocks. Growing never moves elements, so there is no copy
// and no doubled peak, and a reader walking the elements in order can release the blocks
// it is done with. Blocks stay below the allocator's mmap threshold so that their memory
// is reused across parses instead of being faulted in anew each time.
template <class T, std::size_t kBlockBytes = 64 * 1024>
class BlockVector {
  static constexpr std::size_t floor_pow2(std::size_t n) {
    std::size_t p = 1;
    while (p * 2 <= n) p *= 2;
    return p;
  }

 public:
  // A power of two, so that indexing is a shift and a mask.
  static constexpr std::size_t kBlock = floor_pow2(kBlockBytes / sizeof(T) > 0 ? kBlockBytes / sizeof(T) : 1);

  BlockVector() = default;
  BlockVector(BlockVector&& other) noexcept { *this = std::move(other); }
  BlockVector& operator=(BlockVector&& other) noexcept {
    // The blocks do not move, so the cursor stays valid; the source is left empty.
    blocks_ = std::move(other.blocks_);
    cursor_ = std::exchange(other.cursor_, nullptr);
    block_end_ = std::exchange(other.block_end_, nullptr);
    size_ = std::exchange(other.size_, 0);
    released_ = std::exchange(other.released_, 0);
    other.blocks_.clear();
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return blocks_[i / kBlock][i % kBlock]; }
  const T& operator[](std::size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
  T& back() { return cursor_[-1]; }

  void push_back(const T& value) {
    if (cursor_ == block_end_) [[unlikely]] add_block();
    *cursor_++ = value;
    ++size_;
  }

  // Frees every full block that holds only elements before `index`; those must not be read
  // again. The block still being filled is kept.
  void release_before(std::size_t index) {
    const std::size_t last = (index < size_ ? index : size_) / kBlock;
    for (; released_ < last; ++released_) blocks_[released_].reset();
  }

 private:
  void add_block() {
    blocks_.push_back(std::make_unique<T[]>(kBlock));
    cursor_ = blocks_.back().get();
    block_end_ = cursor_ + kBlock;
  }

  std::vector<std::unique_ptr<T[]>> blocks_;
  T* cursor_ = nullptr;     // next free slot in the last block
  T* block_end_ = nullptr;
  std::size_t size_ = 0;
  std::size_t released_ = 0;
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
  BlockVector<ElementNode> nodes;    // pre-order; nodes[0] is the root
  BlockVector<Attribute> attributes;
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
