// Storage for the bulk of a parse (nodes, attributes): a vector in fixed-size blocks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "common/compiler.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vorlane {

// Hands the whole pages inside [data, data + bytes) back to the system; their contents are
// lost. Used on memory about to be freed: the allocator keeps freed heap memory resident, so
// without this a reader releasing blocks as it builds something else in memory of its own
// (the interpreter maps its objects separately) would hold both at its peak.
inline void discard_pages(void* data, std::size_t bytes) {
#if defined(__unix__) || defined(__APPLE__)
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + page - 1) & ~(page - 1);
  const std::uintptr_t end = (start + bytes) & ~(page - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
#else
  (void)data;
  (void)bytes;
#endif
}

// A vector kept in fixed-size blocks. Growing never moves elements of a full block, so there
// is no copy of the bulk and no doubled peak, and a reader walking the elements in order can
// release the blocks it is done with. Blocks stay below the allocator's mmap threshold so
// that their memory is reused across parses instead of being faulted in anew each time.
//
// Storage is left uninitialised and each element is constructed by its push: zeroing whole
// blocks up front costs as much as filling them. The first block starts small and doubles
// (moved by realloc while it is the only one) until it reaches the full block size, so a
// small document allocates little.
template <class T, std::size_t kBlockBytes = 64 * 1024>
class BlockVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "elements are moved with realloc and never destroyed one by one");

  static constexpr std::size_t floor_pow2(std::size_t n) {
    std::size_t p = 1;
    while (p * 2 <= n) p *= 2;
    return p;
  }

 public:
  // A power of two, so that indexing is a shift and a mask.
  static constexpr std::size_t kBlock = floor_pow2(kBlockBytes / sizeof(T) > 0 ? kBlockBytes / sizeof(T) : 1);
  // Elements of the first allocation: about 1 KiB, enough for a small document and small
  // enough for the allocator's per-thread cache.
  static constexpr std::size_t kFirstBlock =
      1024 / sizeof(T) < 4 ? (kBlock < 4 ? kBlock : 4) : (1024 / sizeof(T) < kBlock ? 1024 / sizeof(T) : kBlock);

  BlockVector() = default;
  BlockVector(const BlockVector&) = delete;
  BlockVector& operator=(const BlockVector&) = delete;
  BlockVector(BlockVector&& other) noexcept { *this = std::move(other); }
  BlockVector& operator=(BlockVector&& other) noexcept {
    if (this == &other) return *this;
    free_all();
    // The blocks do not move, so the cursor stays valid; the source is left empty.
    if (other.blocks_ == other.first_blocks_) {
      std::copy(other.first_blocks_, other.first_blocks_ + other.block_count_, first_blocks_);
      blocks_ = first_blocks_;
    } else {
      blocks_ = other.blocks_;
    }
    block_count_ = std::exchange(other.block_count_, 0);
    block_capacity_ = std::exchange(other.block_capacity_, kFirstBlocks);
    other.blocks_ = other.first_blocks_;
    cursor_ = std::exchange(other.cursor_, nullptr);
    block_end_ = std::exchange(other.block_end_, nullptr);
    size_ = std::exchange(other.size_, 0);
    released_ = std::exchange(other.released_, 0);
    return *this;
  }
  ~BlockVector() { free_all(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return blocks_[i / kBlock][i % kBlock]; }
  const T& operator[](std::size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
  T& back() { return cursor_[-1]; }

  T& push_back(const T& value) {
    if (cursor_ == block_end_) [[unlikely]] grow();
    T* slot = ::new (static_cast<void*>(cursor_)) T(value);
    ++cursor_;
    ++size_;
    return *slot;
  }

  // Appends a value-initialised element and returns it, for filling in place.
  T& emplace_back() {
    if (cursor_ == block_end_) [[unlikely]] grow();
    T* slot = ::new (static_cast<void*>(cursor_)) T();
    ++cursor_;
    ++size_;
    return *slot;
  }

  // Appends an element left uninitialised, for the caller to fill field by field.
  T& push_uninitialised() {
    if (cursor_ == block_end_) [[unlikely]] grow();
    T* slot = cursor_;
    ++cursor_;
    ++size_;
    return *slot;
  }

  // Removes every element and frees the blocks.
  void clear() noexcept {
    free_all();
    cursor_ = nullptr;
    block_end_ = nullptr;
    size_ = 0;
    released_ = 0;
  }

  // Removes every element, keeping the first block for the next fill while it is at most
  // `reserve_bytes` (then the only one): a vector emptied and refilled in small amounts, as
  // a stream's attributes are for each piece, allocates nothing after its first fill, and
  // holds no more than the reserve while empty.
  void clear_keeping(std::size_t reserve_bytes) noexcept {
    if (block_count_ != 1 || blocks_[0] == nullptr ||
        static_cast<std::size_t>(block_end_ - blocks_[0]) * sizeof(T) > reserve_bytes) {
      clear();
      return;
    }
    cursor_ = blocks_[0];
    size_ = 0;
    released_ = 0;
  }

  // Frees every full block that holds only elements before `index`; those must not be read
  // again. The block still being filled is kept. The freed blocks' pages go back to the
  // system at once (see discard_pages).
  void release_before(std::size_t index) {
    const std::size_t last = (index < size_ ? index : size_) / kBlock;
    for (; released_ < last; ++released_) {
      discard_pages(blocks_[released_], kBlock * sizeof(T));  // every block before the last is full
      std::free(blocks_[released_]);
      blocks_[released_] = nullptr;
    }
  }

 private:
  VORLANE_NOINLINE void grow() {
    if (block_count_ == 1 && size_ < kBlock) {
      // The first block doubles in place of adding a second one. The caller holds no
      // pointer into it across a push (indices only).
      const std::size_t capacity = size_ * 2 < kBlock ? size_ * 2 : kBlock;
      T* moved = static_cast<T*>(std::realloc(static_cast<void*>(blocks_[0]), capacity * sizeof(T)));
      if (moved == nullptr) throw std::bad_alloc();
      blocks_[0] = moved;
      cursor_ = moved + size_;
      block_end_ = moved + capacity;
      return;
    }
    const std::size_t capacity = block_count_ == 0 ? kFirstBlock : kBlock;
    if (block_count_ == block_capacity_) {
      // The table of block pointers doubles; the first ones live in the object.
      T** table = static_cast<T**>(std::malloc(2 * block_capacity_ * sizeof(T*)));
      if (table == nullptr) throw std::bad_alloc();
      std::copy(blocks_, blocks_ + block_count_, table);
      if (blocks_ != first_blocks_) std::free(blocks_);
      blocks_ = table;
      block_capacity_ *= 2;
    }
    T* block = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    if (block == nullptr) throw std::bad_alloc();
    blocks_[block_count_++] = block;
    cursor_ = block;
    block_end_ = block + capacity;
  }

  void free_all() noexcept {
    for (std::size_t i = 0; i < block_count_; ++i) std::free(blocks_[i]);
    if (blocks_ != first_blocks_) std::free(blocks_);
    blocks_ = first_blocks_;
    block_count_ = 0;
    block_capacity_ = kFirstBlocks;
  }

  static constexpr std::size_t kFirstBlocks = 4;
  T* first_blocks_[kFirstBlocks];
  T** blocks_ = first_blocks_;  // malloc'ed blocks; released ones are null
  std::size_t block_count_ = 0;
  std::size_t block_capacity_ = kFirstBlocks;
  T* cursor_ = nullptr;     // next free slot in the last block
  T* block_end_ = nullptr;
  std::size_t size_ = 0;
  std::size_t released_ = 0;
};

}  // namespace vorlane
