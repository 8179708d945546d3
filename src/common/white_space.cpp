#include "common/white_space.h"

#include "common/utf8.h"

namespace vorlane {

std::size_t unicode_space_at(std::string_view text, std::size_t pos) {
  char32_t c;
  const std::size_t length = utf8::decode(text, pos, c);
  return length != 0 && is_unicode_space(c) ? length : 0;
}

bool is_unicode_space_only(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = unicode_space_at(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

}  // namespace vorlane
