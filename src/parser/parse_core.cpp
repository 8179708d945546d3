#include "parser/parse_core.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "doctype/doctype.h"
#include "parser/character_data.h"
#include "parser/keyed_hash.h"
#include "parser/name_table.h"
#include "parser/namespace_resolver.h"
#include "parser/references.h"
#include "parser/start_tag.h"
#include "parser/string_store.h"
#include "tokenizer/scan.h"
#include "tokenizer/xml_tokenizer.h"

namespace vorlane {

namespace {

// Kept out of the event loop: each is taken at most once per parse.
VORLANE_COLD MaybeFailure tokenizer_failure(TokenizerError&& error) {
  return ParseFailure::syntax(std::move(error.message));
}

VORLANE_COLD MaybeFailure junk_after_root() { return ParseFailure::syntax("Junk after document element"); }

constexpr std::size_t kArenaReserveThreshold = 256 * 1024;

// All state of one parse. Nothing here is shared with another parse.
class Driver {
 public:
  Driver(const char* data, std::size_t length, const ParseOptions& options, Document& doc, const HashKey& key)
      : options_(options), doc_(doc), tokenizer_(data, length), names_(doc, key), tags_(doc, names_) {
    doc_.input = std::string_view(data, length);
    names_.set_qualified_budget(NameTable::qualified_budget(length));
    // The arena holds joined text runs and unescaped values, which are never longer than the
    // input they come from, and rendered "{namespace}local" names, which the name budget
    // bounds. Reserving the input's size saves the regrowth copies (each into fresh pages)
    // in the usual case. Only for large inputs: the reservation is address space that stays
    // untouched until used.
    if (length >= kArenaReserveThreshold) doc_.arena.reserve(length);
  }

  MaybeFailure run();

  // The handler of XmlTokenizer::run_fast: false stops the parse with failure_.
  VORLANE_HOT_INLINE bool start_tag(std::string_view content, std::size_t name_length, std::uint8_t marks, bool empty) {
    return stop(start_element(content, name_length, marks, empty, nullptr));
  }
  // Out of line: tags with attributes cost more than the call, and the loop stays small.
  VORLANE_NOINLINE bool long_start_tag(const XmlEvent& tag) {
    return stop(start_element(tag.content, tag.name_length, tag.name_marks, tag.kind == XmlEventKind::EmptyTag,
                              tag.attributes));
  }
  VORLANE_HOT_INLINE bool end_tag() {
    end_element();
    return true;
  }
  VORLANE_HOT_INLINE bool text(std::string_view content) { return stop(character_data(content, true)); }

 private:
  VORLANE_HOT_INLINE MaybeFailure start_element(std::string_view content, std::size_t name_length, std::uint8_t marks,
                                                bool empty, const TagAttributes* attributes);
  // Reads and handles one event of those run_fast leaves; out of line, so that the hot
  // loop's function stays small. False when the parse ends: with failure_ set, or at the
  // end of the input without.
  VORLANE_NOINLINE bool slow_event();
  // False with `failure` kept when there is one; true otherwise.
  VORLANE_HOT_INLINE bool stop(MaybeFailure&& failure) {
    if (!failure) [[likely]] return true;
    failure_ = std::move(failure);
    return false;
  }
  VORLANE_HOT_INLINE void end_element();
  // After `node` completed, with open_ already its parent: the root slot is filled, or
  // character data goes to the node's tail.
  VORLANE_HOT_INLINE void place_completed(ElementNode& node) {
    if (open_ == kNoParent) {
      root_complete_ = true;
      text_target_ = nullptr;
    } else {
      text_target_ = &node.tail;
    }
  }
  // `in_input`: the chunk is known to lie in the input (text and CDATA events; the
  // tokenizer borrows them from it).
  MaybeFailure character_data(std::string_view chunk, bool in_input) {
    // The usual case, a first run for its target inside an element: borrowed from the input.
    const std::uint64_t max = options_.max_text_size;
    StringRef* const target = text_target_;
    if (target != nullptr && !target->present() && chunk.size() <= max && text_.total <= max - chunk.size() &&
        (in_input || points_into(doc_.input, chunk))) {
      text_.total += chunk.size();
      *target = StringRef{static_cast<std::size_t>(chunk.data() - doc_.input.data()), chunk.size(),
                          StringRef::Where::Input};
      return std::nullopt;
    }
    return append_character_data(chunk, doc_, target, root_complete_, text_, options_.max_text_size);
  }

  const ParseOptions& options_;
  Document& doc_;
  XmlTokenizer tokenizer_;
  NameTable names_;
  StartTagProcessor tags_;
  NamespaceResolver namespaces_;
  // The open elements form a chain through their nodes: while a node is open, its
  // subtree_end holds its parent's index (kNoParent for the root), and open_ is the
  // innermost one. Their number is namespaces_.nesting_level().
  static constexpr std::uint32_t kNoParent = 0xffffffffu;
  std::uint32_t open_ = kNoParent;
  // Where character data goes now: the innermost open element's text until its first child
  // completes, then that child's tail; null outside the root. A node push may move the
  // first node block, so it is set again after every push.
  StringRef* text_target_ = nullptr;
  bool root_complete_ = false;  // the root slot: nodes[0], once its element has closed
  CharacterDataState text_;
  std::string expansion_;
  MaybeFailure failure_;
};

VORLANE_HOT_INLINE MaybeFailure Driver::start_element(std::string_view content, std::size_t raw_name_length,
                                                     std::uint8_t marks, bool empty,
                                                     const TagAttributes* attributes) {
  // A second top-level element would replace the root; refuse it before anything else.
  if (open_ == kNoParent && root_complete_) return junk_after_root();
  const std::size_t name_length = raw_name_length < content.size() ? raw_name_length : content.size();
  const std::string_view raw_name = content.substr(0, name_length);
  if (raw_name.size() > options_.max_name_size) [[unlikely]] {
    return limit_failure(FailureKind::MaxNameSizeExceeded, options_.max_name_size);
  }
  const char* const input_end = doc_.input.data() + doc_.input.size();
  if ((marks & XmlEvent::kNameMayHoldNul) != 0 && scan::contains(raw_name, '\0', input_end)) {
    return null_byte_in_name_failure();
  }
  if (namespaces_.nesting_level() >= options_.max_depth) [[unlikely]] {
    return limit_failure(FailureKind::MaxDepthExceeded, options_.max_depth);
  }
  if (auto failure = attributes != nullptr ? namespaces_.open_scope(content.data(), *attributes)
                                           : namespaces_.open_scope(content, name_length, input_end)) {
    return failure;
  }
  const std::size_t index = doc_.nodes.size();
  if (index >= kMaxNodeIndex) [[unlikely]] throw std::bad_alloc();  // indices are 32-bit
  // Built in place: nothing reads the node before it is complete, and on a failure the
  // whole document is dropped.
  ElementNode& node = doc_.nodes.emplace_back();
  // Without a colon or a default namespace the raw name is the tag.
  const std::uint32_t raw_id = names_.intern_in_input(raw_name);
  node.tag = namespaces_.no_default_namespace() &&
                     ((marks & XmlEvent::kNameMayHoldColon) == 0 || !scan::contains(raw_name, ':', input_end))
                 ? raw_id
                 : tags_.render_element_name(namespaces_, raw_name, raw_id);
  if (node.tag == NameTable::kOverBudget) [[unlikely]] return tags_.over_budget();
  if (name_length < content.size()) {
    const std::size_t first = doc_.attributes.size();
    node.first_attribute = static_cast<std::uint32_t>(first);
    if (auto failure = tags_.process_attributes(namespaces_, content, name_length, raw_id, attributes, options_)) {
      return failure;
    }
    // first + count must stay a valid 32-bit index.
    if (doc_.attributes.size() > kMaxNodeIndex) [[unlikely]] throw std::bad_alloc();
    node.attribute_count = static_cast<std::uint32_t>(doc_.attributes.size() - first);
  } else {
    node.first_attribute = static_cast<std::uint32_t>(doc_.attributes.size());
  }
  if (empty) {
    namespaces_.close_scope();
    node.subtree_end = static_cast<std::uint32_t>(index + 1);
    place_completed(node);
  } else {
    node.subtree_end = open_;
    open_ = static_cast<std::uint32_t>(index);
    text_target_ = &node.text;
  }
  return std::nullopt;
}

VORLANE_HOT_INLINE void Driver::end_element() {
  // The tokenizer only reports an end tag that matches the innermost open start tag.
  if (open_ == kNoParent) return;
  namespaces_.close_scope();
  ElementNode& node = doc_.nodes[open_];
  open_ = node.subtree_end;
  node.subtree_end = static_cast<std::uint32_t>(doc_.nodes.size());
  place_completed(node);
}

MaybeFailure Driver::run() {
  while (tokenizer_.run_fast(*this) && slow_event()) {
  }
  return std::move(failure_);
}

bool Driver::slow_event() {
  XmlEvent event;
  if (auto error = tokenizer_.next_event(event)) return stop(tokenizer_failure(std::move(*error)));
  switch (event.kind) {
    case XmlEventKind::StartTag:
    case XmlEventKind::EmptyTag:
      return stop(start_element(event.content, event.name_length, event.name_marks,
                                event.kind == XmlEventKind::EmptyTag, event.attributes));
    case XmlEventKind::EndTag:
      end_element();
      return true;
    case XmlEventKind::Text:
    case XmlEventKind::Cdata:
      return stop(character_data(event.content, true));
    case XmlEventKind::Reference:
      expansion_.clear();
      if (auto failure = expand_reference(event.content, options_, expansion_)) return stop(std::move(failure));
      return stop(character_data(expansion_, false));
    case XmlEventKind::Comment:
      return stop(check_comment(event.content.size(), options_.max_comment_size));
    case XmlEventKind::Declaration:
    case XmlEventKind::Instruction:
      return true;
    case XmlEventKind::Doctype:
      // Same verdict as analysing then judging, without holding every declaration of a
      // possibly huge internal subset in memory.
      return stop(judge_doctype(event.content, options_));
    case XmlEventKind::EndOfInput:
      if (!root_complete_ || open_ != kNoParent) return stop(ParseFailure::syntax("No XML root element found"));
      return false;
  }
  return true;
}

void out_of_memory(ParseResult& result) noexcept {
  result.status = ParseResult::Status::OutOfMemory;
  result.failure.reset();
  result.document = Document{};
}

}  // namespace

ParseResult parse_core(const char* data, std::size_t length, const ParseOptions& options) noexcept {
  ParseResult result;
  try {
    const HashKey key = make_parse_hash_key(&result);
    Driver driver(data, length, options, result.document, key);
    if (auto failure = driver.run()) {
      result.status = ParseResult::Status::Failed;
      result.failure = std::move(failure);
      result.document = Document{};  // no partial tree leaves the core
    }
  } catch (const std::bad_alloc&) {
    out_of_memory(result);
  } catch (const std::length_error&) {  // a container asked for more than it can ever hold
    out_of_memory(result);
  }
  return result;
}

}  // namespace vorlane
