#include "tokenizer/utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <tmmintrin.h>
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

#if defined(__x86_64__) && defined(__GNUC__)
#define VORLANE_UTF8_SSSE3 1

// Validity only, 16 bytes per step without a branch per character: each byte pair is
// classified through three 16-entry tables (the high nibble of the first byte, its low
// nibble, the high nibble of the second), and the positions that must hold the second or
// third continuation byte of a longer sequence are checked apart. SSSE3 has the byte
// shuffle this needs; the shipped build targets plain x86-64, so it is chosen at run time.
struct Ssse3State {
  __m128i error;
  __m128i previous;
  __m128i previous_incomplete;
};

__attribute__((target("ssse3"))) inline void ssse3_step(Ssse3State& st, __m128i input) {
  constexpr char kTooShort = 1 << 0;
  constexpr char kTooLong = 1 << 1;
  constexpr char kOverlong3 = 1 << 2;
  constexpr char kTooLarge = 1 << 3;
  constexpr char kSurrogate = 1 << 4;
  constexpr char kOverlong2 = 1 << 5;
  constexpr char kTooLarge1000 = 1 << 6;
  constexpr char kOverlong4 = 1 << 6;
  constexpr char kTwoConts = static_cast<char>(1 << 7);
  constexpr char kCarry = kTooShort | kTooLong | kTwoConts;
  if (_mm_movemask_epi8(input) == 0) {
    st.error = _mm_or_si128(st.error, st.previous_incomplete);
    st.previous = input;
    return;
  }
  const __m128i byte1_high_table =
      _mm_setr_epi8(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTwoConts,
                    kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                    kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
  const __m128i byte1_low_table = _mm_setr_epi8(
      kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry, kCarry | kTooLarge,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000);
  const __m128i byte2_high_table = _mm_setr_epi8(
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge, kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort);
  // A block ending inside a sequence: its last three bytes may not start one that runs past it.
  const __m128i incomplete_max = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                               static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
                                               static_cast<char>(0xC0 - 1));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i prev1 = _mm_alignr_epi8(input, st.previous, 15);
  const __m128i b1h = _mm_shuffle_epi8(byte1_high_table, _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble));
  const __m128i b1l = _mm_shuffle_epi8(byte1_low_table, _mm_and_si128(prev1, nibble));
  const __m128i b2h = _mm_shuffle_epi8(byte2_high_table, _mm_and_si128(_mm_srli_epi16(input, 4), nibble));
  const __m128i special = _mm_and_si128(_mm_and_si128(b1h, b1l), b2h);
  const __m128i prev2 = _mm_alignr_epi8(input, st.previous, 14);
  const __m128i prev3 = _mm_alignr_epi8(input, st.previous, 13);
  const __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m128i must23 = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
  st.error = _mm_or_si128(st.error, _mm_xor_si128(must23, special));
  st.previous_incomplete = _mm_subs_epu8(input, incomplete_max);
  st.previous = input;
}

// Validity only, 16 bytes per step without a branch per character: each byte pair is
// classified through three 16-entry tables (the high nibble of the first byte, its low
// nibble, the high nibble of the second), and the positions that must hold the second or
// third continuation byte of a longer sequence are checked apart. SSSE3 has the byte
// shuffle this needs; the shipped build targets plain x86-64, so it is chosen at run time.
__attribute__((target("ssse3"))) bool valid_ssse3(const unsigned char* p, std::size_t n) {
  Ssse3State st{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) ssse3_step(st, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
  // The tail (0 to 15 bytes), padded with NULs: at least one NUL follows the last byte, and
  // it ends any sequence still open as an error.
  alignas(16) unsigned char tail[16] = {};
  std::memcpy(tail, p + i, n - i);
  ssse3_step(st, _mm_load_si128(reinterpret_cast<const __m128i*>(tail)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(st.error, _mm_setzero_si128())) == 0xFFFF;
}

bool have_ssse3() { return __builtin_cpu_supports("ssse3"); }
#endif

Check validate_precisely(const char* data, std::size_t size);

}  // namespace

Check validate(const char* data, std::size_t size) {
#if defined(VORLANE_UTF8_SSSE3)
  // Most stretches are valid: settle that fast, and locate an error only when there is one.
  if (have_ssse3() && valid_ssse3(reinterpret_cast<const unsigned char*>(data), size)) return Check{};
#endif
  return validate_precisely(data, size);
}

namespace {

Check validate_precisely(const char* data, std::size_t size) {
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

}  // namespace

}  // namespace vorlane::utf8
