// Character data placement: every chunk of text, CDATA content or reference expansion
// goes to the `text` of the innermost open element or the `tail` of its last child, under
// the document-wide text limit; outside the root only white space is allowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/document.h"
#include "common/parse_failure.h"

namespace vorlane {

inline constexpr std::size_t kNoChild = static_cast<std::size_t>(-1);

// One entry of the open-element stack.
struct OpenElement {
  std::size_t node;                    // index in Document::nodes
  std::size_t last_child = kNoChild;   // index of its most recently completed child
};

// Where character data goes while `open` is the innermost open element: its own text
// until its first child completes, then that last child's tail.
inline StringRef& text_target(Document& doc, const OpenElement& open) {
  return open.last_child == kNoChild ? doc.nodes[open.node].text : doc.nodes[open.last_child].tail;
}

struct CharacterDataState {
  std::uint64_t total = 0;  // bytes of character data so far, discarded white space included
};

// Stores `chunk` in the right target, borrowing it from the input when it lies there and
// the target was absent. `root_complete` tells whether the root slot is full.
MaybeFailure append_character_data(std::string_view chunk, Document& doc, const std::vector<OpenElement>& open,
                                   bool root_complete, CharacterDataState& state, std::uint64_t max_text_size);

MaybeFailure check_comment(std::size_t content_length, std::uint64_t max_comment_size);

}  // namespace vorlane
