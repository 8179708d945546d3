// Fuzz target for the whole core: any input must end in a Document or one ParseFailure,
// never a crash, a hang or a read outside the input, under every option profile.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

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
  if (selector & 8) {
    options.max_depth = 8;
    options.max_text_size = 64;
    options.max_attributes = 3;
    options.max_attribute_size = 8;
    options.max_name_size = 8;
    options.max_comment_size = 8;
  }
  if (selector & 16) options.max_depth = 100000;
  return options;
}

void check_document(const vorlane::Document& doc) {
  // Every string must lie inside its buffer and the pre-order ranges must nest.
  auto in_bounds = [&](const vorlane::StringRef& ref) {
    if (!ref.present()) return;
    std::size_t limit = ref.where() == vorlane::StringRef::Where::Input ? doc.input.size() : doc.arena.size();
    if (ref.offset > limit || ref.length() > limit - ref.offset) std::abort();
  };
  if (doc.nodes.empty() || doc.nodes[0].subtree_end != doc.nodes.size()) std::abort();
  for (std::size_t i = 0; i < doc.nodes.size(); ++i) {
    const auto& node = doc.nodes[i];
    if (node.subtree_end <= i || node.subtree_end > doc.nodes.size()) std::abort();
    if (node.tag >= doc.names.size()) std::abort();
    if (node.first_attribute + node.attribute_count > doc.attributes.size()) std::abort();
    in_bounds(node.text);
    in_bounds(node.tail);
  }
  if (doc.nodes[0].tail.present()) std::abort();
  for (const auto& name : doc.names) in_bounds(name);
  for (std::size_t i = 0; i < doc.attributes.size(); ++i) {
    const auto& attribute = doc.attributes[i];
    if (attribute.name >= doc.names.size() || !attribute.value.present()) std::abort();
    in_bounds(attribute.value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ParseOptions options = options_from(data[0]);
  ParseResult result = vorlane::parse_core(reinterpret_cast<const char*>(data + 1), size - 1, options);
  switch (result.status) {
    case ParseResult::Status::Ok:
      check_document(result.document);
      break;
    case ParseResult::Status::Failed:
      if (!result.failure) std::abort();
      break;
    case ParseResult::Status::OutOfMemory:
      break;
  }
  return 0;
}
