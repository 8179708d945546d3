// Replacement of the five predefined entities and character references. Character data
// and attribute values follow two different rule sets with different messages.
#pragma once

#include <string>
#include <string_view>

#include "common/parse_failure.h"
#include "common/parse_options.h"

namespace vorlane {

// The value of digit `c` in `base` (10, or 16 with either case of letter), -1 if it is none.
inline int digit_value(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16) {
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  }
  return -1;
}

// `name` is a Reference event's content (between '&' and ';'). On success appends the
// replacement's UTF-8 bytes (1 to 4) to `out`.
MaybeFailure expand_reference(std::string_view name, const ParseOptions& options, std::string& out);

// `raw` is an attribute value as written between its quotes. On success appends the
// unescaped value to `out` (a value without '&' is appended unchanged). On failure `out`
// may hold a partial result, which the caller discards.
MaybeFailure unescape_attribute_value(std::string_view raw, const ParseOptions& options, std::string& out);

}  // namespace vorlane
