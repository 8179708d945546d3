// The document driver: pulls the tokenizer's events and applies the rules of the parser to
// them, for a whole input (a Document of nodes) or for an input in pieces (events, see
// event_stream.h). One set of rules for both: the two differ only where a construct is
// stored or reported, chosen at compile time so that the whole-document loop pays nothing.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/document.h"
#include "common/parse_failure.h"
#include "common/parse_options.h"
#include "doctype/doctype.h"
#include "parser/character_data.h"
#include "parser/keyed_hash.h"
#include "parser/name_table.h"
#include "parser/namespace_resolver.h"
#include "parser/references.h"
#include "parser/start_tag.h"
#include "parser/strict_rules.h"
#include "parser/string_store.h"
#include "tokenizer/scan.h"
#include "tokenizer/xml_tokenizer.h"

namespace vorlane {

// One event of an input read in pieces. Strings are Document::bytes references, valid until
// the next piece is fed.
struct StreamEvent {
  enum class Kind : std::uint8_t { Start, End, Data, Comment, Instruction, StartNs, EndNs, Doctype };
  Kind kind = Kind::Start;
  std::uint32_t name = 0;             // Start, End: the rendered tag's name id
  std::uint32_t raw_name = 0;         // Start, End: the tag's name id as written
  std::uint32_t first_attribute = 0;  // Start: Document::attributes[first_attribute, + attribute_count)
  std::uint32_t attribute_count = 0;
  StringRef text;   // Data, Comment: the content; Instruction: the target; StartNs, EndNs: the prefix
  StringRef value;  // Instruction: the data after the target's white space; StartNs: the namespace name
  std::uint64_t offset = 0;  // of the construct's first byte in the whole input
};

// The strings of the Doctype event, which an input has once at most: kept beside the events
// rather than in each of them. Valid as long as the event; absent parts are absent refs.
struct StreamDoctype {
  StringRef name;
  StringRef public_id;  // its white space normalised
  StringRef system_id;
  StringRef internal_subset;
};

namespace driver_detail {

// Kept out of the event loop: each is taken at most once per parse.
VORLANE_COLD inline MaybeFailure tokenizer_failure(TokenizerError&& error) {
  return ParseFailure::syntax(std::move(error.message));
}

VORLANE_COLD inline MaybeFailure junk_after_root() { return ParseFailure::syntax("Junk after document element"); }

constexpr std::size_t kArenaReserveThreshold = 256 * 1024;

// What only strict mode keeps: built by the first run() that reads strictly, so that a
// tolerant parse neither builds nor frees it.
struct StrictState {
  bool prolog_over = false;  // something other than a byte order mark was read
  bool doctype_seen = false;
  const char* fault_at = nullptr;        // where a refused construct's offending byte lies
  std::vector<std::uint8_t> name_kinds;  // by raw name id: 0 unchecked, 1 checked, 2 checked with a prefix
  strict::Buffers buffers;               // also lent to the namespaces and the start tags
};

// What only the driver of an input in pieces keeps; a whole-document driver holds none of it.
struct EventState {
  std::vector<StreamEvent>* events = nullptr;
  // Rendered and written tag ids of the open elements.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> open_tags;
  StringRef run;  // the character data since the last markup
  std::uint64_t run_at = 0;
  StreamDoctype doctype;
  std::string name_store;  // the tokenizer's open names once homed (XmlTokenizer::home_open_names)
  std::uint64_t failure_offset = 0;
  std::uint64_t base = 0;  // the whole input's offset of doc_.input[0]
};
struct NoEventState {};

}  // namespace driver_detail

// All state of one parse. Nothing here is shared with another parse. kEvents: the input
// comes in pieces and constructs are reported as StreamEvents, character data as one Data
// event per run between two pieces of markup (so max_text_size bounds each run).
template <bool kEvents>
class Driver {
 public:
  // A whole input, into `doc`. Inline: a small document pays for the call.
  VORLANE_HOT_INLINE Driver(const char* data, std::size_t length, const ParseOptions& options, Document& doc,
                            const HashKey& key)
      : options_(options), doc_(doc), tokenizer_(data, length), names_(doc, key), tags_(doc, names_) {
    static_assert(!kEvents);
    doc_.input = std::string_view(data, length);
    // The arena holds joined text runs and unescaped values, which are never longer than the
    // input they come from, and rendered "{namespace}local" names, which the name budget
    // bounds. Reserving the input's size saves the regrowth copies (each into fresh pages)
    // in the usual case. Only for large inputs: the reservation is address space that stays
    // untouched until used.
    if (length >= driver_detail::kArenaReserveThreshold) doc_.arena.reserve(length);
    namespaces_.set_options(options);
  }

  // An input in pieces: each is given with set_input, and run() reports what completes.
  Driver(const ParseOptions& options, Document& doc, const HashKey& key, std::vector<StreamEvent>& events)
      : options_(options), doc_(doc), tokenizer_(nullptr, 0), names_(doc, key), tags_(doc, names_) {
    static_assert(kEvents);
    ev_.events = &events;
    names_.copy_names();
    // Past max_attributes values, and the namespace bindings one scope may add besides (which
    // the count leaves out), a tag is refused by one of the two.
    const std::uint64_t values = options.max_attributes < (UINT64_MAX >> 1)
                                     ? options.max_attributes + NamespaceResolver::kDefaultMaxBindings + 1
                                     : UINT64_MAX;
    tokenizer_.set_limits(options.max_comment_size, options.max_text_size, options.max_name_size,
                          options.max_attribute_size, values);
    tokenizer_.set_outside_root(true);
    namespaces_.set_options(options);
  }

  // The buffer now holds the bytes of the previous one from `dropped` on, then new ones;
  // its first byte is byte `base` of the whole input.
  void set_input(std::string_view buffer, std::size_t dropped, std::uint64_t base, bool final) {
    doc_.input = buffer;
    ev_.base = base;
    names_.set_input_base(base);
    tokenizer_.set_input(buffer.data(), buffer.size(), dropped, final);
  }

  // Before the buffer changes: nothing kept may point into it.
  void release_input() {
    tokenizer_.home_open_names(ev_.name_store);
    tags_.forget_input();
    if (ev_.run.where() == StringRef::Where::Input) ev_.run = copy_to_arena(doc_, doc_.bytes(ev_.run));
  }

  // Where the parked construct starts in the buffer (after run() returned with no failure
  // and the input not final).
  std::size_t consumed() const { return tokenizer_.offset(); }

  // Bytes of the arena that must survive the next piece: the names and an unfinished run.
  template <class Keep>
  void keep_arena(Keep&& keep) {
    for (StringRef& name : doc_.names) keep(name);
    if (ev_.run.where() == StringRef::Where::Arena) keep(ev_.run);
  }

  MaybeFailure run();

  // Events: the parts of the last Doctype event.
  const StreamDoctype& doctype() const { return ev_.doctype; }

  // Where the failure that run() returned happened: the byte offset of the construct in the
  // whole input. Events only: the whole-document loop does not pay for it (a caller that wants
  // the place of a whole document's failure feeds the document as events).
  std::uint64_t failure_offset() const { return ev_.failure_offset; }

  // The handler of XmlTokenizer::run_fast: false stops the parse with failure_.
  static constexpr bool kBoundsTags = kEvents;
  static constexpr bool kNotesSuspects = false;
  VORLANE_HOT_INLINE bool start_tag(std::string_view content, std::size_t name_length, std::uint8_t marks, bool empty) {
    return stop(start_element<false>(content, name_length, marks, empty, nullptr), content.data() - 1);
  }
  // Out of line: tags with attributes cost more than the call, and the loop stays small.
  VORLANE_NOINLINE bool long_start_tag(const XmlEvent& tag) {
    return stop(start_element<false>(tag.content, tag.name_length, tag.name_marks,
                                     tag.kind == XmlEventKind::EmptyTag, tag.attributes),
                tag.content.data() - 1);
  }
  VORLANE_HOT_INLINE bool end_tag([[maybe_unused]] const char* lt) {
    end_element(lt);
    return true;
  }
  VORLANE_HOT_INLINE bool text(std::string_view content) {
    return stop(character_data(content, true, content.data()), content.data());
  }

 private:
  // The handler of run_fast in strict mode: the same steps with the strict checks, so that
  // the tolerant loop carries none of them.
  class StrictHandler {
   public:
    explicit StrictHandler(Driver& driver) : d_(driver) {}
    static constexpr bool kBoundsTags = kEvents;
    // The text scan tells whether a run holds a byte that needs the careful check.
    static constexpr bool kNotesSuspects = true;
    VORLANE_HOT_INLINE bool start_tag(std::string_view content, std::size_t name_length, std::uint8_t marks,
                                      bool empty) {
      d_.strict_->prolog_over = true;
      return d_.stop(d_.template start_element<true>(content, name_length, marks, empty, nullptr),
                     content.data() - 1);
    }
    VORLANE_NOINLINE bool long_start_tag(const XmlEvent& tag) {
      d_.strict_->prolog_over = true;
      return d_.stop(d_.template start_element<true>(tag.content, tag.name_length, tag.name_marks,
                                                     tag.kind == XmlEventKind::EmptyTag, tag.attributes),
                     tag.content.data() - 1);
    }
    VORLANE_HOT_INLINE bool end_tag(const char* lt) { return d_.end_tag(lt); }
    VORLANE_HOT_INLINE bool text(std::string_view content, bool plain) {
      d_.strict_->prolog_over = true;
      if (plain && d_.text_target_ != nullptr) [[likely]] {
        return d_.stop(d_.character_data(content, true, content.data()), content.data());
      }
      return d_.check_character_data(content, content.data(), false);
    }

   private:
    Driver& d_;
  };

  // run() in strict mode, out of line so that the tolerant loop stays as it is.
  VORLANE_NOINLINE MaybeFailure run_strict();
  template <bool kStrict>
  VORLANE_HOT_INLINE MaybeFailure start_element(std::string_view content, std::size_t name_length, std::uint8_t marks,
                                                bool empty, const TagAttributes* attributes);
  template <bool kStrict>
  MaybeFailure start_event(std::string_view content, std::size_t name_length, std::uint8_t marks, bool empty,
                           const TagAttributes* attributes);
  // The checks of a start tag before its scope opens, in their order: a second root, the
  // name's size, a NUL in the name, the depth.
  MaybeFailure refused_start(std::string_view raw_name, std::uint8_t marks, const char* input_end) {
    if (kEvents ? namespaces_.nesting_level() == 0 && root_complete_ : open_ == kNoParent && root_complete_) {
      return driver_detail::junk_after_root();
    }
    if (raw_name.size() > options_.max_name_size) [[unlikely]] {
      return limit_failure(FailureKind::MaxNameSizeExceeded, options_.max_name_size);
    }
    if ((marks & XmlEvent::kNameMayHoldNul) != 0 && scan::contains(raw_name, '\0', input_end)) {
      return null_byte_in_name_failure();
    }
    if (namespaces_.nesting_level() >= options_.max_depth) [[unlikely]] {
      return limit_failure(FailureKind::MaxDepthExceeded, options_.max_depth);
    }
    return std::nullopt;
  }
  // The tag's attributes, through the reading of the mode.
  template <bool kStrict>
  MaybeFailure tag_attributes(std::string_view content, std::size_t name_length, std::uint32_t raw_id,
                              const TagAttributes* read) {
    if constexpr (kStrict) {
      return tags_.process_attributes(namespaces_, content, name_length, raw_id, read, options_);
    } else {
      return tags_.tolerant_attributes(namespaces_, content, name_length, raw_id, read, options_);
    }
  }
  // Events: a start tag the tokenizer cut where its name, a value or its values passed a limit.
  MaybeFailure tag_past_limit(const XmlEvent& tag);
  // Reads and handles one event of those run_fast leaves; out of line, so that the hot
  // loop's function stays small. False when the parse ends: with failure_ set, or at the
  // end of the input without.
  template <bool kStrict>
  VORLANE_NOINLINE bool slow_event();
  // Strict mode: the rules of XML for the element name `raw_name` (id `raw_id`), rendered as
  // `tag`. Each name is checked once; whether its prefix is bound, at every tag.
  VORLANE_HOT_INLINE MaybeFailure strict_element_name(std::string_view raw_name, std::uint32_t raw_id,
                                                      std::uint32_t tag) {
    if (raw_id < strict_->name_kinds.size()) [[likely]] {
      const std::uint8_t kind = strict_->name_kinds[raw_id];
      if (kind == 1 || (kind == 2 && tag != raw_id)) [[likely]] return std::nullopt;
    }
    return check_element_name(raw_name, raw_id, tag);
  }
  VORLANE_NOINLINE MaybeFailure check_element_name(std::string_view raw_name, std::uint32_t raw_id, std::uint32_t tag);
  // Strict mode: a run of text or CDATA content checked, its line ends folded, then placed.
  // The usual run, plain text inside the root, goes straight on.
  VORLANE_HOT_INLINE bool strict_character_data(std::string_view chunk, const char* at, bool cdata) {
    if (text_target_ != nullptr && !cdata && strict::plain<']'>(chunk, doc_.input.data() + doc_.input.size()))
        [[likely]] {
      return stop(character_data(chunk, true, at), at);
    }
    return check_character_data(chunk, at, cdata);
  }
  VORLANE_NOINLINE bool check_character_data(std::string_view chunk, const char* at, bool cdata);
  // Strict mode: the checks of the constructs other than tags and text. False when the parse
  // stops, with failure_ set.
  VORLANE_NOINLINE bool strict_event(const XmlEvent& event, const char* at);
  // A refusal of strict mode, of the character at `at` in the input.
  VORLANE_COLD bool refuse(std::string message, const char* at) {
    keep_failure(ParseFailure::syntax(std::move(message)), at);
    return false;
  }
  // False with `failure` kept when there is one; true otherwise. `at`: where the construct
  // that failed starts, in the input.
  VORLANE_HOT_INLINE bool stop(MaybeFailure&& failure, const char* at) {
    if (!failure) [[likely]] return true;
    keep_failure(std::move(failure), at);
    return false;
  }
  VORLANE_COLD void keep_failure(MaybeFailure&& failure, [[maybe_unused]] const char* at) {
    failure_ = std::move(failure);
    // A strict refusal inside a tag names the offending byte instead of the tag.
    if (strict_ && strict_->fault_at != nullptr) at = strict_->fault_at;
    if (tags_.fault_at() != nullptr) at = tags_.fault_at();
    if constexpr (kEvents) ev_.failure_offset = offset_of(at);
  }
  std::uint64_t offset_of(const char* at) const {
    return ev_.base + static_cast<std::uint64_t>(at - doc_.input.data());
  }
  VORLANE_HOT_INLINE void end_element(const char* lt);
  bool element_open() const {
    if constexpr (kEvents) {
      return !ev_.open_tags.empty();
    } else {
      return open_ != kNoParent;
    }
  }
  // After `node` completed, with open_ already its parent: the root slot is filled, or
  // character data goes to the node's tail.
  VORLANE_HOT_INLINE void place_completed(ElementNode& node) {
    if (open_ == kNoParent) {
      root_complete_ = true;
      depth_limit_ = 0;
      text_target_ = nullptr;
    } else {
      text_target_ = &node.tail;
    }
  }
  // `in_input`: the chunk is known to lie in the input (text and CDATA events; the
  // tokenizer borrows them from it). `at`: where its construct starts in the input.
  MaybeFailure character_data(std::string_view chunk, bool in_input, [[maybe_unused]] const char* at) {
    if constexpr (kEvents) {
      if (text_target_ != nullptr && !ev_.run.present()) ev_.run_at = offset_of(at);
    }
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

  // Events: the character data run so far becomes a Data event, before the markup at `at`.
  void flush_text() {
    if (ev_.run.present()) {
      push(StreamEvent::Kind::Data).text = ev_.run;
      ev_.events->back().offset = ev_.run_at;
      ev_.run = StringRef{};
    }
    text_.total = 0;
  }
  StreamEvent& push(StreamEvent::Kind kind) {
    StreamEvent& event = ev_.events->emplace_back();
    event.kind = kind;
    return event;
  }
  // Events: the DOCTYPE at `at`, allowed, as a Doctype event.
  void report_doctype(std::string_view content, const char* at) {
    const DoctypeParts parts = doctype_parts(content);
    const auto stored = [&](const std::optional<std::string_view>& part) {
      return part ? store_string(doc_, *part) : StringRef{};
    };
    ev_.doctype.name = store_string(doc_, parts.name);
    ev_.doctype.public_id = parts.public_id ? copy_to_arena(doc_, normalized_public_id(*parts.public_id)) : StringRef{};
    ev_.doctype.system_id = stored(parts.system_id);
    ev_.doctype.internal_subset = stored(parts.internal_subset);
    flush_text();
    push(StreamEvent::Kind::Doctype).offset = offset_of(at);
  }
  // Events: the EndNs events of the innermost scope, which is about to close.
  void end_namespaces(std::uint64_t offset) {
    const std::size_t end = namespaces_.declarations_in_scope();
    for (std::size_t i = end; i-- > namespaces_.innermost_declarations();) {
      StreamEvent& event = push(StreamEvent::Kind::EndNs);
      event.text = copy_to_arena(doc_, namespaces_.declared_prefix(i));
      event.offset = offset;
    }
  }

  const ParseOptions options_;  // a copy: the hot loop reads its limits without reloading through a reference
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
  // first node block, so it is set again after every push. Events: ev_.run inside the root.
  StringRef* text_target_ = nullptr;
  bool root_complete_ = false;  // the root slot: nodes[0], once its element has closed
  // Whole documents: options_.max_depth, then 0 once the root has closed.
  std::uint64_t depth_limit_ = options_.max_depth;
  CharacterDataState text_;
  std::string expansion_;
  MaybeFailure failure_;
  // Strict mode only, built when the first run() reads strictly.
  std::optional<driver_detail::StrictState> strict_;
  // Events only; nothing in a whole-document driver.
  [[no_unique_address]] std::conditional_t<kEvents, driver_detail::EventState, driver_detail::NoEventState> ev_;
};

template <bool kEvents>
template <bool kStrict>
VORLANE_HOT_INLINE MaybeFailure Driver<kEvents>::start_element(std::string_view content, std::size_t raw_name_length,
                                                              std::uint8_t marks, bool empty,
                                                              const TagAttributes* attributes) {
  const std::size_t name_length = raw_name_length < content.size() ? raw_name_length : content.size();
  const std::string_view raw_name(content.data(), name_length);
  const char* const input_end = doc_.input.data() + doc_.input.size();
  if constexpr (kEvents) {
    if (auto failure = refused_start(raw_name, marks, input_end)) return failure;
  } else {
    // A second root meets a depth limit of 0 (see place_completed), so the usual tag pays
    // two comparisons for the three checks; the cold path tells them apart in their order.
    if (raw_name.size() > options_.max_name_size || namespaces_.nesting_level() >= depth_limit_) [[unlikely]] {
      return refused_start(raw_name, marks, input_end);
    }
    if ((marks & XmlEvent::kNameMayHoldNul) != 0 && scan::contains(raw_name, '\0', input_end)) {
      return null_byte_in_name_failure();
    }
  }
  if (auto failure = attributes != nullptr ? namespaces_.open_scope(content.data(), *attributes)
                                           : namespaces_.open_scope(content, name_length, input_end)) {
    return failure;
  }
  if constexpr (kEvents) {
    names_.set_tag_end(content.data() + content.size() + (empty ? 2 : 1));
    return start_event<kStrict>(content, name_length, marks, empty, attributes);
  } else {
    const std::size_t index = doc_.nodes.size();
    if (index >= kMaxNodeIndex) [[unlikely]] throw std::bad_alloc();  // indices are 32-bit
    // Without a colon or a default namespace the raw name is the tag.
    const std::uint32_t raw_id = names_.intern_in_input(raw_name);
    std::uint32_t tag = raw_id;
    // Only names that namespaces render are charged to the budget, which needs the tag's end.
    if (!namespaces_.no_default_namespace() ||
        ((marks & XmlEvent::kNameMayHoldColon) != 0 && scan::contains(raw_name, ':', input_end))) {
      names_.set_tag_end(content.data() + content.size() + (empty ? 2 : 1));
      tag = tags_.render_element_name(namespaces_, raw_name, raw_id);
      if (tag == NameTable::kOverBudget) [[unlikely]] return tags_.over_budget();
    }
    if constexpr (kStrict) {
      if (auto failure = strict_element_name(raw_name, raw_id, tag)) return failure;
    }
    const std::size_t first = doc_.attributes.size();
    std::uint32_t count = 0;
    if (name_length < content.size()) {
      names_.set_tag_end(content.data() + content.size() + (empty ? 2 : 1));
      if (auto failure = tag_attributes<kStrict>(content, name_length, raw_id, attributes)) {
        return failure;
      }
      // first + count must stay a valid 32-bit index.
      if (doc_.attributes.size() > kMaxNodeIndex) [[unlikely]] throw std::bad_alloc();
      count = static_cast<std::uint32_t>(doc_.attributes.size() - first);
    }
    // Written whole once its fields are known, not zeroed then filled.
    if (empty) {
      namespaces_.close_scope();
      ElementNode& node = doc_.nodes.push_back(ElementNode{tag, count, static_cast<std::uint32_t>(first),
                                                           static_cast<std::uint32_t>(index + 1), {}, {}});
      place_completed(node);
    } else {
      ElementNode& node =
          doc_.nodes.push_back(ElementNode{tag, count, static_cast<std::uint32_t>(first), open_, {}, {}});
      open_ = static_cast<std::uint32_t>(index);
      text_target_ = &node.text;
    }
    return std::nullopt;
  }
}

template <bool kEvents>
template <bool kStrict>
MaybeFailure Driver<kEvents>::start_event(std::string_view content, std::size_t name_length, std::uint8_t marks,
                                         bool empty, const TagAttributes* attributes) {
  const std::string_view raw_name = content.substr(0, name_length);
  const char* const input_end = doc_.input.data() + doc_.input.size();
  const std::uint32_t raw_id = names_.intern_in_input(raw_name);
  const std::uint32_t tag = namespaces_.no_default_namespace() &&
                                    ((marks & XmlEvent::kNameMayHoldColon) == 0 ||
                                     !scan::contains(raw_name, ':', input_end))
                                ? raw_id
                                : tags_.render_element_name(namespaces_, raw_name, raw_id);
  if (tag == NameTable::kOverBudget) [[unlikely]] return tags_.over_budget();
  if constexpr (kStrict) {
    if (auto failure = strict_element_name(raw_name, raw_id, tag)) return failure;
  }
  const std::size_t first = doc_.attributes.size();
  if (name_length < content.size()) {
    if (auto failure = tag_attributes<kStrict>(content, name_length, raw_id, attributes)) {
      return failure;
    }
    if (doc_.attributes.size() > kMaxNodeIndex) [[unlikely]] throw std::bad_alloc();
  }
  const std::uint64_t offset = offset_of(content.data() - 1);
  flush_text();
  for (std::size_t i = namespaces_.innermost_declarations(); i < namespaces_.declarations_in_scope(); ++i) {
    StreamEvent& event = push(StreamEvent::Kind::StartNs);
    event.text = copy_to_arena(doc_, namespaces_.declared_prefix(i));
    event.value = copy_to_arena(doc_, namespaces_.declared_namespace(i));
    event.offset = offset;
  }
  StreamEvent& start = push(StreamEvent::Kind::Start);
  start.name = tag;
  start.raw_name = raw_id;
  start.first_attribute = static_cast<std::uint32_t>(first);
  start.attribute_count = static_cast<std::uint32_t>(doc_.attributes.size() - first);
  start.offset = offset;
  if (empty) {
    StreamEvent& end = push(StreamEvent::Kind::End);
    end.name = tag;
    end.raw_name = raw_id;
    end.offset = offset;
    end_namespaces(offset);
    namespaces_.close_scope();
    if (namespaces_.nesting_level() == 0) {
      root_complete_ = true;
      text_target_ = nullptr;
    }
  } else {
    if (ev_.open_tags.empty()) tokenizer_.set_outside_root(false);
    ev_.open_tags.emplace_back(tag, raw_id);
    text_target_ = &ev_.run;
  }
  return std::nullopt;
}

// The checks of start_element and start_event in their order, on the tag up to the cut: the
// failure the whole tag would give at or before the cut, else that of the limit passed (a
// namespace declaration's value, which no limit bounds in a whole document, included).
template <bool kEvents>
MaybeFailure Driver<kEvents>::tag_past_limit(const XmlEvent& tag) {
  const std::string_view content = tag.content;
  const std::size_t name_length = tag.name_length;
  const std::string_view raw_name = content.substr(0, name_length);
  const char* const input_end = doc_.input.data() + doc_.input.size();
  if (namespaces_.nesting_level() == 0 && root_complete_) return driver_detail::junk_after_root();
  if (raw_name.size() > options_.max_name_size) {
    return limit_failure(FailureKind::MaxNameSizeExceeded, options_.max_name_size);
  }
  if (scan::contains(raw_name, '\0', input_end)) return null_byte_in_name_failure();
  if (namespaces_.nesting_level() >= options_.max_depth) {
    return limit_failure(FailureKind::MaxDepthExceeded, options_.max_depth);
  }
  // The value open at the cut is not closed, so the declarations read stop before it.
  if (auto failure = namespaces_.open_scope(content, name_length, input_end)) return failure;
  names_.set_tag_end(content.data() + content.size());
  const std::uint32_t raw_id = names_.intern_in_input(raw_name);
  if (tags_.render_element_name(namespaces_, raw_name, raw_id) == NameTable::kOverBudget) return tags_.over_budget();
  if (auto failure = tags_.process_attributes(namespaces_, content, name_length, raw_id, nullptr, options_, true)) {
    return failure;
  }
  if (tag.kind == XmlEventKind::TagPastCount) {
    return limit_failure(FailureKind::MaxAttributesExceeded, options_.max_attributes);
  }
  return limit_failure(FailureKind::MaxAttributeSizeExceeded, options_.max_attribute_size);
}

template <bool kEvents>
VORLANE_HOT_INLINE void Driver<kEvents>::end_element([[maybe_unused]] const char* lt) {
  if constexpr (kEvents) {
    if (ev_.open_tags.empty()) return;
    const std::uint64_t offset = offset_of(lt);
    flush_text();
    StreamEvent& end = push(StreamEvent::Kind::End);
    end.name = ev_.open_tags.back().first;
    end.raw_name = ev_.open_tags.back().second;
    end.offset = offset;
    ev_.open_tags.pop_back();
    end_namespaces(offset);
    namespaces_.close_scope();
    if (ev_.open_tags.empty()) {
      root_complete_ = true;
      text_target_ = nullptr;
      tokenizer_.set_outside_root(true);
    }
  } else {
    // The tokenizer only reports an end tag that matches the innermost open start tag.
    if (open_ == kNoParent) return;
    namespaces_.close_scope();
    ElementNode& node = doc_.nodes[open_];
    open_ = node.subtree_end;
    node.subtree_end = static_cast<std::uint32_t>(doc_.nodes.size());
    place_completed(node);
  }
}

template <bool kEvents>
MaybeFailure Driver<kEvents>::run() {
  if (options_.strict) [[unlikely]] return run_strict();
  // Before the loop, so that a first tag or text is read by run_fast as any other.
  tokenizer_.skip_byte_order_mark();
  while (tokenizer_.run_fast(*this) && slow_event<false>()) {
  }
  return std::move(failure_);
}

template <bool kEvents>
MaybeFailure Driver<kEvents>::run_strict() {
  if (!strict_) {
    strict_.emplace();
    namespaces_.read_strictly(strict_->buffers);
    tags_.read_strictly(strict_->buffers);
  }
  StrictHandler strict(*this);
  tokenizer_.skip_byte_order_mark();
  while (tokenizer_.run_fast(strict) && slow_event<true>()) {
  }
  return std::move(failure_);
}

template <bool kEvents>
MaybeFailure Driver<kEvents>::check_element_name(std::string_view raw_name, std::uint32_t raw_id, std::uint32_t tag) {
  if (raw_id >= strict_->name_kinds.size()) strict_->name_kinds.resize(std::size_t{raw_id} + 1, 0);
  std::uint8_t& kind = strict_->name_kinds[raw_id];
  if (kind == 0) [[unlikely]] {
    if (auto fault = strict::check_qualified_name(raw_name, "element")) {
      strict_->fault_at = raw_name.data() + fault->at;
      return ParseFailure::syntax(std::move(fault->message));
    }
    const bool prefixed = raw_name.find(':') != std::string_view::npos;
    if (prefixed && raw_name.substr(0, 6) == "xmlns:") {
      strict_->fault_at = raw_name.data();
      return ParseFailure::syntax("not well-formed: the prefix 'xmlns' is not allowed on an element");
    }
    kind = prefixed ? 2 : 1;
  }
  // A prefixed name that rendering left as written has a prefix bound nowhere.
  if (kind == 2 && tag == raw_id) [[unlikely]] {
    strict_->fault_at = raw_name.data();
    return ParseFailure::syntax("not well-formed: undeclared namespace prefix '" +
                                std::string(raw_name.substr(0, raw_name.find(':'))) + "'");
  }
  return std::nullopt;
}

template <bool kEvents>
bool Driver<kEvents>::check_character_data(std::string_view chunk, const char* at, bool cdata) {
  const char* const readable_end = doc_.input.data() + doc_.input.size();
  if (text_target_ == nullptr) {
    // Outside the root element only XML white space may stand, and no CDATA section.
    std::size_t bad = 0;
    if (cdata) return refuse("not well-formed: CDATA section outside the root element", at);
    if (!strict::xml_space_only(chunk, bad)) {
      return refuse(root_complete_ ? "Junk after document element" : "Content before document element",
                    chunk.data() + bad);
    }
    return stop(character_data(chunk, true, at), at);
  }
  if (cdata ? strict::plain<>(chunk, readable_end) : strict::plain<']'>(chunk, readable_end)) [[likely]] {
    return stop(character_data(chunk, true, at), at);
  }
  bool has_cr = false;
  if (auto fault = strict::check_text(chunk, cdata, has_cr)) return refuse(std::move(fault->message), chunk.data() + fault->at);
  if (!has_cr) return stop(character_data(chunk, true, at), at);
  // The limit holds for the run as written: a run cut one byte past it must fail, folded or not.
  const std::uint64_t max = options_.max_text_size;
  if (chunk.size() > max || text_.total > max - chunk.size()) {
    return stop(limit_failure(FailureKind::MaxTextSizeExceeded, max), at);
  }
  strict_->buffers.text.clear();
  strict::fold_line_ends(chunk, strict_->buffers.text);
  return stop(character_data(strict_->buffers.text, false, at), at);
}

template <bool kEvents>
bool Driver<kEvents>::strict_event(const XmlEvent& event, const char* at) {
  const std::string_view content = event.content;
  const auto refuse_fault = [&](strict::Fault&& fault) { return refuse(std::move(fault.message), content.data() + fault.at); };
  const bool first = !strict_->prolog_over;
  strict_->prolog_over = true;
  bool has_cr = false;
  switch (event.kind) {
    case XmlEventKind::Reference:
      if (text_target_ == nullptr) return refuse("not well-formed: reference outside the root element", at);
      if (auto fault = strict::check_reference(content)) return refuse(std::move(fault->message), at);
      return true;
    case XmlEventKind::Comment:
      if (auto fault = strict::check_comment(content, has_cr)) return refuse_fault(std::move(*fault));
      break;
    case XmlEventKind::Instruction:
      if (auto fault = strict::check_instruction(content, event.name_length, has_cr)) {
        return refuse_fault(std::move(*fault));
      }
      break;
    case XmlEventKind::Declaration:
      if (!first) return refuse("not well-formed: XML declaration not at the start of the document", at);
      if (auto fault = strict::check_declaration(content)) return refuse_fault(std::move(*fault));
      return true;
    case XmlEventKind::Doctype:
      if (strict_->doctype_seen || root_complete_ || namespaces_.nesting_level() > 0) {
        return refuse("not well-formed: a DOCTYPE is allowed only once, before the root element", at);
      }
      strict_->doctype_seen = true;
      if (std::string_view(at, 9) != "<!DOCTYPE") return refuse("not well-formed: the keyword is 'DOCTYPE'", at + 2);
      return true;
    default:
      return true;
  }
  // Comments and instructions: their data is reported with its line ends folded.
  if (has_cr) {
    strict_->buffers.text.clear();
    strict::fold_line_ends(content, strict_->buffers.text);
  }
  return true;
}

template <bool kEvents>
template <bool kStrict>
bool Driver<kEvents>::slow_event() {
  XmlEvent event;
  // Past a byte order mark (run() read it, unless too few bytes have come to tell).
  const char* const at = doc_.input.data() + tokenizer_.offset();
  if (auto error = tokenizer_.next_event_after_fast(event)) {
    return stop(driver_detail::tokenizer_failure(std::move(*error)), doc_.input.data() + tokenizer_.offset());
  }
  if constexpr (kStrict) {
    switch (event.kind) {
      case XmlEventKind::StartTag:
      case XmlEventKind::EmptyTag:
        strict_->prolog_over = true;
        return stop(start_element<true>(event.content, event.name_length, event.name_marks,
                                        event.kind == XmlEventKind::EmptyTag, event.attributes),
                    at);
      case XmlEventKind::Text:
      case XmlEventKind::Cdata:
        strict_->prolog_over = true;
        return strict_character_data(event.content, at, event.kind == XmlEventKind::Cdata);
      case XmlEventKind::EndTag:
      case XmlEventKind::EndOfInput:
      case XmlEventKind::NeedMore:
        break;
      default:
        strict_->buffers.text.clear();
        if (!strict_event(event, at)) return false;
        break;
    }
  }
  switch (event.kind) {
    case XmlEventKind::StartTag:
    case XmlEventKind::EmptyTag:
      return stop(start_element<false>(event.content, event.name_length, event.name_marks,
                                event.kind == XmlEventKind::EmptyTag, event.attributes),
                  at);
    case XmlEventKind::EndTag:
      end_element(at);
      return true;
    case XmlEventKind::Text:
    case XmlEventKind::Cdata:
      return stop(character_data(event.content, true, at), at);
    case XmlEventKind::Reference:
      expansion_.clear();
      if (auto failure = expand_reference(event.content, options_, expansion_)) return stop(std::move(failure), at);
      return stop(character_data(expansion_, false, at), at);
    case XmlEventKind::Comment:
      if (auto failure = check_comment(event.content.size(), options_.max_comment_size)) {
        return stop(std::move(failure), at);
      }
      if constexpr (kEvents) {
        flush_text();
        StreamEvent& comment = push(StreamEvent::Kind::Comment);
        comment.text = kStrict && !strict_->buffers.text.empty() ? copy_to_arena(doc_, strict_->buffers.text)
                                                                 : store_string(doc_, event.content);
        comment.offset = offset_of(at);
      }
      return true;
    case XmlEventKind::TagPastLimit:
    case XmlEventKind::TagPastCount:
      if constexpr (kEvents) return stop(tag_past_limit(event), at);
      return true;
    case XmlEventKind::EndTagPastLimit:
      return stop(limit_failure(FailureKind::MaxNameSizeExceeded, options_.max_name_size), at);
    case XmlEventKind::Declaration:
      return true;
    case XmlEventKind::Instruction:
      if constexpr (kEvents) {
        // Cut by the tokenizer one byte past the limit when longer.
        if (event.content.size() > options_.max_comment_size) {
          return stop(ParseFailure::limit_exceeded(FailureKind::MaxInstructionSizeExceeded, options_.max_comment_size),
                      at);
        }
        flush_text();
        StreamEvent& instruction = push(StreamEvent::Kind::Instruction);
        const std::string_view whole =
            kStrict && !strict_->buffers.text.empty() ? std::string_view(strict_->buffers.text) : event.content;
        const std::string_view target = whole.substr(0, event.name_length);
        std::string_view data = whole.substr(target.size());
        while (!data.empty() && is_xml_space(data.front())) data.remove_prefix(1);
        instruction.text = store_string(doc_, target);
        instruction.value = store_string(doc_, data);
        instruction.offset = offset_of(at);
      }
      return true;
    case XmlEventKind::Doctype:
      // Same verdict as analysing then judging, without holding every declaration of a
      // possibly huge internal subset in memory.
      if (auto failure = judge_doctype(event.content, options_)) return stop(std::move(failure), at);
      if constexpr (kEvents) report_doctype(event.content, at);
      return true;
    case XmlEventKind::EndOfInput:
      if (!root_complete_ || element_open()) {
        return stop(ParseFailure::syntax("No XML root element found"), doc_.input.data() + doc_.input.size());
      }
      return false;
    case XmlEventKind::NeedMore:
      return false;
  }
  return true;
}

}  // namespace vorlane
