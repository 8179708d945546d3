// The one error value of the parser core. Producers return it by value; the module
// surface turns it into a Python exception once the interpreter lock is held again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "common/compiler.h"

namespace vorlane {

using OptString = std::optional<std::string>;

enum class FailureKind : std::uint8_t {
  DtdForbidden,
  EntitiesForbidden,
  ExternalReferenceForbidden,
  MaxDepthExceeded,
  MaxTextSizeExceeded,
  MaxAttributesExceeded,
  MaxAttributeSizeExceeded,
  MaxNameSizeExceeded,
  MaxCommentSizeExceeded,
  // The distinct "{namespace}local" names of the document total more bytes than their
  // budget (NameTable::qualified_budget): without it one long namespace name multiplied
  // by many local names claims memory quadratic in the input.
  MaxQualifiedNamesExceeded,
  Syntax,
  // Events only: a processing instruction longer than max_comment_size. Listed last so that
  // the numbers of the others stay as they were.
  MaxInstructionSizeExceeded,
};

struct DtdForbiddenPayload {
  std::string name;
  OptString system_id;
  OptString public_id;
};

struct EntitiesForbiddenPayload {
  std::string name;
  OptString value;
  OptString system_id;
  OptString public_id;
  OptString notation_name;
};

struct ExternalReferencePayload {
  OptString system_id;
  OptString public_id;
};

class ParseFailure {
 public:
  static ParseFailure syntax(std::string message) {
    return ParseFailure(FailureKind::Syntax, std::move(message));
  }
  // kind must be one of the Max*Exceeded kinds; `limit` is the configured value.
  static ParseFailure limit_exceeded(FailureKind kind, std::uint64_t limit) {
    return ParseFailure(kind, limit);
  }
  static ParseFailure dtd_forbidden(std::string name, OptString system_id, OptString public_id) {
    return ParseFailure(FailureKind::DtdForbidden,
                        DtdForbiddenPayload{std::move(name), std::move(system_id), std::move(public_id)});
  }
  // Kept out of line: it is the largest payload and failures travel by value.
  static ParseFailure entities_forbidden(EntitiesForbiddenPayload payload) {
    return ParseFailure(FailureKind::EntitiesForbidden,
                        std::make_unique<EntitiesForbiddenPayload>(std::move(payload)));
  }
  static ParseFailure external_reference_forbidden(OptString system_id, OptString public_id) {
    return ParseFailure(FailureKind::ExternalReferenceForbidden,
                        ExternalReferencePayload{std::move(system_id), std::move(public_id)});
  }

  FailureKind kind() const { return kind_; }
  std::uint64_t limit() const { return std::get<std::uint64_t>(payload_); }
  const std::string& message() const { return std::get<std::string>(payload_); }
  const DtdForbiddenPayload& dtd() const { return std::get<DtdForbiddenPayload>(payload_); }
  const EntitiesForbiddenPayload& entity() const {
    return *std::get<std::unique_ptr<EntitiesForbiddenPayload>>(payload_);
  }
  const ExternalReferencePayload& external() const { return std::get<ExternalReferencePayload>(payload_); }

 private:
  using Payload = std::variant<std::uint64_t, std::string, DtdForbiddenPayload,
                               std::unique_ptr<EntitiesForbiddenPayload>, ExternalReferencePayload>;
  template <class T>
  ParseFailure(FailureKind kind, T&& payload) : kind_(kind), payload_(std::forward<T>(payload)) {}

  FailureKind kind_;
  Payload payload_;
};

// What most core steps return: nothing on success, the failure otherwise.
using MaybeFailure = std::optional<ParseFailure>;

// Shared out-of-line builders of the failures that several hot paths return.
MaybeFailure limit_failure(FailureKind kind, std::uint64_t limit);
MaybeFailure null_byte_in_name_failure();

}  // namespace vorlane
