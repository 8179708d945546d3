#include "parser/namespace_resolver.h"

#include "parser/references.h"
#include "parser/strict_rules.h"

namespace vorlane {

namespace {

std::string cannot_bind(std::string_view prefix, std::string_view value) {
  std::string m = "the namespace prefix '";
  m += prefix;
  m += "' cannot be bound to '";
  m += value;
  m += "'";
  return m;
}

}  // namespace

MaybeFailure NamespaceResolver::add(std::string_view prefix, std::string_view value) {
  // A declaration of xml restates the binding every document has: it is not counted.
  const bool restated = prefix == "xml";
  if (!restated && bindings_.size() - restated_bindings_ >= max_bindings_) {
    return ParseFailure::syntax("more than " + std::to_string(max_bindings_) +
                                " namespace bindings in scope; raise the limit with "
                                "NamespaceResolver::set_max_namespace_bindings");
  }
  const std::size_t offset = buffer_.size();
  buffer_ += prefix;
  buffer_ += value;
  bindings_.push_back({offset, prefix.size(), value.size(), level_, version_});
  newest_level_ = level_;
  version_ = ++versions_issued_;
  if (prefix.empty()) ++default_bindings_;
  if (restated) ++restated_bindings_;
  return std::nullopt;
}

MaybeFailure NamespaceResolver::nesting_failure() {
  return ParseFailure::syntax("document nests elements deeper than the supported limit of 65535");
}

MaybeFailure NamespaceResolver::declare(std::string_view key, std::string_view value) {
  if (key.size() < 5 || key.compare(0, 5, "xmlns") != 0) return std::nullopt;
  if (key.size() > 5 && key[5] != ':') return std::nullopt;  // e.g. "xmlnsfoo": an ordinary attribute
  if (strict_) {
    bool fold = false;
    if (auto fault = strict::check_attribute_value(value, fold)) return ParseFailure::syntax(std::move(fault->message));
    if (fold) {
      strict_->declared.clear();
      strict::fold_value_spaces(value, strict_->declared);
      value = strict_->declared;
    }
  }
  // Strict: the namespace name is the value as any attribute's, its references standing for
  // what they name. The tolerant mode keeps declarations as written.
  if (strict_ && value.find('&') != std::string_view::npos) {
    std::string& expanded = strict_->expanded;
    expanded.clear();
    const ParseOptions defaults;
    if (auto failure = unescape_attribute_value(value, options_ != nullptr ? *options_ : defaults, expanded)) {
      return failure;
    }
    value = expanded;
  }
  if (key.size() == 5) {
    if (strict_ && (value == kXmlNamespace || value == kXmlnsNamespace)) {
      return ParseFailure::syntax("not well-formed: the default namespace cannot be bound to '" + std::string(value) +
                                  "'");
    }
    return add({}, value);
  }
  if (key[5] != ':') return std::nullopt;  // e.g. "xmlnsfoo": an ordinary attribute
  const std::string_view prefix = key.substr(6);
  if (strict_ && prefix.empty()) return ParseFailure::syntax("not well-formed: 'xmlns:' declares no prefix");
  if (strict_ && value.empty() && prefix != "xml" && prefix != "xmlns") {
    return ParseFailure::syntax("not well-formed: the namespace prefix '" + std::string(prefix) +
                                "' cannot be undeclared");
  }
  if (prefix == "xml") {
    // Allowed, and a declaration like any other: the events report it where it stands.
    if (value == kXmlNamespace) return add(prefix, value);
    return ParseFailure::syntax(cannot_bind(prefix, value));
  }
  if (prefix == "xmlns") return ParseFailure::syntax(cannot_bind(prefix, value));
  if (value == kXmlNamespace) return ParseFailure::syntax(cannot_bind(prefix, kXmlNamespace));
  if (value == kXmlnsNamespace) return ParseFailure::syntax(cannot_bind(prefix, kXmlnsNamespace));
  return add(prefix, value);
}

MaybeFailure NamespaceResolver::read_declarations(std::string_view content, std::size_t name_length) {
  AttributeCursor cursor(content, name_length);
  ScannedAttribute a;
  while (cursor.next(a)) {
    if (auto failure = declare(content.substr(a.key_begin, a.key_end - a.key_begin),
                               content.substr(a.value_begin, a.value_end - a.value_begin))) {
      return failure;
    }
  }
  return std::nullopt;
}

MaybeFailure NamespaceResolver::read_declarations(const char* base, const TagAttributes& attributes) {
  for (std::uint32_t i = 0; i < attributes.count; ++i) {
    const AttributeSpan& a = attributes.spans[i];
    if (auto failure = declare(std::string_view(base + a.key_begin, a.key_end - a.key_begin),
                               std::string_view(base + a.value_begin, a.value_end - a.value_begin))) {
      return failure;
    }
  }
  return std::nullopt;
}

void NamespaceResolver::forget_deeper() {
  std::size_t keep = bindings_.size();
  while (keep > 0 && bindings_[keep - 1].level > level_) {
    --keep;
    if (bindings_[keep].prefix_length == 0) --default_bindings_;
    if (prefix_of(bindings_[keep]) == "xml") --restated_bindings_;
  }
  if (keep != bindings_.size()) {
    buffer_.resize(bindings_[keep].offset);
    // The list is again what it was before the first binding removed here was added.
    version_ = bindings_[keep].version_before;
    bindings_.resize(keep);
  }
  newest_level_ = bindings_.empty() ? 0 : bindings_.back().level;
}

Resolution NamespaceResolver::resolve(const std::string_view* prefix, bool apply_default) const {
  Resolution r;
  if (prefix == nullptr) {
    if (!apply_default || default_bindings_ == 0) return r;  // Unbound
    for (std::size_t i = bindings_.size(); i-- > 0;) {
      if (bindings_[i].prefix_length != 0) continue;
      if (bindings_[i].value_length != 0) {
        r.outcome = Resolution::Outcome::Bound;
        r.namespace_name = value_of(bindings_[i]);
      }
      return r;
    }
    return r;
  }
  for (std::size_t i = bindings_.size(); i-- > 0;) {
    if (prefix_of(bindings_[i]) != *prefix) continue;
    if (bindings_[i].value_length != 0) {
      r.outcome = Resolution::Outcome::Bound;
      r.namespace_name = value_of(bindings_[i]);
    } else {
      r.outcome = Resolution::Outcome::UnknownPrefix;
    }
    return r;
  }
  // The reserved bindings, oldest of all.
  if (*prefix == "xml") {
    r.outcome = Resolution::Outcome::Bound;
    r.namespace_name = kXmlNamespace;
  } else if (*prefix == "xmlns") {
    r.outcome = Resolution::Outcome::Bound;
    r.namespace_name = kXmlnsNamespace;
  } else {
    r.outcome = Resolution::Outcome::UnknownPrefix;
  }
  return r;
}

}  // namespace vorlane
