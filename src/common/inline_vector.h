// A vector with room for its first elements inside the object, for the per-parse scratch of
// the core (open tags, the name table, the attribute predictions): a small document needs
// no allocation for them, which is most of what a call costs beyond its elements. A push is
// a compare and a store, with the growth kept out of line.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "common/compiler.h"

namespace vorlane {

template <class T, std::size_t kInline>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "elements are moved with memcpy and never destroyed one by one");
  static_assert(kInline > 0);

 public:
  InlineVector() = default;
  // The pointers may point into the object itself.
  InlineVector(const InlineVector&) = delete;
  InlineVector& operator=(const InlineVector&) = delete;
  ~InlineVector() {
    if (begin_ != inline_begin()) std::free(begin_);
  }

  bool empty() const { return top_ == begin_; }
  std::size_t size() const { return static_cast<std::size_t>(top_ - begin_); }
  std::size_t capacity() const { return static_cast<std::size_t>(end_ - begin_); }
  T* data() { return begin_; }
  const T* data() const { return begin_; }
  T* begin() { return begin_; }
  T* end() { return top_; }
  T& back() { return top_[-1]; }
  const T& back() const { return top_[-1]; }
  T& operator[](std::size_t i) { return begin_[i]; }
  const T& operator[](std::size_t i) const { return begin_[i]; }
  void pop_back() { --top_; }
  void clear() { top_ = begin_; }

  VORLANE_HOT_INLINE void push_back(const T& value) {
    if (top_ == end_) [[unlikely]] grow(size() + 1);
    *top_++ = value;
  }

  // New elements are value-initialised (zero for the plain structs kept here). Out of line,
  // as the callers' rare paths.
  VORLANE_NOINLINE void resize(std::size_t n) {
    const std::size_t old = size();
    if (n > capacity()) grow(n);
    for (std::size_t i = old; i < n; ++i) ::new (static_cast<void*>(begin_ + i)) T();
    top_ = begin_ + n;
  }

  // n copies of `value`, in place of what was there.
  VORLANE_NOINLINE void assign(std::size_t n, const T& value) {
    clear();
    if (n > capacity()) grow(n);
    for (std::size_t i = 0; i < n; ++i) ::new (static_cast<void*>(begin_ + i)) T(value);
    top_ = begin_ + n;
  }

 private:
  // Room for at least `needed` elements, at least doubling.
  VORLANE_NOINLINE void grow(std::size_t needed) {
    const std::size_t size = this->size();
    std::size_t capacity = this->capacity() * 2;
    if (capacity < needed) capacity = needed;
    if (capacity > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    T* moved = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    if (moved == nullptr) throw std::bad_alloc();
    std::memcpy(static_cast<void*>(moved), begin_, size * sizeof(T));
    if (begin_ != inline_begin()) std::free(begin_);
    begin_ = moved;
    top_ = moved + size;
    end_ = moved + capacity;
  }

  T* inline_begin() { return reinterpret_cast<T*>(inline_); }

  // Raw bytes, so that creating the vector writes nothing there.
  alignas(T) unsigned char inline_[sizeof(T) * kInline];
  T* begin_ = inline_begin();
  T* top_ = begin_;
  T* end_ = begin_ + kInline;
};

}  // namespace vorlane
