// A stack with room for its first elements inside the object, for the per-parse scratch of
// the core: a small document needs no allocation for it, and a push is a compare and a
// store, with the growth kept out of line.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "common/compiler.h"

namespace vorlane {

template <class T, std::size_t kInline>
class InlineStack {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "elements are moved with memcpy and never destroyed one by one");
  static_assert(kInline > 0);

 public:
  InlineStack() = default;
  // The pointers may point into the object itself.
  InlineStack(const InlineStack&) = delete;
  InlineStack& operator=(const InlineStack&) = delete;
  ~InlineStack() {
    if (begin_ != inline_begin()) std::free(begin_);
  }

  bool empty() const { return top_ == begin_; }
  std::size_t size() const { return static_cast<std::size_t>(top_ - begin_); }
  T& back() { return top_[-1]; }
  const T& back() const { return top_[-1]; }
  T& operator[](std::size_t i) { return begin_[i]; }
  const T& operator[](std::size_t i) const { return begin_[i]; }
  void pop_back() { --top_; }
  void clear() { top_ = begin_; }

  VORLANE_HOT_INLINE void push_back(const T& value) {
    if (top_ == end_) [[unlikely]] grow();
    *top_++ = value;
  }

 private:
  VORLANE_NOINLINE void grow() {
    const std::size_t size = this->size();
    const std::size_t capacity = size * 2;
    T* moved = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    if (moved == nullptr) throw std::bad_alloc();
    std::memcpy(static_cast<void*>(moved), begin_, size * sizeof(T));
    if (begin_ != inline_begin()) std::free(begin_);
    begin_ = moved;
    top_ = moved + size;
    end_ = moved + capacity;
  }

  T* inline_begin() { return reinterpret_cast<T*>(inline_); }

  // Raw bytes, so that creating the stack writes nothing there.
  alignas(T) unsigned char inline_[sizeof(T) * kInline];
  T* begin_ = inline_begin();
  T* top_ = begin_;
  T* end_ = begin_ + kInline;
};

}  // namespace vorlane
