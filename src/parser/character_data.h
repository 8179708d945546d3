// Character data placement: every chunk of text, CDATA content or reference expansion
// goes to the `text` of the innermost open element or the `tail` of its last child, under
// the document-wide text limit; outside the root only white space is allowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/document.h"
#include "common/parse_failure.h"

namespace vorlane {

struct CharacterDataState {
  std::uint64_t total = 0;  // bytes of character data so far, discarded white space included
};

// Stores `chunk` in `target`, borrowing it from the input when it lies there and the target
// was absent. The target is the `text` of the innermost open element until its first child
// completes, then that last child's `tail`; null outside the root element, where only white
// space is allowed. `root_complete` tells whether the root slot is full.
MaybeFailure append_character_data(std::string_view chunk, Document& doc, StringRef* target, bool root_complete,
                                   CharacterDataState& state, std::uint64_t max_text_size);

MaybeFailure check_comment(std::size_t content_length, std::uint64_t max_comment_size);

}  // namespace vorlane
