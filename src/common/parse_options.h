// The caller's switches and limits, built once per call and read-only during the parse.
#pragma once

#include <cstdint>

// The one list of the options of parse_xml, in signature order: X(kind, name, default).
// A Switch is a bool, a Limit an unsigned 64-bit bound. ParseOptions, the text signature
// of parse_xml and its parameter names (src/module) are generated from it; the stub
// python/vorlane/_vorlane.pyi is checked against the signature by tests/test_module.py.
// max_entity_size is accepted and bounds nothing: no entity is ever expanded.
#define VORLANE_PARSE_OPTIONS(X)           \
  X(Switch, forbid_dtd, false)             \
  X(Switch, forbid_entities, true)         \
  X(Switch, forbid_external, true)         \
  X(Limit, max_depth, 1000)                \
  X(Limit, max_entity_size, 10485760)      \
  X(Limit, max_text_size, 104857600)       \
  X(Limit, max_attributes, 1000)           \
  X(Limit, max_attribute_size, 10485760)   \
  X(Limit, max_name_size, 1024)            \
  X(Limit, max_comment_size, 10485760)

namespace vorlane {

struct ParseOptions {
  using Switch = bool;
  using Limit = std::uint64_t;

#define VORLANE_OPTION_FIELD(kind, name, value) kind name = value;
  VORLANE_PARSE_OPTIONS(VORLANE_OPTION_FIELD)
#undef VORLANE_OPTION_FIELD

  // Refuse everything XML and its namespaces call not well-formed, and normalise line ends
  // and attribute values as XML prescribes. Outside the list above: parse_xml's signature
  // stays as it is; the event parser and parse_document take it by name.
  bool strict = false;
};

}  // namespace vorlane
