// The namespace declarations in scope, opened and closed in step with the elements.
// Prefixes and namespace names share one byte buffer; a closing scope truncates the
// buffer and the entry list, so bindings cost no allocation of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/parse_failure.h"
#include "common/parse_options.h"
#include "parser/attribute_scan.h"
#include "parser/strict_rules.h"
#include "tokenizer/scan.h"
#include "tokenizer/xml_tokenizer.h"

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
  static constexpr std::size_t kDefaultMaxBindings = 128;

  NamespaceResolver() = default;

  // Opens the scope of one start or empty-element tag and records its declarations.
  // Declarations after a malformed attribute are not seen: the attribute processing
  // reports that malformation.
  // `readable_end`, when given, is the end of the buffer holding `content` (the input): the
  // search for declarations may then read past the content in whole blocks.
  MaybeFailure open_scope(std::string_view content, std::size_t name_length, const char* readable_end = nullptr) {
    if (level_ == kMaxNesting) return nesting_failure();
    ++level_;
    // A tag without attributes declares nothing, nor does one without "xmlns" in it.
    if (name_length >= content.size() || !may_declare(content, name_length, readable_end)) return std::nullopt;
    return read_declarations(content, name_length);
  }

  // open_scope for a tag whose attributes the tokenizer read, of the tag content `base`.
  MaybeFailure open_scope(const char* base, const TagAttributes& attributes) {
    if (level_ == kMaxNesting) return nesting_failure();
    ++level_;
    if (!attributes.may_declare) return std::nullopt;
    return read_declarations(base, attributes);
  }

  void close_scope() {
    if (level_ > 0) --level_;
    if (newest_level_ > level_) forget_deeper();
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
  std::size_t declarations_in_scope() const { return bindings_.size(); }
  // The declarations of the innermost scope are [innermost_declarations(), declarations_in_scope()),
  // in document order.
  std::size_t innermost_declarations() const {
    std::size_t i = bindings_.size();
    while (i > 0 && bindings_[i - 1].level == level_) --i;
    return i;
  }
  std::string_view declared_prefix(std::size_t i) const { return prefix_of(bindings_[i]); }
  std::string_view declared_namespace(std::size_t i) const { return value_of(bindings_[i]); }

  // The options of the parse, under which strict mode expands the references of declared values.
  void set_options(const ParseOptions& options) { options_ = &options; }
  // Strict mode, from now on: declared values have their references expanded and their white
  // space folded, into `buffers`; undeclaring a prefix (xmlns:p=""), an empty prefix
  // ("xmlns:"), binding the default namespace to a reserved namespace name and what strict
  // mode refuses in any value are refused.
  void read_strictly(strict::Buffers& buffers) { strict_ = &buffers; }

  // The binding limit is 128 unless a native caller raises it.
  void set_max_namespace_bindings(std::size_t limit) { max_bindings_ = limit; }

 private:
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
  MaybeFailure read_declarations(const char* base, const TagAttributes& attributes);
  // Records the attribute key="value" if it declares a namespace.
  MaybeFailure declare(std::string_view key, std::string_view value);

  // Whether "xmlns" occurs in content[from, end). Blocks of 16 candidate positions at once
  // where the bytes are readable, so a typical tag costs no library call.
  static bool may_declare(std::string_view content, std::size_t from, const char* readable_end) {
#if defined(__SSE2__)
    if (readable_end != nullptr) {
      const char* p = content.data() + from;
      const char* const end = content.data() + content.size();
      while (p + 5 <= end && readable_end - p >= 20) {
        unsigned m = scan::mask16<'x'>(p) & scan::mask16<'m'>(p + 1) & scan::mask16<'l'>(p + 2) &
                     scan::mask16<'n'>(p + 3) & scan::mask16<'s'>(p + 4);
        const auto starts = static_cast<std::size_t>(end - p) - 4;  // positions where "xmlns" fits
        if (starts < 16) m &= (1u << starts) - 1u;
        if (m != 0) return true;
        if (starts <= 16) return false;
        p += 16;
      }
      if (p + 5 > end) return false;
      from = static_cast<std::size_t>(p - content.data());
    }
#else
    (void)readable_end;
#endif
    return content.find("xmlns", from) != std::string_view::npos;
  }
  void forget_deeper();

  // The declared bindings only. The two reserved ones sit below all of them and are never
  // removed, so resolve() falls back to them without storing them: a parse that declares
  // nothing allocates nothing here.
  std::string buffer_;
  std::vector<Binding> bindings_;
  std::uint16_t level_ = 0;
  std::uint16_t newest_level_ = 0;  // level of the newest declared binding (0: none)
  std::size_t default_bindings_ = 0;  // bindings with an empty prefix in scope
  std::size_t restated_bindings_ = 0;  // declarations of the xml prefix in scope, outside the limit
  std::size_t max_bindings_ = kDefaultMaxBindings;
  const ParseOptions* options_ = nullptr;
  strict::Buffers* strict_ = nullptr;  // strict mode: where declared values are folded and expanded
  std::uint64_t version_ = 0;
  std::uint64_t versions_issued_ = 0;  // every binding list ever in scope got its own number
};

}  // namespace vorlane
