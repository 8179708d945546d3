// Property target. Input: 7 option bytes (fuzz_support.h), then the document.
//  - The same bytes with the same options give the same outcome twice, the second time
//    from a copy at another address and alignment (the hash seed differs per parse, and the
//    block scans see other boundaries): the same tree, or the same failure with the same
//    payload.
//  - A tree that parsed, written back as XML, parses to the same tree.
//  - The verdict on each DOCTYPE that the driver reaches in constant memory equals that of
//    the full analysis, under every combination of the three switches.
//
// "The same tree" is the same strings: tags and attribute names as rendered
// ("{namespace}local", or as written when no namespace applies), the attributes in order,
// text and tail each absent or present with the same bytes. The writer uses prefixes it
// declares itself for rendered names where it can, so that the second parse resolves them
// again; where it cannot (a namespace name holding both quote characters, the xmlns
// namespace on an attribute), it writes the rendered string as the name, which this
// parser keeps as written because no prefix or default namespace of the output applies
// to it. It never declares a default namespace, so unprefixed names stay as they are.
// Values and text are escaped, and a present but empty text or tail is written as an
// empty CDATA section. The second parse runs without limits: the written form has other
// name and value lengths than the original.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "doctype/doctype.h"
#include "fuzz_support.h"
#include "parser/namespace_resolver.h"
#include "tokenizer/xml_tokenizer.h"

using vorlane::Document;
using vorlane::ParseOptions;
using vorlane::ParseResult;

namespace {

constexpr std::size_t kMaxDeclarationsInScope = 100;  // the parser accepts 128

class Writer {
 public:
  explicit Writer(const Document& doc) : doc_(doc) {}

  // False when the tree has a name that no tag can carry unchanged (see writable()).
  bool write(std::string& out) {
    for (std::size_t i = 0; i < doc_.names.size(); ++i) {
      const std::string_view name = doc_.name(static_cast<std::uint32_t>(i));
      const std::size_t colon = name.find(':');
      if (colon != std::string_view::npos) avoid_.insert(std::string(name.substr(0, colon)));
    }
    struct Open {
      std::size_t node;
      std::string name;
      std::size_t scope_size;
    };
    std::vector<Open> open;
    auto close = [&] {
      out += "</";
      out += open.back().name;
      out += '>';
      write_text(out, doc_.nodes[open.back().node].tail);
      scope_.resize(open.back().scope_size);
      open.pop_back();
    };
    for (std::size_t i = 0; i < doc_.nodes.size(); ++i) {
      while (!open.empty() && doc_.nodes[open.back().node].subtree_end <= i) close();
      const vorlane::ElementNode& node = doc_.nodes[i];
      const std::size_t scope_size = scope_.size();
      std::string declarations;
      std::set<std::string> keys;
      std::optional<std::string> name = written_name(doc_.name(node.tag), true, declarations, keys);
      if (!name) return false;
      std::string attributes;
      for (std::size_t a = node.first_attribute; a < node.first_attribute + node.attribute_count; ++a) {
        const vorlane::Attribute& attribute = doc_.attributes[a];
        const std::optional<std::string> key = written_name(doc_.name(attribute.name), false, declarations, keys);
        if (!key) return false;
        attributes += ' ';
        attributes += *key;
        attributes += "=\"";
        escape(attributes, doc_.bytes(attribute.value), true);
        attributes += '"';
      }
      std::string tag = "<" + *name + declarations + attributes;
      const bool leaf = node.subtree_end == i + 1 && !node.text.present();
      if (leaf) {
        out += tag;
        out += tag.size() == 1 ? " />" : "/>";  // "</>" would be an end tag
        write_text(out, node.tail);
        scope_.resize(scope_size);
        continue;
      }
      if (tag.back() == '/') tag += ' ';  // else "<a/>" would be an empty-element tag
      out += tag;
      out += '>';
      write_text(out, node.text);
      open.push_back(Open{i, std::move(*name), scope_size});
    }
    while (!open.empty()) close();
    return true;
  }

 private:
  // Whether a tag can carry `name` unchanged: white space would end it, a quote would open
  // a quoted stretch of the tokenizer's, ">" would end the tag and "=" an attribute key, and
  // names refuse NUL (which a namespace name, and so a rendered name, may hold).
  static bool writable(std::string_view name, bool element) {
    static constexpr std::string_view kElement(" \t\r\n\"'>\0", 8);
    static constexpr std::string_view kAttribute(" \t\r\n\"'>=\0", 9);
    return name.find_first_of(element ? kElement : kAttribute) == std::string_view::npos;
  }

  // The name to write for `rendered`, adding any declaration it needs to `declarations`,
  // or nothing when no name can give it. Attribute keys must differ as written (`keys`),
  // even where they render the same.
  std::optional<std::string> written_name(std::string_view rendered, bool element, std::string& declarations,
                                          std::set<std::string>& keys) {
    std::string name = prefixed(rendered, element, declarations, keys);
    if (name.empty()) {
      if (!writable(rendered, element)) return std::nullopt;
      name = std::string(rendered);
    }
    if (!element && !keys.insert(name).second) return std::nullopt;
    return name;
  }

  // "p:local" for a rendered "{ns}local", or "" when no prefix can give it. A namespace
  // name may hold "}" (and bytes no name may), so each "}" is a candidate end of it.
  std::string prefixed(std::string_view rendered, bool element, std::string& declarations,
                       std::set<std::string>& keys) {
    if (rendered.empty() || rendered[0] != '{') return {};
    for (std::size_t close = rendered.find('}', 2); close != std::string_view::npos;
         close = rendered.find('}', close + 1)) {
      const std::string_view local = rendered.substr(close + 1);
      if (!writable(local, element)) continue;
      std::string name = prefixed(rendered.substr(1, close - 1), local, element, declarations, keys);
      if (!name.empty()) return name;
    }
    return {};
  }

  std::string prefixed(std::string_view ns, std::string_view local, bool element, std::string& declarations,
                       std::set<std::string>& keys) {
    auto usable = [&](const std::string& name) { return element || keys.count(name) == 0; };
    if (ns == vorlane::kXmlNamespace) {
      std::string name = "xml:" + std::string(local);
      return usable(name) ? name : std::string();
    }
    if (ns == vorlane::kXmlnsNamespace) return element ? "xmlns:" + std::string(local) : std::string();
    const bool has_double = ns.find('"') != std::string_view::npos;
    if (has_double && ns.find('\'') != std::string_view::npos) return {};
    for (std::size_t b = scope_.size(); b-- > 0;) {
      if (scope_[b].first != ns) continue;
      std::string name = scope_[b].second + ":" + std::string(local);
      if (usable(name)) return name;
    }
    if (scope_.size() >= kMaxDeclarationsInScope) return {};
    std::string prefix;
    do {
      prefix = "n" + std::to_string(next_prefix_++);
    } while (avoid_.count(prefix) != 0);
    const char quote = has_double ? '\'' : '"';
    declarations += " xmlns:" + prefix + "=" + quote + std::string(ns) + quote;
    scope_.emplace_back(std::string(ns), prefix);
    return prefix + ":" + std::string(local);
  }

  void write_text(std::string& out, const vorlane::StringRef& ref) {
    if (!ref.present()) return;
    const std::string_view bytes = doc_.bytes(ref);
    if (bytes.empty()) {
      out += "<![CDATA[]]>";
      return;
    }
    escape(out, bytes, false);
  }

  static void escape(std::string& out, std::string_view bytes, bool attribute) {
    for (char c : bytes) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"':
          if (attribute) {
            out += "&quot;";
            break;
          }
          [[fallthrough]];
        default: out += c; break;
      }
    }
  }

  const Document& doc_;
  std::set<std::string> avoid_;  // prefixes that names written as they are use
  std::vector<std::pair<std::string, std::string>> scope_;  // namespace name, prefix
  std::size_t next_prefix_ = 0;
};

void check_doctype_verdicts(const char* doc, std::size_t length) {
  vorlane::XmlTokenizer tokenizer(doc, length);
  for (int doctypes = 0; doctypes < 4;) {
    vorlane::XmlEvent event;
    if (tokenizer.next_event(event) || event.kind == vorlane::XmlEventKind::EndOfInput) return;
    if (event.kind != vorlane::XmlEventKind::Doctype) continue;
    ++doctypes;
    for (int switches = 0; switches < 8; ++switches) {
      ParseOptions options;
      options.forbid_dtd = (switches & 1) != 0;
      options.forbid_entities = (switches & 2) != 0;
      options.forbid_external = (switches & 4) != 0;
      const vorlane::MaybeFailure quick = vorlane::judge_doctype(event.content, options);
      const vorlane::MaybeFailure full = vorlane::apply_doctype_policy(vorlane::analyze_doctype(event.content), options);
      fuzz::require(quick.has_value() == full.has_value());
      if (quick) fuzz::require(fuzz::describe_failure(*quick) == fuzz::describe_failure(*full));
    }
  }
}

ParseOptions unlimited() {
  ParseOptions options;
  const std::uint64_t max = ~std::uint64_t{0};
  options.max_depth = options.max_text_size = options.max_attributes = options.max_attribute_size = max;
  options.max_name_size = options.max_comment_size = max;
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteReader in(data, size);
  const ParseOptions options = fuzz::read_options(in);
  const std::size_t skip = in.consumed();
  const char* const doc = reinterpret_cast<const char*>(data) + skip;
  const std::size_t length = size - skip;

  const ParseResult first = vorlane::parse_core(doc, length, options);
  const std::string outcome = fuzz::describe(first);

  // The copy ends where its allocation ends, so a read past the document is caught.
  const std::size_t shift = 1 + size % 15;
  std::unique_ptr<char[]> copy(new char[shift + length]);
  if (length != 0) std::memcpy(copy.get() + shift, doc, length);
  {
    const ParseResult again = vorlane::parse_core(copy.get() + shift, length, options);
    fuzz::require(fuzz::describe(again) == outcome);
  }

  check_doctype_verdicts(doc, length);

  if (first.status != ParseResult::Status::Ok) return 0;
  std::string written;
  if (!Writer(first.document).write(written)) return 0;
  const ParseResult reread = vorlane::parse_core(written.data(), written.size(), unlimited());
  fuzz::require(reread.status == ParseResult::Status::Ok);
  fuzz::require(fuzz::dump_tree(fuzz::DocumentTree(reread.document)) ==
                fuzz::dump_tree(fuzz::DocumentTree(first.document)));
  return 0;
}
