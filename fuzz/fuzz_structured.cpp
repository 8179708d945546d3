// Structure-aware target: the fuzzer's bytes are choices that build a mostly well-formed
// document (prolog with XML declaration, DOCTYPE and internal subset, nested elements,
// attributes with references, namespace declarations and prefixes, CDATA, comments,
// processing instructions, long runs of nesting and attributes), under options decoded from
// the first 7 bytes (fuzz_support.h). Most inputs therefore reach the deep paths of the
// core (name rendering under changing scopes, predicted attribute keys, the hashed
// duplicate check, text joined across chunks) instead of stopping at the first byte.
//
// The generator keeps its own model of what it wrote: the expected tree, and the problems
// (a limit crossed, a forbidden construct, a malformed reference...) with the failure kind
// each must produce. With no problem the parse must give exactly the modelled tree; when
// every problem has the same kind, the parse must fail with that kind (and, for a limit,
// the configured limit). The eighth byte chooses a clean mode, which writes no malformed or
// refused construct, so that many documents get the exact-tree check. Outside it some inputs
// also get a few random edits after generation; those only have to keep the invariants.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "parser/namespace_resolver.h"

using vorlane::FailureKind;
using vorlane::ParseOptions;
using vorlane::ParseResult;

namespace {

struct Piece {
  const char* written;
  const char* value;
};

// Character data that is fine inside an element.
const Piece kText[] = {
    {"a", "a"}, {"text", "text"}, {" ", " "}, {"\n", "\n"}, {"\r\n", "\r\n"}, {"\t", "\t"}, {"\xc3\xa9", "\xc3\xa9"},
    {"\xe2\x82\xac", "\xe2\x82\xac"}, {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}, {">", ">"}, {"]]>", "]]>"},
    {"'", "'"}, {"\"", "\""}, {"\x01", "\x01"}, {"=", "="}, {";", ";"},
};
// References that expand in character data.
const Piece kTextReferences[] = {
    {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}, {"&apos;", "'"}, {"&quot;", "\""}, {"&#65;", "A"},
    {"&#x41;", "A"}, {"&#X41;", "A"}, {"&#+65;", "A"}, {"&#0065;", "A"}, {"&#32;", " "}, {"&#xA0;", "\xc2\xa0"},
    {"&#x20AC;", "\xe2\x82\xac"}, {"&#x10FFFF;", "\xf4\x8f\xbf\xbf"},
};
// References that character data refuses with a syntax error.
const char* const kBadTextReferences[] = {"&#xD800;", "&#;", "&#x;", "&#-1;", "&#4294967296;", "&#x110000;", "&#xZZ;"};
// Attribute value pieces, for a value in double quotes (a single-quoted value swaps the quotes).
const Piece kValue[] = {
    {"v", "v"}, {"", ""}, {" ", " "}, {"\t", "\t"}, {"\n", "\n"}, {"\r", "\r"}, {"\xc3\xa9", "\xc3\xa9"}, {">", ">"},
    {"<", "<"}, {"'", "'"}, {"a;b", "a;b"}, {"=", "="}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"},
    {"&apos;", "'"}, {"&quot;", "\""}, {"&#65;", "A"}, {"&#x41;", "A"}, {"&#x10FFFF;", "\xf4\x8f\xbf\xbf"},
    {"&#0065;", "A"}, {"&amp;lt;", "&lt;"},
};
// Attribute value references refused with a syntax error (the rules differ from text's).
const char* const kBadValueReferences[] = {"&#X41;", "&#+65;", "&#0;", "&#xD800;", "&#;", "&#99999999999;"};

const char* const kLocalNames[] = {
    "a", "b", "c", "item", "x-y", "_z", "\xc3\xa9", "\xe5\x90\x8d\xe5\x89\x8d", "a.b", "fifteen-chars-x",
    "sixteen-chars-xy", "seventeen-chars-x", "a-name-of-forty-bytes-for-the-long-paths", "b:c", "",
};
const char* const kPrefixes[] = {"p", "q", "p2", "xml", "", "unbound"};
const char* const kNamespaces[] = {
    "u", "urn:x", "http://example.com/ns", "", "a&amp;b", "\xc3\xbc", "{}", "p:q",
    "http://www.w3.org/XML/1998/namespace", "http://www.w3.org/2000/xmlns/",
};
const char* const kDeclaredPrefixes[] = {"p", "q", "p2", "", "xml", "xmlns"};
const char* const kOutside[] = {" ", "\n", "\r\n", "\t", "\xc2\xa0", "\xe3\x80\x80", "\xe2\x80\xa8"};
const char* const kComments[] = {"", " c ", "a -- b", "x-", "<a>&amp;", "\xc3\xa9"};
const char* const kInstructions[] = {"<?pi data?>", "<?x?>", "<?xml-stylesheet href='a'?>", "<?xml version='1.0'?>"};
const char* const kCdata[] = {"", "x", "<a>&amp;", "]]", "]", "\r\n"};

using ModelNode = fuzz::ListedNode;

// The namespace scope as the behaviour contract describes it, kept apart from the core's.
class Scopes {
 public:
  void open() { ++level_; }
  void close() {
    --level_;
    while (!bindings_.empty() && bindings_.back().level > level_) bindings_.pop_back();
  }
  // False when the declaration is refused.
  bool declare(std::string_view key, std::string_view value) {
    if (key == "xmlns") return add("", value);
    const std::string_view prefix = key.substr(6);
    if (prefix == "xml") return value == vorlane::kXmlNamespace;
    if (prefix == "xmlns" || value == vorlane::kXmlNamespace || value == vorlane::kXmlnsNamespace) return false;
    return add(prefix, value);
  }
  std::string render(std::string_view raw, bool element) const {
    const std::size_t colon = raw.find(':');
    if (colon == std::string_view::npos) {
      if (!element) return std::string(raw);
      const std::string* ns = find("");
      return ns && !ns->empty() ? "{" + *ns + "}" + std::string(raw) : std::string(raw);
    }
    const std::string_view prefix = raw.substr(0, colon);
    const std::string local(raw.substr(colon + 1));
    if (const std::string* ns = find(prefix)) return ns->empty() ? std::string(raw) : "{" + *ns + "}" + local;
    if (prefix == "xml") return "{" + std::string(vorlane::kXmlNamespace) + "}" + local;
    if (prefix == "xmlns") return "{" + std::string(vorlane::kXmlnsNamespace) + "}" + local;
    return std::string(raw);
  }

 private:
  struct Binding {
    std::string prefix;
    std::string value;
    std::size_t level;
  };
  bool add(std::string_view prefix, std::string_view value) {
    if (bindings_.size() >= 128) return false;
    bindings_.push_back({std::string(prefix), std::string(value), level_});
    return true;
  }
  const std::string* find(std::string_view prefix) const {
    for (std::size_t i = bindings_.size(); i-- > 0;) {
      if (bindings_[i].prefix == prefix) return &bindings_[i].value;
    }
    return nullptr;
  }
  std::vector<Binding> bindings_;
  std::size_t level_ = 0;
};

constexpr std::size_t kMaxRecursion = 40;
constexpr std::size_t kMaxDocument = 1 << 20;

class Generator {
 public:
  Generator(fuzz::ByteReader& in, const ParseOptions& options, bool clean)
      : in_(in), options_(options), clean_(clean) {}

  // A choice that makes a malformed or refused construct: never taken in the clean mode.
  bool flaw(unsigned in256) { return !clean_ && in_.chance(in256); }

  std::string document() {
    for (std::size_t i = 0; i < kVocabulary; ++i) vocabulary_.push_back(fresh_name(true));
    if (in_.chance(16)) out_ += "\xEF\xBB\xBF";
    if (in_.chance(64)) {
      out_ += in_.chance(128) ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                              : "<?xml version='9.9' encoding='latin1'?>";
    }
    misc();
    if (in_.chance(48)) {
      doctype();
      misc();
    }
    element(1);
    misc();
    if (flaw(4)) {  // a second top-level element or text after the root
      if (in_.chance(128)) {
        out_ += "<a/>";
      } else {
        characters("x", "x");
      }
      problem(FailureKind::Syntax);
    }
    if (flaw(24)) corrupt();
    return out_;
  }

  // Checks the parse of what document() returned against the model.
  void check(const ParseResult& result, const std::string& got) const {
    if (corrupted_ || result.status == ParseResult::Status::OutOfMemory) return;
    if (problems_.empty()) {
      const std::string expected = "OK" + fuzz::dump_tree(fuzz::ListedTree{nodes_});
      if (got != expected) report(expected, got);
      return;
    }
    if (result.status != ParseResult::Status::Failed) report("a failure", got);
    if (problems_.size() > 1) return;
    const FailureKind kind = *problems_.begin();
    if (result.failure->kind() != kind) report("failure kind " + std::to_string(static_cast<int>(kind)), got);
    if (kind != FailureKind::Syntax && kind != FailureKind::DtdForbidden && kind != FailureKind::EntitiesForbidden &&
        kind != FailureKind::ExternalReferenceForbidden && result.failure->limit() != limit_of(kind)) {
      report("the configured limit", got);
    }
  }

 private:
  [[noreturn]] void report(const std::string& expected, const std::string& got) const {
    if (std::getenv("FUZZ_VERBOSE") != nullptr) {
      std::fprintf(stderr, "document: ");
      std::fwrite(out_.data(), 1, out_.size(), stderr);
      std::fprintf(stderr, "\nexpected: %s\ngot:      %s\nproblems:", expected.c_str(), got.c_str());
      for (FailureKind kind : problems_) std::fprintf(stderr, " %d", static_cast<int>(kind));
      std::fprintf(stderr, "\n");
    }
    std::abort();
  }

  std::uint64_t limit_of(FailureKind kind) const {
    switch (kind) {
      case FailureKind::MaxDepthExceeded: return options_.max_depth;
      case FailureKind::MaxTextSizeExceeded: return options_.max_text_size;
      case FailureKind::MaxAttributesExceeded: return options_.max_attributes;
      case FailureKind::MaxAttributeSizeExceeded: return options_.max_attribute_size;
      case FailureKind::MaxNameSizeExceeded: return options_.max_name_size;
      case FailureKind::MaxCommentSizeExceeded: return options_.max_comment_size;
      default: return 0;
    }
  }

  void problem(FailureKind kind) { problems_.insert(kind); }
  void entity_problem() { problem(options_.forbid_entities ? FailureKind::EntitiesForbidden : FailureKind::Syntax); }
  bool full() const { return out_.size() > kMaxDocument; }

  // ---- character data and the constructs between it

  void characters(std::string_view written, std::string_view value) {
    out_ += written;
    text_total_ += value.size();
    if (text_total_ > options_.max_text_size) problem(FailureKind::MaxTextSizeExceeded);
    if (open_.empty()) return;  // only white space is written outside the root
    const Open& top = open_.back();
    std::optional<std::string>& target = top.last_child == kNone ? nodes_[top.node].text : nodes_[top.last_child].tail;
    if (!target) target.emplace();
    target->append(value);
  }

  void misc() {
    while (!in_.empty() && !full()) {
      const std::uint8_t b = in_.byte();
      if (b < 64) {
        const char* space = in_.pick(kOutside);
        characters(space, space);  // counted, never stored
      } else if (b < 96) {
        comment();
      } else if (b < 112) {
        out_ += in_.pick(kInstructions);
      } else {
        return;
      }
    }
  }

  void comment() {
    std::string content = in_.pick(kComments);
    if (in_.chance(16)) content.append(in_.below(64) * 7, 'c');
    if (content.size() > options_.max_comment_size) problem(FailureKind::MaxCommentSizeExceeded);
    out_ += "<!--" + content + "-->";
  }

  void doctype() {
    static const char* const kNames[] = {"r", "html", "a:b"};
    static const char* const kIds[] = {"", " SYSTEM 'x.dtd'", " PUBLIC 'p' 's'", " PUBLIC \"-//A//B\""};
    struct Declaration {
      const char* text;
      bool entity;
      bool external;
    };
    static const Declaration kDeclarations[] = {
        {"<!ELEMENT r ANY>", false, false},         {"<!ATTLIST r a CDATA #IMPLIED>", false, false},
        {"<!ENTITY e 'v'>", true, false},            {"<!ENTITY % pe \"v\">", true, false},
        {"<!ENTITY e SYSTEM 'f'>", true, true},      {"<!ENTITY e PUBLIC 'p' 's'>", true, true},
        {"<!ENTITY e SYSTEM 's' NDATA n>", true, true}, {"<!-- c -->", false, false},
        {"<?pi x?>", false, false},                  {"\n", false, false},
        {"<!-- <!ENTITY a 'b'> -->", true, false},
    };
    const char* id = in_.pick(kIds);
    bool external = id[0] != '\0';
    bool entities = false;
    out_ += in_.chance(128) ? "<!DOCTYPE " : "<!doctype\n";
    out_ += in_.pick(kNames);
    out_ += id;
    if (in_.chance(160)) {
      out_ += " [";
      for (std::size_t n = in_.below(6); n > 0; --n) {
        const Declaration& d = in_.pick(kDeclarations);
        out_ += d.text;
        entities |= d.entity;
        external |= d.external;
      }
      out_ += "]";
    }
    out_ += ">";
    if (options_.forbid_dtd) {
      problem(FailureKind::DtdForbidden);
    } else if (options_.forbid_external && external) {
      problem(FailureKind::ExternalReferenceForbidden);
    } else if (options_.forbid_entities && entities) {
      problem(FailureKind::EntitiesForbidden);
    }
  }

  // ---- names

  // Names mostly come from a small vocabulary drawn per document, so that the same names
  // meet again under other declarations, as siblings and at other depths.
  std::string raw_name(bool element) {
    if (vocabulary_.size() == kVocabulary && in_.chance(200)) {
      std::string name = vocabulary_[in_.below(kVocabulary)];
      if (flaw(2)) name += std::string(1, '\0');
      return name;
    }
    return fresh_name(element);
  }

  std::string fresh_name(bool element) {
    std::string local = in_.pick(kLocalNames);
    if (in_.chance(4)) local = std::string(1 + in_.below(1100), 'n');  // around max_name_size
    std::string name;
    if (in_.chance(100)) {
      std::string prefix = in_.pick(kPrefixes);
      if (element && in_.chance(8)) prefix = "xmlns";
      name = prefix + ":" + local;
    } else {
      name = local;
      if (!element && in_.chance(8)) name = "xmlnsfoo";  // an ordinary attribute
    }
    if (flaw(2)) name += std::string(1, '\0');
    return name;
  }

  void name_problems(const std::string& name) {
    if (name.size() > options_.max_name_size) problem(FailureKind::MaxNameSizeExceeded);
    if (name.find('\0') != std::string::npos) problem(FailureKind::Syntax);
  }

  // ---- attributes

  struct Item {
    std::string key;
    std::string raw;  // between the quotes
    std::string value;
    char quote;
    bool declaration;
  };

  void value(Item& item) {
    item.quote = in_.chance(64) ? '\'' : '"';
    const std::size_t pieces = in_.chance(8) ? in_.below(300) : in_.below(4);
    for (std::size_t i = 0; i < pieces; ++i) {
      const std::uint8_t b = clean_ ? 255 : in_.byte();
      if (b < 4) {
        item.raw += in_.pick(kBadValueReferences);
        problem(FailureKind::Syntax);
        continue;
      }
      if (b < 7) {
        item.raw += "&foo;";
        entity_problem();
        continue;
      }
      if (b < 9) {  // an "&" without its ";", as the value's last piece
        item.raw += "&x";
        problem(FailureKind::Syntax);
        break;
      }
      const Piece& piece = in_.pick(kValue);
      std::string written = piece.written;
      if (written == std::string(1, item.quote)) written = item.quote == '"' ? "&quot;" : "&apos;";
      item.raw += written;
      item.value += piece.value;
    }
  }

  std::vector<Item> attributes(const std::string& element_name) {
    std::vector<Item> items;
    std::size_t count = in_.below(6);
    if (in_.chance(24)) count = 30 + in_.below(40);  // past the 32 keys of the linear duplicate check
    if (in_.chance(2)) count = 990 + in_.below(20);   // around the default max_attributes
    // Tags of one name often repeat their keys: start from the previous tag's keys.
    std::vector<std::string>& previous = keys_by_tag_[element_name];
    const bool repeat = !previous.empty() && in_.chance(160);
    if (repeat) count = previous.size() + (in_.chance(64) ? 1 : 0) - (in_.chance(64) && !previous.empty() ? 1 : 0);
    std::set<std::string> seen;
    for (std::size_t i = 0; i < count && !full(); ++i) {
      Item item;
      const bool declaration = !repeat && in_.chance(40);
      if (repeat && i < previous.size() && !in_.chance(16)) {
        item.key = previous[i];
      } else if (declaration) {
        std::string prefix = in_.pick(kDeclaredPrefixes);
        if (in_.chance(128)) {  // a prefix of the vocabulary
          const std::string& name = vocabulary_[in_.below(kVocabulary)];
          prefix = name.substr(0, name.find(':'));
        }
        if (clean_ && (prefix == "xml" || prefix == "xmlns")) continue;
        item.key = prefix.empty() && in_.chance(200) ? "xmlns" : "xmlns:" + prefix;
      } else {
        item.key = raw_name(false);
      }
      if (seen.count(item.key) != 0) {
        if (!flaw(8)) continue;
        problem(FailureKind::Syntax);  // a duplicated key
      }
      item.declaration = item.key == "xmlns" || item.key.rfind("xmlns:", 0) == 0;
      if (item.declaration) {
        item.quote = in_.chance(64) ? '\'' : '"';
        item.raw = item.value = in_.pick(kNamespaces);
        if (clean_ && (item.value == vorlane::kXmlNamespace || item.value == vorlane::kXmlnsNamespace)) continue;
      } else {
        value(item);
      }
      seen.insert(item.key);
      name_problems(item.key);
      items.push_back(std::move(item));
    }
    previous.clear();
    for (const Item& item : items) previous.push_back(item.key);
    return items;
  }

  // ---- elements

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct Open {
    std::size_t node;
    std::size_t last_child;
  };

  void depth_check(std::size_t depth) {
    if (depth > options_.max_depth) {
      problem(FailureKind::MaxDepthExceeded);
    } else if (depth > vorlane::NamespaceResolver::kMaxNesting) {
      problem(FailureKind::Syntax);
    }
  }

  void begin_node(std::string tag, std::vector<std::pair<std::string, std::string>> attributes) {
    nodes_.push_back(ModelNode{std::move(tag), std::move(attributes), std::nullopt, std::nullopt, 0});
    open_.push_back(Open{nodes_.size() - 1, kNone});
  }

  void end_node() {
    const std::size_t node = open_.back().node;
    nodes_[node].subtree_end = nodes_.size();
    open_.pop_back();
    if (!open_.empty()) open_.back().last_child = node;
  }

  void element(std::size_t depth) {
    depth_check(depth);
    const std::string name = raw_name(true);
    name_problems(name);
    std::vector<Item> items = attributes(name);
    scopes_.open();
    std::uint64_t kept = 0;
    for (const Item& item : items) {
      if (item.declaration) {
        if (!scopes_.declare(item.key, item.value)) problem(FailureKind::Syntax);
        continue;
      }
      if (++kept > options_.max_attributes) problem(FailureKind::MaxAttributesExceeded);
      if (item.raw.size() > options_.max_attribute_size) problem(FailureKind::MaxAttributeSizeExceeded);
    }
    static const char* const kGaps[] = {" ", "\n", "\t", "  ", "\r\n"};
    static const char* const kEquals[] = {"=", " = ", "\n=\t"};
    out_ += "<" + name;
    std::vector<std::pair<std::string, std::string>> rendered;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const Item& item = items[i];
      // No white space is needed after a closing quote.
      out_ += i > 0 && in_.chance(32) ? "" : in_.pick(kGaps);
      out_ += item.key;
      out_ += in_.chance(32) ? in_.pick(kEquals) : "=";
      out_ += item.quote + item.raw + item.quote;
      if (!item.declaration) rendered.emplace_back(scopes_.render(item.key, false), item.value);
    }
    if (in_.chance(16)) out_ += " ";
    begin_node(scopes_.render(name, true), std::move(rendered));
    const bool bare = name.empty() && items.empty() && out_.back() == '<';
    if (in_.chance(80) && !bare) {  // "</>" would be an end tag
      out_ += "/>";
    } else {
      out_ += ">";
      content(depth);
      out_ += "</" + name + (in_.chance(16) ? " \n>" : ">");
    }
    end_node();
    scopes_.close();
  }

  // `count` elements nested in one another, written without recursion.
  void chain(std::size_t depth) {
    std::size_t count = 1 + in_.below(40);
    const std::uint64_t limit = in_.chance(4) ? vorlane::NamespaceResolver::kMaxNesting : options_.max_depth;
    const std::size_t past = in_.below(3);  // up to two elements past the limit
    if (in_.chance(64) && limit < 70000 && limit + past > depth) count = static_cast<std::size_t>(limit + past - depth);
    if (count > 0) name_problems("d");
    for (std::size_t i = 0; i < count; ++i) {
      depth_check(depth + 1 + i);
      scopes_.open();
      out_ += "<d>";
      begin_node(scopes_.render("d", true), {});
    }
    if (in_.chance(128)) characters("t", "t");
    for (std::size_t i = 0; i < count; ++i) {
      out_ += "</d>";
      end_node();
      scopes_.close();
    }
  }

  void content(std::size_t depth) {
    for (std::size_t items = 0; !in_.empty() && !full() && items < 64; ++items) {
      const std::uint8_t b = in_.byte();
      if (b < 40) {
        const Piece& piece = in_.pick(kText);
        std::size_t times = in_.chance(8) ? in_.below(400) : 1;
        while (times-- > 0) characters(piece.written, piece.value);
      } else if (b < 60) {
        const Piece& piece = in_.pick(kTextReferences);
        characters(piece.written, piece.value);
      } else if (b < 62) {
        if (clean_) continue;
        out_ += in_.pick(kBadTextReferences);
        problem(FailureKind::Syntax);
      } else if (b < 64) {
        if (clean_) continue;
        out_ += in_.chance(128) ? "&foo;" : "&;";
        entity_problem();
      } else if (b < 74) {
        const std::string cdata = in_.pick(kCdata);
        out_ += "<![CDATA[";
        characters(cdata, cdata);
        out_ += "]]>";
      } else if (b < 84) {
        comment();
      } else if (b < 90) {
        out_ += in_.pick(kInstructions);
      } else if (b < 170) {
        if (depth < kMaxRecursion) element(depth + 1);
      } else if (b < 174) {
        chain(depth);
      } else if (b < 175) {
        doctype();
      } else {
        return;
      }
    }
  }

  // A few random edits: the invariants must still hold, the model no longer applies.
  void corrupt() {
    static const char* const kTokens[] = {"<", ">", "&", ";", "\"", "'", "/", "<!--", "-->", "<![CDATA[", "]]>",
                                          "<?", "?>", "]>", "=", ":", "xmlns:p='u' ", "\xc3", "\xff", "\0", " "};
    for (std::size_t n = 1 + in_.below(4); n > 0; --n) {
      const std::size_t at = in_.below(out_.size() + 1);
      switch (in_.below(3)) {
        case 0: out_.insert(at, in_.pick(kTokens)); break;
        case 1: out_.erase(at, 1 + in_.below(8)); break;
        default:
          if (at < out_.size()) out_[at] = static_cast<char>(in_.byte());
          break;
      }
    }
    corrupted_ = true;
  }

  fuzz::ByteReader& in_;
  const ParseOptions& options_;
  std::string out_;
  std::vector<ModelNode> nodes_;
  std::vector<Open> open_;
  Scopes scopes_;
  std::map<std::string, std::vector<std::string>> keys_by_tag_;
  static constexpr std::size_t kVocabulary = 4;
  std::vector<std::string> vocabulary_;
  std::uint64_t text_total_ = 0;
  std::set<FailureKind> problems_;
  bool clean_;
  bool corrupted_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteReader in(data, size);
  const ParseOptions options = fuzz::read_options(in);
  const bool clean = (in.byte() & 1) != 0;
  Generator generator(in, options, clean);
  const std::string document = generator.document();
  const ParseResult result = vorlane::parse_core(document.data(), document.size(), options);
  generator.check(result, fuzz::describe(result));
  return 0;
}
