// Start-tag processing: the element's rendered tag and its attribute list, with the
// attribute limits, the duplicate check on raw keys and `{namespace}local` rendering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/element_node.h"
#include "parser/name_table.h"
#include "parser/namespace_resolver.h"
#include "parser/parse_failure.h"
#include "parser/parse_options.h"

namespace vorlane {

// The rendered form of a raw name: `raw` itself, or "{ns}local" built in `scratch`.
// The default namespace applies to element names only. Never fails.
std::string_view render_name(const NamespaceResolver& ns, std::string_view raw, bool element, std::string& scratch);

class StartTagProcessor {
 public:
  StartTagProcessor(Document& doc, NameTable& names) : doc_(doc), names_(names) {}

  // The name id of the element's rendered tag.
  std::uint32_t render_element_name(const NamespaceResolver& ns, std::string_view raw_name);

  // Appends the tag's kept attributes to doc.attributes, in document order. `content` is
  // the raw tag content and `name_length` the length of the raw element name.
  MaybeFailure process_attributes(const NamespaceResolver& ns, std::string_view content, std::size_t name_length,
                                  const ParseOptions& options);

 private:
  // The duplicate check: raw keys are interned like names, so an equal key of the same
  // tag is found through its id in constant time, for any number of attributes.
  std::optional<std::size_t> record_key(std::uint32_t raw_id, std::size_t position);

  struct SeenKey {
    std::uint64_t tag = 0;  // serial of the tag that last used this raw key; 0: none
    std::size_t position = 0;
  };

  Document& doc_;
  NameTable& names_;
  std::vector<SeenKey> seen_;  // by name id
  std::uint64_t tag_serial_ = 0;
  std::string scratch_;
};

}  // namespace vorlane
