#include "parser/parse_core.h"

#include <new>
#include <stdexcept>

#include "parser/driver.h"
#include "parser/keyed_hash.h"

namespace vorlane {

namespace {

void out_of_memory(ParseResult& result) noexcept {
  result.status = ParseResult::Status::OutOfMemory;
  result.failure.reset();
  result.document = Document{};
}

}  // namespace

ParseResult parse_core(const char* data, std::size_t length, const ParseOptions& options) noexcept {
  ParseResult result;
  try {
    const HashKey key = make_parse_hash_key(&result);
    Driver<false> driver(data, length, options, result.document, key);
    if (auto failure = driver.run()) {
      result.status = ParseResult::Status::Failed;
      result.failure = std::move(failure);
      result.document = Document{};  // no partial tree leaves the core
    }
  } catch (const std::bad_alloc&) {
    out_of_memory(result);
  } catch (const std::length_error&) {  // a container asked for more than it can ever hold
    out_of_memory(result);
  }
  return result;
}

}  // namespace vorlane
