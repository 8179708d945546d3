#include "common/utf8.h"

#include <cstdint>
#include <cstring>
#include <string_view>

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

#if defined(__x86_64__) && defined(__GNUC__)
#define VORLANE_UTF8_SSSE3 1

// Validity only, 16 bytes per step without a branch per character: the "lookup" algorithm
// of J. Keiser and D. Lemire, "Validating UTF-8 In Less Than One Instruction Per Byte"
// (Software: Practice and Experience 51(5), 2021), as simdjson implements it. Every pair
// of adjacent bytes is classified through three 16-entry tables, indexed by the high nibble
// of the first byte, its low nibble, and the high nibble of the second; the AND of the
// three lookups has a bit set for each error the pair shows. The positions that must hold
// the second or third continuation byte of a 3- or 4-byte sequence are found apart (from
// the bytes two and three back) and must match exactly the pairs of two continuations.
// SSSE3 has the byte shuffle this needs; the shipped build targets plain x86-64, so it is
// chosen at run time.
struct Ssse3State {
  __m128i error;
  __m128i previous;
  __m128i previous_incomplete;
};

__attribute__((target("ssse3"))) inline void ssse3_step(Ssse3State& st, __m128i input) {
  // One bit per error of a byte pair (first byte, second byte), `_` for any bit:
  //   bit 0 kTooShort     11______ 0_______ or 11______ 11______: a lead without continuation
  //   bit 1 kTooLong      0_______ 10______: a continuation after ASCII
  //   bit 2 kOverlong3    11100000 100_____
  //   bit 3 kTooLarge     11110100 1001____, 11110100 101_____, and the same second bytes
  //                       after 11110101..11111111: above U+10FFFF
  //   bit 4 kSurrogate    11101101 101_____
  //   bit 5 kOverlong2    1100000_ 10______
  //   bit 6 kTooLarge1000 11110101..11111111 1000____: above U+10FFFF
  //   bit 6 kOverlong4    11110000 1000____
  //   bit 7 kTwoConts     10______ 10______: legal only where a 3- or 4-byte sequence
  //                       continues, which must23 below marks
  // kTooLarge1000 and kOverlong4 share bit 6: both need a first byte 1111____ and a second
  // byte 1000____, so two of the three lookups agree, and the third (the low nibble of the
  // first byte: 0 for one, 5..F for the other) sets the bit for exactly their union.
  constexpr char kTooShort = 1 << 0;
  constexpr char kTooLong = 1 << 1;
  constexpr char kOverlong3 = 1 << 2;
  constexpr char kTooLarge = 1 << 3;
  constexpr char kSurrogate = 1 << 4;
  constexpr char kOverlong2 = 1 << 5;
  constexpr char kTooLarge1000 = 1 << 6;
  constexpr char kOverlong4 = 1 << 6;
  constexpr char kTwoConts = static_cast<char>(1 << 7);
  // The errors that do not depend on the first byte's low nibble: every entry of that
  // table lets them through.
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

// Whether all n bytes at p are valid UTF-8 (see ssse3_step).
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
  const std::string_view text(data, size);
  const unsigned char* p = begin;
  Check result;
  while (p != end) {
    if (*p < 0x80) {
      p = skip_ascii(p + 1, end);
      continue;
    }
    const auto at = static_cast<std::size_t>(p - begin);
    char32_t ignored;
    unsigned bad_length;
    const std::size_t length = decode(text, at, ignored, bad_length);
    if (length == 0) {
      result.ok = false;
      result.incomplete = bad_length == 0;
      result.index = at;
      result.length = bad_length;
      return result;
    }
    p += length;
  }
  return result;
}

}  // namespace

}  // namespace vorlane::utf8
