// Delimiter searches for the tokenizer. Each returns the first position in [p, end) holding
// one of the wanted bytes, or `end`. SSE2 on x86-64 (always present there), a plain loop
// elsewhere; single bytes go through memchr, which libc already vectorises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/compiler.h"
#include "common/white_space.h"

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

// Bit i set when p[i] is one of Cs, for the 16 bytes at p; the caller guarantees that all 16
// are readable. Short names and values are examined with one such block instead of a loop
// or a library call.
template <char... Cs>
VORLANE_HOT_INLINE unsigned mask16(const char* p) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i m = _mm_setzero_si128();
  ((m = _mm_or_si128(m, _mm_cmpeq_epi8(a, _mm_set1_epi8(Cs)))), ...);
  return static_cast<unsigned>(_mm_movemask_epi8(m));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 16; ++i) bits |= is_one_of<Cs...>(p[i]) ? 1u << i : 0u;
  return bits;
#endif
}

// mask16 for the bytes of a ByteClass and the further bytes `More`.
template <class Class, char... More>
struct ClassMask;
template <char... Cs, char... More>
struct ClassMask<ByteClass<Cs...>, More...> {
  VORLANE_HOT_INLINE static unsigned mask16(const char* p) { return scan::mask16<Cs..., More...>(p); }
};
template <class Class, char... More>
VORLANE_HOT_INLINE unsigned class_mask16(const char* p) {
  return ClassMask<Class, More...>::mask16(p);
}

// Bit i set when p[i] has its top bit set, for the 16 readable bytes at p.
VORLANE_HOT_INLINE unsigned high_mask16(const char* p) {
#if defined(__SSE2__)
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 16; ++i) bits |= (static_cast<unsigned char>(p[i]) & 0x80u) ? 1u << i : 0u;
  return bits;
#endif
}

// Bit i set when p[i] continues a UTF-8 sequence (0x80 to 0xBF), for the 16 readable bytes at p.
VORLANE_HOT_INLINE unsigned continuation_mask16(const char* p) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(a, _mm_set1_epi8(-64))));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 16; ++i) bits |= (static_cast<unsigned char>(p[i]) & 0xC0u) == 0x80u ? 1u << i : 0u;
  return bits;
#endif
}

// Bit i set when p[i] is at most 0x20 (a control byte or a space, white space included),
// for the 16 readable bytes at p.
VORLANE_HOT_INLINE unsigned control_or_space_mask16(const char* p) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(a, _mm_set1_epi8(0x20)), a)));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 16; ++i) bits |= static_cast<unsigned char>(p[i]) <= 0x20 ? 1u << i : 0u;
  return bits;
#endif
}

VORLANE_HOT_INLINE std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

VORLANE_HOT_INLINE std::uint64_t load32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// All bytes of a 0..16-byte string as two words, read without leaving the string: two
// overlapping loads cover it. Equal strings of equal length give equal words and vice versa.
VORLANE_HOT_INLINE void short_words(const char* p, std::size_t n, std::uint64_t& a, std::uint64_t& b) {
  if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    a = static_cast<unsigned char>(p[0]) | (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
        (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
    b = 0;
  } else {
    a = 0;
    b = 0;
  }
}

// The n <= 16 bytes at p, zero-padded to 16, as two little-endian words; `readable_end`
// bounds what may be read. One masked block load where 16 bytes are readable.
VORLANE_HOT_INLINE void padded_words(const char* p, std::size_t n, [[maybe_unused]] const char* readable_end,
                                     std::uint64_t& a, std::uint64_t& b) {
#if defined(__SSE2__)
  if (readable_end - p >= 16) {
    const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i keep = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(n)), iota);
    const __m128i v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), keep);
    a = static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
    b = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
    return;
  }
#endif
  unsigned char buffer[16] = {};
  if (n != 0) std::memcpy(buffer, p, n);
  std::uint64_t words[2];
  std::memcpy(words, buffer, sizeof words);
  a = words[0];
  b = words[1];
}

// n bytes at x equal n bytes at y; names are short, so no library call for them.
VORLANE_HOT_INLINE bool equal_bytes(const char* x, const char* y, std::size_t n) {
  if (n > 16) return std::memcmp(x, y, n) == 0;
  std::uint64_t xa;
  std::uint64_t xb;
  std::uint64_t ya;
  std::uint64_t yb;
  short_words(x, n, xa, xb);
  short_words(y, n, ya, yb);
  return ((xa ^ ya) | (xb ^ yb)) == 0;
}

// n bytes at x equal n bytes at y, where y < x and the input stays readable up to
// `readable_end`: one block comparison for a short name.
VORLANE_HOT_INLINE bool equal_near(const char* x, const char* y, std::size_t n, const char* readable_end) {
#if defined(__SSE2__)
  if (n <= 16 && readable_end - x >= 16) {
    const __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
    const unsigned want = (1u << n) - 1u;
    return (static_cast<unsigned>(_mm_movemask_epi8(same)) & want) == want;
  }
#else
  (void)readable_end;
#endif
  return equal_bytes(x, y, n);
}

// The low n bits (n <= 32).
VORLANE_HOT_INLINE unsigned low_bits(std::size_t n) { return n >= 32 ? ~0u : (1u << n) - 1u; }

// mask16 for a byte known only at run time.
VORLANE_HOT_INLINE unsigned mask16_of(const char* p, char c) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_set1_epi8(c))));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 16; ++i) bits |= p[i] == c ? 1u << i : 0u;
  return bits;
#endif
}

// The views below lie inside a buffer that stays readable up to `readable_end`, so a short
// one is examined with one 16-byte block even when it ends sooner; hits past its end are
// masked off. Longer ones, or ones too close to the buffer's end, use memchr.

// Whether `s` contains the byte c.
VORLANE_HOT_INLINE bool contains(std::string_view s, char c, const char* readable_end) {
  if (s.size() <= 16 && readable_end - s.data() >= 16) return (mask16_of(s.data(), c) & low_bits(s.size())) != 0;
  return !s.empty() && std::memchr(s.data(), static_cast<unsigned char>(c), s.size()) != nullptr;
}

// The first c in [p, end), or end.
inline const char* find_byte_near(const char* p, const char* end, const char* readable_end, char c) {
  if (readable_end - p >= 16) {
    const unsigned m = mask16_of(p, c);
    if (m != 0) {
      const char* hit = p + __builtin_ctz(m);
      return hit < end ? hit : end;
    }
    if (end - p <= 16) return end;
    p += 16;
  }
  return find_byte(p, end, c);
}

// What find_any notes of the bytes it passes besides `high`: nothing. find_any_noting's
// NoteSuspects has the same hooks; each is called on the blocks the search has loaded.
struct NoteNothing {
#if defined(__SSE2__)
  // A hit in the 32 bytes a, b: `bits` the hits, `upto` the bytes up to the first.
  VORLANE_HOT_INLINE void hit32(__m128i, __m128i, unsigned, unsigned) {}
  VORLANE_HOT_INLINE void pass32(__m128i, __m128i) {}
  VORLANE_HOT_INLINE void hit16(__m128i, unsigned) {}
  VORLANE_HOT_INLINE void pass16(__m128i) {}
#endif
  VORLANE_HOT_INLINE void byte(char) {}
  VORLANE_HOT_INLINE const char* finish(const char* at) { return at; }
};

// First byte of [p, end) that is one of Cs. `high` is OR-ed with a nonzero value if a byte
// with the top bit set lies before the result, so a caller can skip UTF-8 validation of a
// stretch that is pure ASCII; `note` sees the bytes before the result (see NoteNothing).
template <char... Cs, class Note>
VORLANE_HOT_INLINE const char* find_any_with(const char* p, const char* end, unsigned& high, Note& note) {
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
      const unsigned upto = bits ^ (bits - 1);  // only the bytes up to the hit
      high |= top & upto;
      note.hit32(a, b, bits, upto);
      return note.finish(p + __builtin_ctz(bits));
    }
    high |= top;
    note.pass32(a, b);
    p += 32;
  }
  if (end - p >= 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i ma = _mm_setzero_si128();
    ((ma = _mm_or_si128(ma, _mm_cmpeq_epi8(a, _mm_set1_epi8(Cs)))), ...);
    const unsigned top = static_cast<unsigned>(_mm_movemask_epi8(a));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(ma));
    if (bits != 0) {
      const unsigned upto = bits ^ (bits - 1);
      high |= top & upto;
      note.hit16(a, upto);
      return note.finish(p + __builtin_ctz(bits));
    }
    high |= top;
    note.pass16(a);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    high |= static_cast<unsigned char>(*p) & 0x80u;
    if (is_one_of<Cs...>(*p)) return note.finish(p);
    note.byte(*p);
  }
  return note.finish(end);
}

template <char... Cs>
inline const char* find_any(const char* p, const char* end, unsigned& high) {
  NoteNothing nothing;
  return find_any_with<Cs...>(p, end, high, nothing);
}

// Strict mode's test of character data: a byte that may need a closer look is a control
// byte other than TAB and LF (CR is folded), 0xEF (which begins U+FFFE and U+FFFF), or one
// of `More`. Where no byte is one, the bytes are plain: nothing to refuse, nothing to fold.
template <char... More>
constexpr bool suspect(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b < 0x20 && b != '\t' && b != '\n') || b == 0xEF || ((c == More) || ...);
}

#if defined(__SSE2__)
// suspect() of the 16 bytes of `a`, as a mask of 0xFF bytes.
template <char... More>
VORLANE_HOT_INLINE __m128i suspect_bytes16(__m128i a) {
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(a, _mm_set1_epi8(0x1F)), a);
  __m128i m = _mm_andnot_si128(
      _mm_or_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(a, _mm_set1_epi8('\n'))), control);
  m = _mm_or_si128(m, _mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(0xEF))));
  ((m = _mm_or_si128(m, _mm_cmpeq_epi8(a, _mm_set1_epi8(More)))), ...);
  return m;
}

#endif

// suspect<'\t', '\n', '<'>(), the bytes an attribute value's strict check looks at (every
// control byte: TAB, LF and CR fold to spaces), of the 16 bytes at p as bits; all 16 must be
// readable.
VORLANE_HOT_INLINE unsigned value_suspect_mask16(const char* p) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(a, _mm_set1_epi8(0x1F)), a);
  const __m128i other = _mm_or_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(0xEF))),
                                     _mm_cmpeq_epi8(a, _mm_set1_epi8('<')));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, other)));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 16; ++i) bits |= suspect<'\t', '\n', '<'>(p[i]) ? 1u << i : 0u;
  return bits;
#endif
}

#if defined(__SSE2__)
// suspect() gathered over many blocks: cheaper per block than suspect_bytes16, dearer to
// conclude, so for long strings. The control bytes other than TAB and LF are 0..8 and
// 11..31, which two running minimums (of the bytes, and of the bytes less 11, wrapping)
// find with no compare per block.
template <char... More>
struct SuspectBlocks {
  __m128i low = _mm_set1_epi8(-1);
  __m128i shifted = _mm_set1_epi8(-1);
  __m128i equal = _mm_setzero_si128();
  VORLANE_HOT_INLINE void add(__m128i a) {
    low = _mm_min_epu8(low, a);
    shifted = _mm_min_epu8(shifted, _mm_sub_epi8(a, _mm_set1_epi8(11)));
    __m128i m = _mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(0xEF)));
    ((m = _mm_or_si128(m, _mm_cmpeq_epi8(a, _mm_set1_epi8(More)))), ...);
    equal = _mm_or_si128(equal, m);
  }
  VORLANE_HOT_INLINE bool found() const {
    const __m128i lo = _mm_cmpeq_epi8(_mm_min_epu8(low, _mm_set1_epi8(8)), low);
    const __m128i sh = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(20)), shifted);
    return _mm_movemask_epi8(_mm_or_si128(equal, _mm_or_si128(lo, sh))) != 0;
  }
};
#endif

// What find_any_noting notes: `noted` turns nonzero when a byte passed is suspect<']'>. A
// short run is tested on the blocks already loaded; a long one is gathered (SuspectBlocks)
// and concluded once, at the end.
struct NoteSuspects {
  explicit NoteSuspects(unsigned& into) : noted(into) {}
  unsigned& noted;
#if defined(__SSE2__)
  SuspectBlocks<']'> passed;
  bool long_run = false;

  VORLANE_HOT_INLINE void hit32(__m128i a, __m128i b, unsigned bits, unsigned upto) {
    unsigned odd = static_cast<unsigned>(_mm_movemask_epi8(suspect_bytes16<']'>(a)));
    if ((bits & 0xFFFFu) == 0) odd |= static_cast<unsigned>(_mm_movemask_epi8(suspect_bytes16<']'>(b))) << 16;
    noted |= odd & upto;
  }
  VORLANE_HOT_INLINE void pass32(__m128i a, __m128i b) {
    passed.add(a);
    passed.add(b);
    long_run = true;
  }
  VORLANE_HOT_INLINE void hit16(__m128i a, unsigned upto) {
    noted |= static_cast<unsigned>(_mm_movemask_epi8(suspect_bytes16<']'>(a))) & upto;
  }
  VORLANE_HOT_INLINE void pass16(__m128i a) {
    noted |= static_cast<unsigned>(_mm_movemask_epi8(suspect_bytes16<']'>(a)));
  }
  VORLANE_HOT_INLINE const char* finish(const char* at) {
    if (long_run && passed.found()) noted |= 1;
    return at;
  }
#else
  VORLANE_HOT_INLINE const char* finish(const char* at) { return at; }
#endif
  VORLANE_HOT_INLINE void byte(char c) { noted |= suspect<']'>(c) ? 1u : 0u; }
};

// find_any over character data in strict mode: `noted` also turns nonzero when a byte before
// the result is suspect<']'>, so that the one pass finds the run's end and tells whether it
// needs the careful check.
template <char... Cs>
VORLANE_HOT_INLINE const char* find_any_noting(const char* p, const char* end, unsigned& high, unsigned& noted) {
  NoteSuspects note(noted);
  return find_any_with<Cs...>(p, end, high, note);
}

template <char... Cs>
inline const char* find_any(const char* p, const char* end) {
  unsigned ignored = 0;
  return find_any<Cs...>(p, end, ignored);
}

// Bit i of the result: the parity of bits 0..i of x.
VORLANE_HOT_INLINE unsigned prefix_xor32(unsigned x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  return x;
}

// First ">" in [p, end) outside single- or double-quoted stretches, or `end`, with p inside
// the stretch quoted by `inside` if it is not 0. When the input ends inside a quoted
// stretch, `open_quote` is its quote character, else 0. `high` as above.
// Quotes and ">" of a whole block are found at once and then walked as bits, so short
// attribute values cost no extra pass.
inline const char* find_unquoted_gt(const char* p, const char* end, char& open_quote, unsigned& high,
                                    char inside = 0) {
  char quote = inside;
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
    // Usually only one kind of quote can matter in a block: then which bytes lie inside
    // quotes follows from the running parity of that quote's bits, with no walk over them.
    unsigned kind_mask = 0;
    char kind = 0;
    if (quote == 0) {
      if (m_sq == 0) {
        kind_mask = m_dq;
        kind = '"';
      } else if (m_dq == 0) {
        kind_mask = m_sq;
        kind = '\'';
      }
    } else if (quote == '"' ? m_sq == 0 || m_dq == 0 : m_dq == 0 || m_sq == 0) {
      kind_mask = quote == '"' ? m_dq : m_sq;
      kind = quote;
    }
    if (kind != 0) {
      const unsigned parity = prefix_xor32(kind_mask);  // bit 31: odd count, the state flips
      const unsigned inside = parity ^ (quote != 0 ? ~0u : 0u);
      const unsigned outside_gt = m_gt & ~inside;
      if (outside_gt != 0) {
        high |= mask(a, b) & (outside_gt ^ (outside_gt - 1));
        open_quote = 0;
        return p + __builtin_ctz(outside_gt);
      }
      if (parity >> 31) quote = quote != 0 ? 0 : kind;
      high |= mask(a, b);
      p += 32;
      continue;
    }
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
