// Compact rendering of a parsed tree for native tests: (tag @key=value 'text' children...)~'tail'
#pragma once

#include <cstddef>
#include <string>

#include "common/document.h"
#include "parser/parse_core.h"

inline void dump_tree(const vorlane::Document& d, std::size_t i, std::string& out) {
  const vorlane::ElementNode& n = d.nodes[i];
  out += "(";
  out += d.name(n.tag);
  for (std::size_t a = n.first_attribute; a < n.first_attribute + n.attribute_count; ++a) {
    out += " @";
    out += d.name(d.attributes[a].name);
    out += "=";
    out += d.bytes(d.attributes[a].value);
  }
  if (n.text.present()) out += " '" + std::string(d.bytes(n.text)) + "'";
  for (std::size_t c = i + 1; c < n.subtree_end; c = d.nodes[c].subtree_end) {
    out += " ";
    dump_tree(d, c, out);
  }
  out += ")";
  if (n.tail.present()) out += "~'" + std::string(d.bytes(n.tail)) + "'";
}

// One parse as text: "OK <tree>", "ERR <syntax message>", or "FAIL" for any other failure.
inline std::string parse_outcome(const std::string& input, const vorlane::ParseOptions& options = {}) {
  vorlane::ParseResult r = vorlane::parse_core(input.data(), input.size(), options);
  if (r.status == vorlane::ParseResult::Status::Ok) {
    std::string s = "OK ";
    dump_tree(r.document, 0, s);
    if (r.document.nodes[0].subtree_end != r.document.nodes.size()) s += " [stray nodes]";
    return s;
  }
  if (r.status == vorlane::ParseResult::Status::Failed && r.failure->kind() == vorlane::FailureKind::Syntax) {
    return "ERR " + r.failure->message();
  }
  return "FAIL";
}
