// DOCTYPE analysis and policy. The analysis is a tolerant textual scan that errs on the
// side of finding declarations; nothing it finds is ever stored, applied or opened.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/parse_failure.h"
#include "common/parse_options.h"

namespace vorlane {

struct EntityDeclaration {
  std::string name;  // without a leading '%'; may be empty
  OptString value;
  OptString system_id;
  OptString public_id;
  OptString notation_name;
};

struct DoctypeInfo {
  std::string name;
  OptString system_id;
  OptString public_id;
  std::vector<EntityDeclaration> entities;
};

struct QuotedLiteral {
  std::string_view text;  // between the quotes
  std::size_t end;        // offset just after the closing quote
};

// Skips DTD white space from `pos`, then reads a '...' or "..." literal.
std::optional<QuotedLiteral> read_quoted_literal(std::string_view text, std::size_t pos);

// `text` is the Doctype event's content. Never fails.
DoctypeInfo analyze_doctype(std::string_view text);

// What a document reports of its DOCTYPE, as views into the Doctype event's content: the
// same name and identifiers as analyze_doctype, and the internal subset between its "["
// and the last "]" (the tokenizer has checked that nothing but the ">" follows it).
struct DoctypeParts {
  std::string_view name;
  std::optional<std::string_view> public_id;
  std::optional<std::string_view> system_id;
  std::optional<std::string_view> internal_subset;
};
DoctypeParts doctype_parts(std::string_view text);

// A public identifier as a document reports it: each run of white space one space, none
// at either end.
std::string normalized_public_id(std::string_view id);

// Nothing to continue the parse, or the failure that ends it.
MaybeFailure apply_doctype_policy(DoctypeInfo&& info, const ParseOptions& options);

// The same verdict as apply_doctype_policy(analyze_doctype(text), options), in constant
// memory: analyze_doctype keeps every declaration (about 200 bytes for each 9-byte
// "<!ENTITY>"), which lets a large internal subset multiply the memory a parse needs.
MaybeFailure judge_doctype(std::string_view text, const ParseOptions& options);

}  // namespace vorlane
