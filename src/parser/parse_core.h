// The parser core: one whole document in, a Document or exactly one ParseFailure out.
// Touches no Python object and no shared mutable state, so it runs without the GIL.
#pragma once

#include <cstddef>
#include <optional>

#include "common/document.h"
#include "common/parse_failure.h"
#include "common/parse_options.h"

namespace vorlane {

struct ParseResult {
  enum class Status : unsigned char { Ok, Failed, OutOfMemory };
  Status status = Status::Ok;
  Document document;                   // meaningful when Ok
  std::optional<ParseFailure> failure;  // set when Failed
};

// `data` must stay alive and unchanged for the call and for as long as the returned
// Document is read (its strings may borrow from it). Never throws: an allocation failure
// is reported as Status::OutOfMemory.
ParseResult parse_core(const char* data, std::size_t length, const ParseOptions& options) noexcept;

}  // namespace vorlane
