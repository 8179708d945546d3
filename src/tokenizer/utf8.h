// UTF-8 validation of one delivered stretch, reporting the first bad sequence the way
// a strict decoder does: its offset and the length of its maximal valid prefix.
#pragma once

#include <cstddef>

namespace vorlane::utf8 {

struct Check {
  bool ok = true;
  // Set when the stretch ends inside a sequence whose bytes were all allowed so far.
  bool incomplete = false;
  std::size_t index = 0;   // offset of the bad sequence's first byte within the stretch
  unsigned length = 0;     // bytes in the invalid sequence (1 to 3); 0 when incomplete
};

Check validate(const char* data, std::size_t size);

}  // namespace vorlane::utf8
