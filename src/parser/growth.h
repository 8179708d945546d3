// Growth of the document's big vectors. Doubling would copy every node about once and
// touch up to three times the memory finally needed, and on large inputs the page faults
// of that memory cost more than the parse. So when a vector fills, its new capacity is
// predicted from the density seen so far in the input, with an eighth to spare; it still
// grows at least geometrically, so a document whose density rises later stays linear.
#pragma once

#include <cstddef>
#include <vector>

namespace vorlane {

// `consumed` of `total` input bytes have been read. `min_bytes_per_item` bounds the
// prediction: no document holds more items than total / min_bytes_per_item.
template <class T>
void grow_by_density(std::vector<T>& v, std::size_t consumed, std::size_t total, std::size_t min_bytes_per_item) {
  const std::size_t n = v.size();
  std::size_t want = n + n / 2 + 16;
  if (consumed > 0 && consumed < total) {
    const double predicted = static_cast<double>(n) * (static_cast<double>(total) / static_cast<double>(consumed)) * 1.125;
    const double ceiling = static_cast<double>(total / min_bytes_per_item + 16);
    const double bounded = predicted < ceiling ? predicted : ceiling;
    if (bounded > static_cast<double>(want)) want = static_cast<std::size_t>(bounded);
  }
  v.reserve(want);
}

}  // namespace vorlane
