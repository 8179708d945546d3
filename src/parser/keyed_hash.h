// Keyed hashing for the tables that hold document-controlled strings (interned names,
// attribute keys). The key is drawn per parse, so a document cannot be crafted in advance
// to make all its names land in one bucket.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorlane {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

namespace detail {

inline std::uint64_t rotl64(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

inline std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace detail

// SipHash-1-3: cheap enough for short names, and without seed-independent collisions.
inline std::uint64_t keyed_hash(const HashKey& key, std::string_view bytes) {
  using detail::rotl64;
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
  auto round = [&] {
    v0 += v1; v1 = rotl64(v1, 13); v1 ^= v0; v0 = rotl64(v0, 32);
    v2 += v3; v3 = rotl64(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl64(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl64(v1, 17); v1 ^= v2; v2 = rotl64(v2, 32);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  const std::size_t whole = n & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m = detail::load_le64(p + i);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(n & 0xff) << 56;
  for (std::size_t i = whole; i < n; ++i) last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - whole));
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// A fresh key per parse from the address of a stack object and the clock. Not
// cryptographic randomness, but not predictable from the document either, and it needs
// no shared state between concurrent parses.
inline HashKey make_parse_hash_key(const void* stack_object) {
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(stack_object));
  const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const auto wall = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  HashKey key;
  key.k0 = detail::splitmix64(address ^ detail::splitmix64(ticks));
  key.k1 = detail::splitmix64(key.k0 ^ wall ^ detail::rotl64(address, 29));
  return key;
}

}  // namespace vorlane
