// Fuzz target for the whole core: any input must end in a Document or one ParseFailure,
// never a crash, a hang or a read outside the input, under every option profile.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "parser/parse_core.h"

using vorlane::ParseOptions;
using vorlane::ParseResult;

namespace {

// The first byte picks the switches and small limits so that every limit path is reached.
ParseOptions options_from(std::uint8_t selector) {
  ParseOptions options;
  options.forbid_dtd = selector & 1;
  options.forbid_entities = selector & 2;
  options.forbid_external = selector & 4;
  if (selector & 8) fuzz::tight_limits(options, 8, 64, 3, 8, 8, 8);
  if (selector & 16) options.max_depth = 100000;
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ParseOptions options = options_from(data[0]);
  ParseResult result = vorlane::parse_core(reinterpret_cast<const char*>(data + 1), size - 1, options);
  switch (result.status) {
    case ParseResult::Status::Ok:
      fuzz::check_document(result.document);
      break;
    case ParseResult::Status::Failed:
      fuzz::require(result.failure.has_value());
      break;
    case ParseResult::Status::OutOfMemory:
      break;
  }
  return 0;
}
