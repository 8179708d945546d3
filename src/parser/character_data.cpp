#include "parser/character_data.h"

#include <string>

#include "common/white_space.h"
#include "parser/string_store.h"

namespace vorlane {

MaybeFailure append_character_data(std::string_view chunk, Document& doc, StringRef* target, bool root_complete,
                                   CharacterDataState& state, std::uint64_t max_text_size) {
  // Strictly greater fails; written without overflow for any limit.
  if (chunk.size() > max_text_size || state.total > max_text_size - chunk.size()) {
    return ParseFailure::limit_exceeded(FailureKind::MaxTextSizeExceeded, max_text_size);
  }
  state.total += chunk.size();
  if (target == nullptr) {
    if (is_unicode_space_only(chunk)) return std::nullopt;
    return ParseFailure::syntax(root_complete ? "Junk after document element" : "Content before document element");
  }
  switch (target->where()) {
    case StringRef::Where::Absent:
      *target = store_string(doc, chunk);
      break;
    case StringRef::Where::Input: {
      // A second chunk: the run moves to the arena once and grows there in place.
      const std::size_t offset = doc.arena.size();
      doc.arena.append(doc.input.substr(target->offset, target->length()));
      doc.arena.append(chunk);
      *target = StringRef{offset, doc.arena.size() - offset, StringRef::Where::Arena};
      break;
    }
    case StringRef::Where::Arena:
      if (target->offset + target->length() != doc.arena.size()) {
        // Something else was written after this run; should not happen, since every other
        // arena write starts a new target, but stay correct if it does.
        const std::size_t offset = doc.arena.size();
        const std::string run(doc.arena, target->offset, target->length());
        doc.arena += run;
        target->offset = offset;
      }
      doc.arena.append(chunk);
      target->extend(chunk.size());
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

