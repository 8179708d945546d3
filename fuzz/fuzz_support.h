// What the core's fuzz targets share: a reader that turns the fuzzer's bytes into choices,
// options decoded from those bytes, the invariants of every parsed Document, and one
// canonical text form of a tree or a failure, so that two outcomes compare as strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/parse_core.h"

namespace fuzz {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// Choices from the fuzzer's bytes. Once they run out every choice is 0, so a short input
// still yields a complete, small result.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // A value in [0, n), n >= 1: one byte, two when n exceeds 256.
  std::size_t below(std::size_t n) {
    std::size_t v = byte();
    if (n > 256) v = (v << 8) | byte();
    return v % n;
  }
  // True for about `in256` of 256 bytes; false once the bytes have run out.
  bool chance(unsigned in256) { return pos_ < size_ && data_[pos_++] < in256; }
  template <std::size_t N, class T>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }
  // Up to `max` raw bytes of the input, as they are.
  std::string_view take(std::size_t max) {
    const std::size_t want = below(max + 1);
    const std::size_t left = pos_ < size_ ? size_ - pos_ : 0;
    const std::size_t got = want < left ? want : left;
    std::string_view out(reinterpret_cast<const char*>(data_ + pos_), got);
    pos_ += got;
    return out;
  }
  std::size_t consumed() const { return pos_ < size_ ? pos_ : size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// One limit: the default most of the time, else 0, tiny, small, around the usual
// document's sizes, or the largest value. `large` is a value above any nesting the
// namespace scope accepts, for max_depth.
inline std::uint64_t read_limit(ByteReader& in, std::uint64_t fallback) {
  const std::uint8_t b = in.byte();
  switch (b % 8) {
    case 4: return b >> 3;            // 0 .. 31
    case 5: return (b >> 3) & 1;      // 0 or 1
    case 6: return std::uint64_t{b} * 13;  // up to ~3 KB
    case 7: return ~std::uint64_t{0};
    default: return fallback;
  }
}

// All ten options from 7 bytes; seven zero bytes give the defaults.
inline vorlane::ParseOptions read_options(ByteReader& in) {
  vorlane::ParseOptions options;
  const std::uint8_t switches = in.byte();
  options.forbid_dtd = (switches & 1) != 0;
  options.forbid_entities = (switches & 2) == 0;
  options.forbid_external = (switches & 4) == 0;
  options.max_depth = read_limit(in, options.max_depth);
  if ((switches & 8) != 0) options.max_depth = 100000;  // past the namespace scope's 65535
  options.max_entity_size = (switches & 16) != 0 ? 0 : options.max_entity_size;  // must change nothing
  options.max_text_size = read_limit(in, options.max_text_size);
  options.max_attributes = read_limit(in, options.max_attributes);
  options.max_attribute_size = read_limit(in, options.max_attribute_size);
  options.max_name_size = read_limit(in, options.max_name_size);
  options.max_comment_size = read_limit(in, options.max_comment_size);
  return options;
}

// Limits that most documents cross, set on `options`; the switches stay as they are.
inline void tight_limits(vorlane::ParseOptions& options, std::uint64_t depth, std::uint64_t text,
                         std::uint64_t attributes, std::uint64_t attribute_size, std::uint64_t name,
                         std::uint64_t comment) {
  options.max_depth = depth;
  options.max_text_size = text;
  options.max_attributes = attributes;
  options.max_attribute_size = attribute_size;
  options.max_name_size = name;
  options.max_comment_size = comment;
}

// Every string must lie inside its buffer, the pre-order ranges must nest and every id must
// be valid.
inline void check_document(const vorlane::Document& doc) {
  auto in_bounds = [&](const vorlane::StringRef& ref) {
    if (!ref.present()) return;
    const std::size_t limit = ref.where() == vorlane::StringRef::Where::Input ? doc.input.size() : doc.arena.size();
    require(ref.offset <= limit && ref.length() <= limit - ref.offset);
  };
  require(!doc.nodes.empty() && doc.nodes[0].subtree_end == doc.nodes.size());
  std::vector<std::size_t> ends;  // subtree ends of the open ancestors
  for (std::size_t i = 0; i < doc.nodes.size(); ++i) {
    const auto& node = doc.nodes[i];
    while (!ends.empty() && ends.back() <= i) ends.pop_back();
    require(node.subtree_end > i && node.subtree_end <= doc.nodes.size());
    require(ends.empty() || node.subtree_end <= ends.back());
    ends.push_back(node.subtree_end);
    require(node.tag < doc.names.size());
    require(std::uint64_t{node.first_attribute} + node.attribute_count <= doc.attributes.size());
    in_bounds(node.text);
    in_bounds(node.tail);
  }
  require(!doc.nodes[0].tail.present());
  for (const auto& name : doc.names) in_bounds(name);
  for (std::size_t i = 0; i < doc.attributes.size(); ++i) {
    const auto& attribute = doc.attributes[i];
    require(attribute.name < doc.names.size() && attribute.value.present());
    in_bounds(attribute.value);
  }
}

// Length-prefixed, so that no content can imitate the structure.
inline void put(std::string& out, char mark, std::string_view bytes) {
  out += mark;
  out += std::to_string(bytes.size());
  out += ':';
  out += bytes;
}

// A tree in pre-order as text. `Tree` offers size(), tag(i), attributes(i) (pairs of
// name and value), text(i) and tail(i) (optional views) and subtree_end(i).
template <class Tree>
std::string dump_tree(const Tree& tree) {
  std::string out;
  std::vector<std::size_t> open;
  auto close = [&](std::size_t node) {
    out += ')';
    const std::optional<std::string_view> tail = tree.tail(node);
    if (tail) put(out, 'L', *tail); else out += '-';
  };
  for (std::size_t i = 0; i < tree.size(); ++i) {
    while (!open.empty() && tree.subtree_end(open.back()) <= i) {
      close(open.back());
      open.pop_back();
    }
    put(out, 'E', tree.tag(i));
    for (const auto& [name, value] : tree.attributes(i)) {
      put(out, 'A', name);
      put(out, '=', value);
    }
    const std::optional<std::string_view> text = tree.text(i);
    if (text) put(out, 'T', *text); else out += '-';
    open.push_back(i);
  }
  while (!open.empty()) {
    close(open.back());
    open.pop_back();
  }
  return out;
}

// The Document as a Tree for dump_tree.
class DocumentTree {
 public:
  explicit DocumentTree(const vorlane::Document& doc) : doc_(doc) {}
  std::size_t size() const { return doc_.nodes.size(); }
  std::string_view tag(std::size_t i) const { return doc_.name(doc_.nodes[i].tag); }
  std::size_t subtree_end(std::size_t i) const { return doc_.nodes[i].subtree_end; }
  std::vector<std::pair<std::string_view, std::string_view>> attributes(std::size_t i) const {
    std::vector<std::pair<std::string_view, std::string_view>> out;
    const auto& node = doc_.nodes[i];
    for (std::size_t a = node.first_attribute; a < node.first_attribute + node.attribute_count; ++a) {
      out.emplace_back(doc_.name(doc_.attributes[a].name), doc_.bytes(doc_.attributes[a].value));
    }
    return out;
  }
  std::optional<std::string_view> text(std::size_t i) const { return optional(doc_.nodes[i].text); }
  std::optional<std::string_view> tail(std::size_t i) const { return optional(doc_.nodes[i].tail); }

 private:
  std::optional<std::string_view> optional(const vorlane::StringRef& ref) const {
    if (!ref.present()) return std::nullopt;
    return doc_.bytes(ref);
  }
  const vorlane::Document& doc_;
};

// A tree a target builds itself (from events, or from the model it generated), in the form
// dump_tree reads.
struct ListedNode {
  std::string tag;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::optional<std::string> text;
  std::optional<std::string> tail;
  std::size_t subtree_end = 0;
};

struct ListedTree {
  const std::vector<ListedNode>& nodes;
  std::size_t size() const { return nodes.size(); }
  std::string_view tag(std::size_t i) const { return nodes[i].tag; }
  std::size_t subtree_end(std::size_t i) const { return nodes[i].subtree_end; }
  std::vector<std::pair<std::string_view, std::string_view>> attributes(std::size_t i) const {
    return {nodes[i].attributes.begin(), nodes[i].attributes.end()};
  }
  std::optional<std::string_view> text(std::size_t i) const { return nodes[i].text; }
  std::optional<std::string_view> tail(std::size_t i) const { return nodes[i].tail; }
};

inline void put_optional(std::string& out, const vorlane::OptString& s) {
  if (s) put(out, 'S', *s); else out += '-';
}

// A failure as text: its kind and its whole payload.
inline std::string describe_failure(const vorlane::ParseFailure& failure) {
  using vorlane::FailureKind;
  std::string out = "F" + std::to_string(static_cast<int>(failure.kind()));
  switch (failure.kind()) {
    case FailureKind::Syntax:
      put(out, 'M', failure.message());
      break;
    case FailureKind::DtdForbidden:
      put(out, 'N', failure.dtd().name);
      put_optional(out, failure.dtd().system_id);
      put_optional(out, failure.dtd().public_id);
      break;
    case FailureKind::EntitiesForbidden: {
      const auto& e = failure.entity();
      put(out, 'N', e.name);
      put_optional(out, e.value);
      put_optional(out, e.system_id);
      put_optional(out, e.public_id);
      put_optional(out, e.notation_name);
      break;
    }
    case FailureKind::ExternalReferenceForbidden:
      put_optional(out, failure.external().system_id);
      put_optional(out, failure.external().public_id);
      break;
    default:
      out += ' ' + std::to_string(failure.limit());
      break;
  }
  return out;
}

// The whole outcome of a parse as text, checking the invariants on the way.
inline std::string describe(const vorlane::ParseResult& result) {
  switch (result.status) {
    case vorlane::ParseResult::Status::Ok: {
      check_document(result.document);
      return "OK" + dump_tree(DocumentTree(result.document));
    }
    case vorlane::ParseResult::Status::Failed:
      require(result.failure.has_value());
      return describe_failure(*result.failure);
    case vorlane::ParseResult::Status::OutOfMemory:
      break;
  }
  return "OOM";
}

}  // namespace fuzz
