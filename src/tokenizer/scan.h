// Delimiter searches for the tokenizer. Each returns the first position in [p, end) holding
// one of the wanted bytes, or `end`. SSE2 on x86-64 (always present there), a plain loop
// elsewhere; single bytes go through memchr, which libc already vectorises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane::scan {

inline const char* find_byte(const char* p, const char* end, char c) {
  if (p >= end) return end;
  const void* hit = std::memchr(p, static_cast<unsigned char>(c), static_cast<std::size_t>(end - p));
  return hit != nullptr ? static_cast<const char*>(hit) : end;
}

template <char... Cs>
inline bool is_one_of(char c) {
  return ((c == Cs) || ...);
}

// First byte of [p, end) that is one of Cs. `high` is OR-ed with a nonzero value if a byte
// with the top bit set lies before the result, so a caller can skip UTF-8 validation of a
// stretch that is pure ASCII.
template <char... Cs>
inline const char* find_any(const char* p, const char* end, unsigned& high) {
#if defined(__SSE2__)
  while (end - p >= 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i ma = _mm_setzero_si128();
    __m128i mb = _mm_setzero_si128();
    ((ma = _mm_or_si128(ma, _mm_cmpeq_epi8(a, _mm_set1_epi8(Cs)))), ...);
    ((mb = _mm_or_si128(mb, _mm_cmpeq_epi8(b, _mm_set1_epi8(Cs)))), ...);
    const unsigned top = static_cast<unsigned>(_mm_movemask_epi8(a)) |
                         (static_cast<unsigned>(_mm_movemask_epi8(b)) << 16);
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(ma)) |
                          (static_cast<unsigned>(_mm_movemask_epi8(mb)) << 16);
    if (bits != 0) {
      high |= top & (bits ^ (bits - 1));  // only the bytes up to the hit
      return p + __builtin_ctz(bits);
    }
    high |= top;
    p += 32;
  }
  if (end - p >= 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i ma = _mm_setzero_si128();
    ((ma = _mm_or_si128(ma, _mm_cmpeq_epi8(a, _mm_set1_epi8(Cs)))), ...);
    const unsigned top = static_cast<unsigned>(_mm_movemask_epi8(a));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(ma));
    if (bits != 0) {
      high |= top & (bits ^ (bits - 1));
      return p + __builtin_ctz(bits);
    }
    high |= top;
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    high |= static_cast<unsigned char>(*p) & 0x80u;
    if (is_one_of<Cs...>(*p)) return p;
  }
  return end;
}

template <char... Cs>
inline const char* find_any(const char* p, const char* end) {
  unsigned ignored = 0;
  return find_any<Cs...>(p, end, ignored);
}

// First ">" in [p, end) outside single- or double-quoted stretches, or `end`. When the input
// ends inside a quoted stretch, `open_quote` is its quote character, else 0. `high` as above.
// Quotes and ">" of a whole block are found at once and then walked as bits, so short
// attribute values cost no extra pass.
inline const char* find_unquoted_gt(const char* p, const char* end, char& open_quote, unsigned& high) {
  char quote = 0;
#if defined(__SSE2__)
  const __m128i dq = _mm_set1_epi8('"');
  const __m128i sq = _mm_set1_epi8('\'');
  const __m128i gt = _mm_set1_epi8('>');
  auto mask = [](__m128i lo, __m128i hi) {
    return static_cast<unsigned>(_mm_movemask_epi8(lo)) |
           (static_cast<unsigned>(_mm_movemask_epi8(hi)) << 16);
  };
  while (end - p >= 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const unsigned m_dq = mask(_mm_cmpeq_epi8(a, dq), _mm_cmpeq_epi8(b, dq));
    const unsigned m_sq = mask(_mm_cmpeq_epi8(a, sq), _mm_cmpeq_epi8(b, sq));
    const unsigned m_gt = mask(_mm_cmpeq_epi8(a, gt), _mm_cmpeq_epi8(b, gt));
    const unsigned any = m_dq | m_sq | m_gt;
    unsigned pending = quote == 0 ? any : (quote == '"' ? m_dq : m_sq);
    while (pending != 0) {
      const unsigned i = static_cast<unsigned>(__builtin_ctz(pending));
      const unsigned after = i == 31 ? 0u : ~0u << (i + 1);
      if (quote == 0) {
        if (p[i] == '>') {
          high |= mask(a, b) & ~after;
          open_quote = 0;
          return p + i;
        }
        quote = p[i];
        pending = (quote == '"' ? m_dq : m_sq) & after;
      } else {
        quote = 0;
        pending = any & after;
      }
    }
    high |= mask(a, b);
    p += 32;
  }
#endif
  for (; p < end; ++p) {
    const char c = *p;
    high |= static_cast<unsigned char>(c) & 0x80u;
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '>') {
      open_quote = 0;
      return p;
    } else if (c == '"' || c == '\'') {
      quote = c;
    }
  }
  open_quote = quote;
  return end;
}

// First `close` byte in [p, end) whose preceding byte is `before`. The caller guarantees
// p[-1] is readable. Linear: every `close` byte is looked at once.
inline const char* find_close_after(const char* p, const char* end, char close, char before) {
  for (;;) {
    const char* q = find_byte(p, end, close);
    if (q == end || q[-1] == before) return q;
    p = q + 1;
  }
}

// Same, but the `close` byte must follow two `before` bytes ("-->", "]]>"); p[-2] must be
// readable.
inline const char* find_close_after2(const char* p, const char* end, char close, char before) {
  for (;;) {
    const char* q = find_byte(p, end, close);
    if (q == end || (q[-1] == before && q[-2] == before)) return q;
    p = q + 1;
  }
}

}  // namespace vorlane::scan
