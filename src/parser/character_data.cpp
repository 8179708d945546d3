#include "parser/character_data.h"

#include <string>

#include "parser/string_store.h"

namespace vorlane {

namespace {

bool is_white_space_code_point(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

// Decodes the sequence at `pos`, or returns 0 bytes for a malformed one, which no caller
// should see (chunks are valid UTF-8) and which then simply counts as non-white-space.
std::size_t decode_utf8(std::string_view s, std::size_t pos, std::uint32_t& code_point) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    code_point = b0;
    return 1;
  }
  std::size_t n = 0;
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    n = 2;
    code_point = b0 & 0x1fu;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    n = 3;
    code_point = b0 & 0x0fu;
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    n = 4;
    code_point = b0 & 0x07u;
  } else {
    return 0;
  }
  if (s.size() - pos < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xc0) != 0x80) return 0;
    code_point = (code_point << 6) | (b & 0x3fu);
  }
  return n;
}

}  // namespace

bool is_unicode_whitespace(std::string_view chunk) {
  std::size_t pos = 0;
  while (pos < chunk.size()) {
    std::uint32_t c = 0;
    const std::size_t n = decode_utf8(chunk, pos, c);
    if (n == 0 || !is_white_space_code_point(c)) return false;
    pos += n;
  }
  return true;
}

MaybeFailure append_character_data(std::string_view chunk, Document& doc, const std::vector<OpenElement>& open,
                                   bool root_complete, CharacterDataState& state, std::uint64_t max_text_size) {
  // Strictly greater fails; written without overflow for any limit.
  if (chunk.size() > max_text_size || state.total > max_text_size - chunk.size()) {
    return ParseFailure::limit_exceeded(FailureKind::MaxTextSizeExceeded, max_text_size);
  }
  state.total += chunk.size();
  if (open.empty()) {
    if (is_unicode_whitespace(chunk)) return std::nullopt;
    return ParseFailure::syntax(root_complete ? "Junk after document element" : "Content before document element");
  }
  StringRef& target = text_target(doc, open.back());
  switch (target.where) {
    case StringRef::Where::Absent:
      target = store_string(doc, chunk);
      break;
    case StringRef::Where::Input: {
      // A second chunk: the run moves to the arena once and grows there in place.
      const std::size_t offset = doc.arena.size();
      doc.arena.append(doc.input.substr(target.offset, target.length));
      doc.arena.append(chunk);
      target = StringRef{offset, doc.arena.size() - offset, StringRef::Where::Arena};
      break;
    }
    case StringRef::Where::Arena:
      if (target.offset + target.length != doc.arena.size()) {
        // Something else was written after this run; should not happen, since every other
        // arena write starts a new target, but stay correct if it does.
        const std::size_t offset = doc.arena.size();
        const std::string run(doc.arena, target.offset, target.length);
        doc.arena += run;
        target.offset = offset;
      }
      doc.arena.append(chunk);
      target.length += chunk.size();
      break;
  }
  return std::nullopt;
}

MaybeFailure check_comment(std::size_t content_length, std::uint64_t max_comment_size) {
  if (content_length > max_comment_size) {
    return ParseFailure::limit_exceeded(FailureKind::MaxCommentSizeExceeded, max_comment_size);
  }
  return std::nullopt;
}

}  // namespace vorlane

