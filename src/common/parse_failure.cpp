#include "common/parse_failure.h"

namespace vorlane {

VORLANE_COLD MaybeFailure limit_failure(FailureKind kind, std::uint64_t limit) {
  return ParseFailure::limit_exceeded(kind, limit);
}

VORLANE_COLD MaybeFailure null_byte_in_name_failure() {
  return ParseFailure::syntax("Null byte detected in XML identifier");
}

}  // namespace vorlane
