// The namespace declarations in scope, opened and closed in step with the elements.
// Prefixes and namespace names share one byte buffer; a closing scope truncates the
// buffer and the entry list, so bindings cost no allocation of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/attribute_scan.h"
#include "parser/parse_failure.h"

namespace vorlane {

inline constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

struct Resolution {
  enum class Outcome : unsigned char { Bound, UnknownPrefix, Unbound };
  Outcome outcome = Outcome::Unbound;
  std::string_view namespace_name;  // when Bound; valid until the scope changes
};

class NamespaceResolver {
 public:
  static constexpr std::uint16_t kMaxNesting = 65535;

  NamespaceResolver();

  // Opens the scope of one start or empty-element tag and records its declarations.
  // Declarations after a malformed attribute are not seen: the attribute processing
  // reports that malformation.
  MaybeFailure open_scope(std::string_view content, std::size_t name_length) {
    if (level_ == kMaxNesting) return nesting_failure();
    ++level_;
    // A tag without attributes declares nothing.
    if (name_length >= content.size()) return std::nullopt;
    return read_declarations(content, name_length);
  }

  void close_scope() {
    if (level_ > 0) --level_;
    if (bindings_.size() > kReserved && bindings_.back().level > level_) forget_deeper();
  }

  // Identifies the bindings in scope: a name resolved under one version resolves the same
  // way whenever the version is the same again. Closing a scope brings back the version the
  // enclosing scope had, so names resolved there stay valid across a nested declaration.
  std::uint64_t version() const { return version_; }

  // `prefix` is null for a name without a colon. The default namespace applies only to
  // element names.
  Resolution resolve(const std::string_view* prefix, bool apply_default) const;

  // True when no default-namespace binding is in scope (the common, fast case).
  bool no_default_namespace() const { return default_bindings_ == 0; }

  std::uint16_t nesting_level() const { return level_; }
  std::size_t declarations_in_scope() const { return bindings_.size() - kReserved; }

  // The binding limit is 128 unless a native caller raises it.
  void set_max_namespace_bindings(std::size_t limit) { max_bindings_ = limit; }

 private:
  static constexpr std::size_t kReserved = 2;

  struct Binding {
    std::size_t offset;  // prefix bytes, then the namespace name, in buffer_
    std::size_t prefix_length;
    std::size_t value_length;
    std::uint16_t level;
    std::uint64_t version_before;  // of the bindings before this one was added
  };

  std::string_view prefix_of(const Binding& b) const { return std::string_view(buffer_).substr(b.offset, b.prefix_length); }
  std::string_view value_of(const Binding& b) const {
    return std::string_view(buffer_).substr(b.offset + b.prefix_length, b.value_length);
  }
  MaybeFailure add(std::string_view prefix, std::string_view value);
  static MaybeFailure nesting_failure();
  MaybeFailure read_declarations(std::string_view content, std::size_t name_length);
  void forget_deeper();

  std::string buffer_;
  std::vector<Binding> bindings_;
  std::uint16_t level_ = 0;
  std::size_t default_bindings_ = 0;  // bindings with an empty prefix in scope
  std::size_t max_bindings_ = 128;
  std::uint64_t version_ = 0;
  std::uint64_t versions_issued_ = 0;  // every binding list ever in scope got its own number
};

}  // namespace vorlane
