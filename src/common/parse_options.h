// The caller's switches and limits, built once per call and read-only during the parse.
#pragma once

#include <cstdint>

namespace vorlane {

struct ParseOptions {
  bool forbid_dtd = false;
  bool forbid_entities = true;
  bool forbid_external = true;
  std::uint64_t max_depth = 1000;
  std::uint64_t max_entity_size = 10485760;  // accepted, bounds nothing: no entity is expanded
  std::uint64_t max_text_size = 104857600;
  std::uint64_t max_attributes = 1000;
  std::uint64_t max_attribute_size = 10485760;
  std::uint64_t max_name_size = 1024;
  std::uint64_t max_comment_size = 10485760;
};

}  // namespace vorlane
