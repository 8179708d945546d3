// The well-formedness rules that the tolerant core leaves unchecked, applied only when
// ParseOptions::strict is set: the characters XML allows, names, comments, processing
// instructions, the XML declaration and references, and the line-end and attribute-value
// normalisation XML prescribes. Every check is a pure function of the bytes it is given
// (already valid UTF-8); a refusal names the offset of the offending character in them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/compiler.h"
#include "tokenizer/scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane::strict {

struct Fault {
  std::size_t at;  // offset of the offending character in the checked bytes
  std::string message;
};
using MaybeFault = std::optional<Fault>;

bool is_name_start(char32_t c);
bool is_name_char(char32_t c);
// Char: TAB, LF, CR, U+0020..U+D7FF, U+E000..U+FFFD, U+10000..U+10FFFF.
constexpr bool is_char(char32_t c) {
  return c >= 0x20 ? (c <= 0xD7FF || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF))
                   : (c == 0x09 || c == 0x0A || c == 0x0D);
}

using scan::suspect;

#if defined(__SSE2__)
// suspect() of the 16 bytes at p, as a mask of 0xFF bytes.
template <char... More>
VORLANE_HOT_INLINE __m128i suspect_bytes16(const char* p) {
  return scan::suspect_bytes16<More...>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
#endif

// Whether `s` holds no suspect byte; `readable_end` bounds what may be read past `s` (the
// end of its buffer), so a short string costs one block. The blocks are gathered and
// tested once: the usual string has nothing to find.
template <char... More>
VORLANE_HOT_INLINE bool plain(std::string_view s, const char* readable_end) {
  const char* p = s.data();
  const char* const end = p + s.size();
#if defined(__SSE2__)
  if (end - p >= 32) {
    scan::SuspectBlocks<More...> blocks;
    for (; end - p >= 32; p += 32) {
      blocks.add(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
      blocks.add(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    }
    if (blocks.found()) return false;
  }
  __m128i any = _mm_setzero_si128();
  if (end - p >= 16) {
    any = suspect_bytes16<More...>(p);
    p += 16;
  }
  if (p < end && readable_end - p >= 16) {
    const __m128i keep = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(end - p)),
                                        _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    any = _mm_or_si128(any, _mm_and_si128(suspect_bytes16<More...>(p), keep));
    p = end;
  }
  if (_mm_movemask_epi8(any) != 0) return false;
#else
  (void)readable_end;
#endif
  for (; p < end; ++p) {
    if (suspect<More...>(*p)) return false;
  }
  return true;
}

// Character data, CDATA content (`cdata`: "]]>" cannot occur) or the data of a comment or
// processing instruction: the characters must be Chars, and text must not hold "]]>".
// `has_cr` tells whether a CR is to be folded.
MaybeFault check_text(std::string_view s, bool cdata, bool& has_cr);
// A comment's content: Chars, no "--", and no "-" at its end.
MaybeFault check_comment(std::string_view s, bool& has_cr);
// The content of "<?...?>" other than a declaration: a Name as target, not "xml" in any
// case, then nothing or white space and Chars.
MaybeFault check_instruction(std::string_view content, std::size_t target_length, bool& has_cr);
// The content of "<?xml ...?>": version first, then optionally encoding and standalone, in
// that order and form.
MaybeFault check_declaration(std::string_view content);
// What lies between "&" and ";" of a reference in text or an attribute value: a Name, or a
// character reference ("#" digits, "#x" hex digits) to a Char.
MaybeFault check_reference(std::string_view name);
// A Name; `what` names the construct for the message.
MaybeFault check_name(std::string_view name, std::string_view what);
// A qualified name: NCName or NCName ":" NCName.
MaybeFault check_qualified_name(std::string_view name, std::string_view what);
// An attribute value as written: Chars, no "<", well-formed references. `fold`: it holds TAB,
// LF or CR, each of which normalisation turns into a space.
MaybeFault check_attribute_value(std::string_view raw, bool& fold);

// `s` with "\r\n" and a lone "\r" turned into "\n", appended to `out`.
void fold_line_ends(std::string_view s, std::string& out);
// `raw` with "\r\n" and each TAB, LF and CR turned into one space, appended to `out`.
void fold_value_spaces(std::string_view raw, std::string& out);
// Whether `s` is XML white space only (space, TAB, LF, CR); `at` is the first other byte.
bool xml_space_only(std::string_view s, std::size_t& at);

// The strings a strict parse folds or expands into before it checks or stores the result.
// The driver builds them once it reads strictly and lends them to the parts that use them,
// so that a tolerant parse builds and frees none.
struct Buffers {
  std::string text;      // a run, comment or instruction with its line ends folded
  std::string value;     // an attribute value with its white space folded
  std::string declared;  // a namespace declaration's value with its white space folded
  std::string expanded;  // that value with its references expanded
};

}  // namespace vorlane::strict
