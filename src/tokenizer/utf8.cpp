#include "tokenizer/utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane::utf8 {
namespace {

// Skips a run of ASCII bytes, 16 at a time where possible.
inline const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
  while (end - p >= 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
    p += 64;
  }
  while (end - p >= 16) {
    const int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) break;
    p += 8;
  }
#endif
  while (p < end && *p < 0x80) ++p;
  return p;
}

inline bool is_continuation(unsigned char b) { return (b & 0xC0u) == 0x80u; }

}  // namespace

Check validate(const char* data, std::size_t size) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(data);
  const auto* const end = begin + size;
  const unsigned char* p = begin;
  Check result;
  while (p != end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      p = skip_ascii(p + 1, end);
      continue;
    }
    unsigned need;  // continuation bytes after the lead
    unsigned char lo = 0x80;  // allowed range of the first continuation byte
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) lo = 0xA0;       // no overlong forms
      else if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) lo = 0x90;       // no overlong forms
      else if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      // 0x80..0xC1 and 0xF5..0xFF never begin a sequence.
      result.ok = false;
      result.index = static_cast<std::size_t>(p - begin);
      result.length = 1;
      return result;
    }
    for (unsigned i = 1; i <= need; ++i) {
      if (p + i == end) {
        result.ok = false;
        result.incomplete = true;
        result.index = static_cast<std::size_t>(p - begin);
        return result;
      }
      const unsigned char b = p[i];
      const bool allowed = i == 1 ? (b >= lo && b <= hi) : is_continuation(b);
      if (!allowed) {
        result.ok = false;
        result.index = static_cast<std::size_t>(p - begin);
        result.length = i;
        return result;
      }
    }
    p += need + 1;
  }
  return result;
}

}  // namespace vorlane::utf8
