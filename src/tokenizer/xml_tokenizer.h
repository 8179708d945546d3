// Pull tokenizer over a byte buffer. It splits the input into markup and character data,
// finds where each construct ends, matches end tags against the open start tags, and checks
// that every delivered stretch is valid UTF-8.
//
// The input may come in pieces: until the last one (set_input with final = false), reaching
// the end inside a construct reports NeedMore and parks the construct at its start; the next
// piece resumes the search for its end where it stopped, so no byte is searched twice.
// Character data at the end is delivered as far as whole characters go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/inline_vector.h"
#include "common/utf8.h"
#include "common/white_space.h"
#include "tokenizer/scan.h"

namespace vorlane {

enum class XmlEventKind : std::uint8_t {
  StartTag,     // content: raw tag content between "<" and ">"; name_length: raw name length
  EndTag,       // content: end-tag name after "</", trailing whitespace removed
  EmptyTag,     // content: raw tag content without the final "/"; name_length as StartTag
  Text,         // content: character data as written, never empty
  Cdata,        // content: between "<![CDATA[" and "]]>" (may be empty)
  Comment,      // content: between "<!--" and "-->"
  Declaration,  // content: between "<?" and "?>"
  Instruction,  // content: between "<?" and "?>"; name_length: target length
  Doctype,      // content: from the first non-whitespace byte after the keyword to before the final ">"
  Reference,    // content: the bytes between "&" and ";" (may be empty)
  EndOfInput,
  NeedMore,     // not final: the input ends inside a construct; offset() is where it starts
  // Events only: a start tag cut one byte past the limit its name or a value passed; content
  // as StartTag up to the cut (the value, if any, open at its end). The driver refuses it.
  TagPastLimit,
  // Events only: as TagPastLimit, the tag cut just after the quote that opens the value past
  // its limit of values.
  TagPastCount,
  // Events only: an end tag whose name passed the start-tag name limit, cut one byte past it;
  // content: the name so far. The driver refuses it.
  EndTagPastLimit,
};

// One attribute of a tag as byte offsets into the tag content: the key, and the value
// between its quotes.
struct AttributeSpan {
  std::uint32_t key_begin;
  std::uint32_t key_end;
  std::uint32_t value_begin;
  std::uint32_t value_end;
};

// The attributes of a tag as the tokenizer read them: spans[0, count) in document order,
// bit i of `amp_mask` set when value i holds a "&", `may_declare` false when no key begins
// with "xmlns". Bit i of `suspect_mask` clear: value i holds no byte that strict mode looks
// at (see scan::suspect; TAB, LF and "<" too); set unless the strict reading looked.
struct TagAttributes {
  // Most attributes a tag may have for the tokenizer to read them.
  static constexpr std::uint32_t kMax = 32;
  std::uint32_t count = 0;
  std::uint32_t amp_mask = 0;
  bool may_declare = false;
  AttributeSpan spans[kMax];
  std::uint32_t suspect_mask = ~0u;
};

struct XmlEvent {
  // Bits of `name_marks`, for StartTag and EmptyTag: the raw name may hold a NUL byte / a
  // colon. A clear bit is a promise; a set one only means "look".
  static constexpr std::uint8_t kNameMayHoldNul = 1;
  static constexpr std::uint8_t kNameMayHoldColon = 2;

  XmlEventKind kind = XmlEventKind::EndOfInput;
  std::uint8_t name_marks = kNameMayHoldNul | kNameMayHoldColon;
  // For StartTag and EmptyTag: the attributes, when the tokenizer read them with the tag,
  // which it does for the usual shape of a tag with attributes (see
  // XmlTokenizer::quick_long_tag); else null, and the parser reads any from the content.
  // Valid until the next call.
  const TagAttributes* attributes = nullptr;
  std::string_view content;     // borrowed from the input; valid until the next call
  std::size_t name_length = 0;
};

struct TokenizerError {
  std::string message;  // the complete text, family prefix included
};

class XmlTokenizer {
 public:
  // Inline: a small document pays for the call.
  XmlTokenizer(const char* data, std::size_t size)
      : data_(data != nullptr ? data : ""), size_(data != nullptr ? size : 0) {}
  XmlTokenizer(const XmlTokenizer&) = delete;
  XmlTokenizer& operator=(const XmlTokenizer&) = delete;

  // The next piece of a streamed input: the buffer holds the bytes of the previous one from
  // `dropped` on (dropped <= offset()), then new ones. home_open_names() must have run since
  // the previous buffer was last read. `final`: nothing follows.
  void set_input(const char* data, std::size_t size, std::size_t dropped, bool final);

  // Events only: the longest comment (and processing instruction), stretch of character data
  // (text or CDATA), tag name and attribute value the parser accepts. A construct past
  // its limit is delivered cut one byte past it, so the driver refuses it whatever follows,
  // and its bytes beyond the limit are never needed: the outcome depends on where the limit
  // falls, not on how the input is cut. Unlimited by default, as for a whole document, where
  // a construct is judged once it is read.
  // `values`: the most quoted values a start tag may hold before it is cut (TagPastCount).
  void set_limits(std::uint64_t comment, std::uint64_t text, std::uint64_t name, std::uint64_t value,
                  std::uint64_t values) {
    comment_limit_ = bounded(comment);
    text_limit_ = bounded(text);
    name_limit_ = bounded(name);
    value_limit_ = bounded(value);
    values_limit_ = bounded(values);
    bound_tags_ = true;
  }

  // Events only: whether character data now lies outside the root element, where only white
  // space may stand. There a run is delivered cut just after its first other character (after
  // checking its bytes up to there), so that junk is refused where it starts, whatever follows.
  void set_outside_root(bool outside) { outside_root_ = outside; }

  // Copies the names of the open start tags that still point into the buffer to `store`,
  // so that the buffer may change. Costs only the names opened since the last call. The
  // caller keeps `store` for the tokenizer, alive and otherwise untouched, and passes the
  // same one each time: a whole input, never homed, needs none.
  void home_open_names(std::string& store);

  // Fills `event` and returns nothing, or returns the error; after an error or after
  // EndOfInput every further call yields EndOfInput.
  // The common constructs (text, start and end tags) are read inline; everything else
  // goes through next_event_slow.
  VORLANE_HOT_INLINE std::optional<TokenizerError> next_event(XmlEvent& event) {
    if (pos_ < fast_end_) [[likely]] {
      const char c = data_[pos_];
      if (c == '<') {
        const char d = data_[pos_ + 1];
        if (d == '/') return read_end_tag(event);
        if (d != '!' && d != '?') return read_tag(event);
      } else if (c != '&') {
        return read_text(event);
      }
    }
    event.content = {};
    event.name_length = 0;
    return next_event_slow(event);
  }

  // next_event after run_fast returned true: the construct that stopped it is one the quick
  // readings would not take either. A start tag (near the end of the input, or of an unusual
  // shape) is still read inline, which spares it the calls down to the general reading;
  // anything else goes there at once.
  VORLANE_HOT_INLINE std::optional<TokenizerError> next_event_after_fast(XmlEvent& event) {
    if (pos_ < fast_end_ && data_[pos_] == '<') {
      const char d = data_[pos_ + 1];
      if (d != '/' && d != '!' && d != '?') return read_tag(event);
    }
    event.content = {};
    event.name_length = 0;
    return next_event_slow(event);
  }

  // Reads the common constructs (text, start, empty and end tags) straight into `handler`
  // and returns at the first other construct, at the end of the input, or when a handler
  // call returns false (then false): next_event reads what follows. Anything unusual (a
  // tag of another shape than the quick readings take, an end tag that needs the general
  // match, bytes that are not UTF-8) also returns, so that next_event reads it, with the
  // same outcome. The handler gets start_tag(content, name_length, name_marks, empty) for
  // tags that end within 16 bytes without a quote, long_start_tag(const XmlEvent&) for
  // those quick_long_tag reads, end_tag() and text(content), with the meanings of the
  // fields of XmlEvent. Handler::kBoundsTags: true when set_limits was called (events).
  template <class Handler>
  VORLANE_HOT_INLINE bool run_fast(Handler& handler);

  // Reads a byte order mark, if the input has one and it was not read yet: offset() is then
  // where the first construct starts.
  void skip_byte_order_mark() {
    if (state_ == State::Init) read_byte_order_mark();
  }

  // Offset in the buffer of the next unread byte: after NeedMore, where the parked construct
  // starts; after an error, where the failing construct starts.
  std::size_t offset() const { return pos_; }

 private:
  // Init until the first request; InText while the next byte starts character data, markup
  // ("<") or a reference ("&"): one request reads one construct from pos_, so InMarkup and
  // InReference never outlast a call. Exit after an error or the end of input.
  enum class State : std::uint8_t { Init, InText, InReference, InMarkup, Exit };

  std::optional<TokenizerError> next_event_slow(XmlEvent& event);
  // next_event_slow for the construct parked by NeedMore, whose end search goes on.
  std::optional<TokenizerError> read_resumed(XmlEvent& event);
  void read_byte_order_mark();
  std::optional<TokenizerError> read_text(XmlEvent& event);
  std::optional<TokenizerError> read_text_resumed(XmlEvent& event);
  std::optional<TokenizerError> read_reference(XmlEvent& event);
  std::optional<TokenizerError> read_markup(XmlEvent& event);
  std::optional<TokenizerError> read_bang(XmlEvent& event);
  std::optional<TokenizerError> read_tag(XmlEvent& event);
  std::optional<TokenizerError> read_tag_general(XmlEvent& event);
  // Events: the start tag at pos_ searched with its name and values watched, so that one past
  // its limit is cut there (TagPastLimit) whether or not the rest of the tag is in the buffer.
  std::optional<TokenizerError> read_tag_bounded(XmlEvent& event);
  // The start or empty-element tag [pos_, gt] as an event; `quote_free`: no quote in it.
  void deliver_tag(XmlEvent& event, std::size_t gt, bool quote_free);
  // The start or empty-element tag at `lt` when it ends within 16 bytes without a quote;
  // see its definition. Position after it, or 0.
  std::size_t quick_short_tag(std::size_t lt, std::string_view& content, std::size_t& name_length,
                              std::uint8_t& marks, bool& empty);
  // The tag at `lt` in the usual shapes of tags with attributes or long names; see its
  // definition. Fills long_tag_ and returns the position after the tag, or 0. kBounded
  // (events): 0 also for a value past value_limit_, which read_tag_bounded cuts.
  // kNotes (strict mode): attributes_.suspect_mask is filled too.
  template <bool kBounded, bool kNotes = false>
  std::size_t quick_long_tag(std::size_t lt);
  template <bool kBounded, bool kNotes>
  std::size_t quick_attributes(const char* s, std::size_t i, unsigned& high_out);
  // The end tag at `lt` when it repeats the innermost open name exactly: pops the name and
  // returns the position after the tag, else 0.
  std::size_t quick_end_tag(std::size_t lt);
  // End of the character data at `pos`, or 0 when it is not valid UTF-8.
  std::size_t quick_text(std::size_t pos);
  std::optional<TokenizerError> read_end_tag(XmlEvent& event);
  std::optional<TokenizerError> read_end_tag_general(XmlEvent& event);
  std::optional<TokenizerError> read_instruction(XmlEvent& event);
  // Finds the ">" that ends a tag whose content starts at `from`, skipping quoted stretches;
  // `high` turns nonzero if the tag may hold a byte above 0x7F.
  std::optional<TokenizerError> find_tag_end(std::size_t from, std::size_t& gt, unsigned& high);
  // Finds the ">" that ends a DOCTYPE scanned from `from`; false at end of input, with
  // `from`, `phase` and `quote` where a later search resumes: inside a literal, comment,
  // processing instruction or declaration, the search goes on in it over new bytes only.
  bool find_doctype_end(std::size_t& from, std::uint8_t& phase, char& quote, std::size_t& gt) const;
  // Checks [begin, end) as UTF-8; the error index counts from `begin`.
  std::optional<TokenizerError> check_utf8(std::size_t begin, std::size_t end);
  TokenizerError fail(std::string message);
  // Not final: reports NeedMore for the construct at pos_, whose end search resumes from
  // `scan` with the given quote, high-byte and phase state.
  std::optional<TokenizerError> park(XmlEvent& event, std::size_t scan, char quote = 0, unsigned high = 0,
                                     std::uint8_t phase = 0);
  std::optional<TokenizerError> need_more(XmlEvent& event);
  // Not final, and [p, end) is a proper prefix of `opener` (ASCII letters of it matched
  // without case when `nocase`): the opener may still arrive.
  bool may_become(const char* p, std::string_view opener, bool nocase = false) const;
  // A limit as a length within any buffer: past half the address space, no limit at all.
  static std::size_t bounded(std::uint64_t limit) {
    return limit < (SIZE_MAX >> 2) ? static_cast<std::size_t>(limit) : SIZE_MAX >> 2;
  }
  // The construct at pos_ of `kind`, whose content starts at `content` and runs past `limit`:
  // delivered cut one byte past the limit, after its bytes so far are checked as UTF-8.
  std::optional<TokenizerError> cut_at_limit(XmlEvent& event, XmlEventKind kind, std::size_t content, std::size_t limit);
  // Outside the root, the text run at pos_ up to `stop`: true with `event` set when it is to be
  // delivered now (cut after its first character that is not white space), or parked (not
  // final, its white space so far checked); false to read it as usual.
  bool junk_outside_root(XmlEvent& event, std::size_t stop);

  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  State state_ = State::Init;
  bool final_ = true;
  bool outside_root_ = false;
  std::size_t comment_limit_ = SIZE_MAX >> 2;
  std::size_t text_limit_ = SIZE_MAX >> 2;
  std::size_t name_limit_ = SIZE_MAX >> 2;
  std::size_t value_limit_ = SIZE_MAX >> 2;
  std::size_t values_limit_ = SIZE_MAX >> 2;
  bool bound_tags_ = false;  // events: start tags go through read_tag_bounded
  // The end search of a construct parked by NeedMore, resumed by the next request.
  struct Resume {
    bool active = false;
    char quote = 0;          // an open quote of a tag or a DOCTYPE
    std::uint8_t phase = 0;  // of a DOCTYPE, or of a start tag read by read_tag_bounded
    unsigned high = 0;       // a byte above 0x7F was passed
    std::size_t scan = 0;    // where the search goes on
    std::size_t checked = 0;  // text outside the root: white space up to here; a bounded tag's open value: its start
    std::size_t values = 0;   // a bounded tag's quoted values so far
  };
  Resume resume_;
  // While the state is InText between calls: size_ - 1 (0 otherwise), so that one compare
  // tells next_event that data_[pos_] and data_[pos_ + 1] may be read on the fast path.
  std::size_t fast_end_ = 0;
  // Raw names of the open start tags, innermost last: in the input, or (streamed input, after
  // home_open_names) in its store: the homed names, bottom first, back to back, then 16
  // bytes that keep the block reads of equal_near inside the string.
  struct OpenName {
    const char* name;
    std::size_t length;
    bool plain;  // no quote character in the name: "</name>" can be matched by its bytes alone
  };
  InlineVector<OpenName, 32> open_names_;
  XmlEvent long_tag_;          // of the last quick_long_tag
  TagAttributes attributes_;   // of the last quick_long_tag
  std::string_view detected_encoding_;  // from a byte order mark; never used to decode
};

// ---- the hot readers, inline so the driver's loop does not pay a call per event

namespace tokenizer_detail {

// Bytes of `content` before its first whitespace byte. `readable_end` bounds what may be
// read (the input's end), which lets one 16-byte block settle the usual short name, and
// with it `marks` (XmlEvent::name_marks): whether the name holds a NUL byte or a colon.
VORLANE_HOT_INLINE std::size_t name_length(std::string_view content, const char* readable_end, std::uint8_t& marks) {
  const char* p = content.data();
  std::size_t n = 0;
  marks = XmlEvent::kNameMayHoldNul | XmlEvent::kNameMayHoldColon;
  if (readable_end - p >= 16) {
    const unsigned ws = scan::class_mask16<XmlSpace>(p) | (content.size() < 16 ? 1u << content.size() : 0u);
    if (ws != 0) {
      const unsigned length = static_cast<unsigned>(__builtin_ctz(ws));
      const unsigned inside = (1u << length) - 1u;
      marks = static_cast<std::uint8_t>(((scan::mask16<'\0'>(p) & inside) != 0 ? XmlEvent::kNameMayHoldNul : 0) |
                                        ((scan::mask16<':'>(p) & inside) != 0 ? XmlEvent::kNameMayHoldColon : 0));
      return length;
    }
    n = 16;
  }
  while (n < content.size() && !is_xml_space(content[n])) ++n;
  return n < content.size() ? n : content.size();
}

// `readable_end` bounds what may be read, as for name_length.
VORLANE_HOT_INLINE bool has_quote(std::string_view s, const char* readable_end) {
  if (s.size() <= 16 && readable_end - s.data() >= 16) {
    return (scan::mask16<'"', '\''>(s.data()) & scan::low_bits(s.size())) != 0;
  }
  for (char c : s) {
    if (c == '"' || c == '\'') return true;
  }
  return false;
}

}  // namespace tokenizer_detail


VORLANE_HOT_INLINE std::size_t XmlTokenizer::quick_text(std::size_t pos) {
  const char* const begin = data_ + pos;
  unsigned high = 0;
  const char* stop = scan::find_any<'<', '&'>(begin, data_ + size_, high);
  if (high != 0 && !utf8::validate(begin, static_cast<std::size_t>(stop - begin)).ok) return 0;
  return static_cast<std::size_t>(stop - data_);
}

VORLANE_HOT_INLINE std::optional<TokenizerError> XmlTokenizer::read_text(XmlEvent& event) {
  const char* const begin = data_ + pos_;
  std::size_t stop_pos = quick_text(pos_);
  if (stop_pos == 0) {
    unsigned high = 0;
    stop_pos = static_cast<std::size_t>(scan::find_any<'<', '&'>(begin, data_ + size_, high) - data_);
    if (outside_root_ && junk_outside_root(event, stop_pos)) return std::nullopt;
    if (stop_pos - pos_ > text_limit_) return cut_at_limit(event, XmlEventKind::Text, pos_, text_limit_);
    if (stop_pos == size_ && !final_) return park(event, size_, 0, high);
    if (auto error = check_utf8(pos_, stop_pos)) return error;
  } else if (outside_root_ && junk_outside_root(event, stop_pos)) [[unlikely]] {
    return std::nullopt;
  } else if (stop_pos - pos_ > text_limit_) [[unlikely]] {
    return cut_at_limit(event, XmlEventKind::Text, pos_, text_limit_);
  } else if (stop_pos == size_ && !final_) [[unlikely]] {
    // The run may go on in the next piece: it is delivered whole, as from a whole input.
    return park(event, size_);
  }
  event.kind = XmlEventKind::Text;
  event.content = std::string_view(begin, stop_pos - pos_);
  event.name_length = 0;
  pos_ = stop_pos;
  return std::nullopt;
}

// The attributes of quick_long_tag: from the white space at s[i], attributes up to the ">"
// or "/>" that ends the tag. Returns the offset of that ">" from s (never 0), or 0 for any
// other shape. Fills attributes_ and ORs the bytes above 0x7F it passes into `high_out`.
//
// Each attribute is read from the 16 bytes at its key, classified at once ("=", quotes,
// ">", "&", bytes up to 0x20 and above 0x7F): the key's end, the quote and, for a short
// value, the closing quote follow from those masks with bit operations, instead of one
// round of block compares per part, each waiting for the one before. A longer value is
// read on from the next block, whose address does not wait for the first.
template <bool kBounded, bool kNotes>
VORLANE_HOT_INLINE std::size_t XmlTokenizer::quick_attributes(const char* s, std::size_t i, unsigned& high_out) {
  const char* const end = data_ + size_;
  std::uint32_t count = 0;
  std::uint32_t amp_mask = 0;
  [[maybe_unused]] std::uint32_t suspect_mask = 0;
  unsigned high = 0;
  bool may_declare = false;
  for (;;) {
    // White space, a few bytes at most in any usual tag.
    if (end - (s + i) < 48) return 0;  // room for the white space, a block and a margin
    const std::size_t space_limit = i + 16;
    do {
      if (++i == space_limit) return 0;
    } while (is_xml_space(s[i]));
    if (s[i] == '>' || s[i] == '/') break;
    if (count == TagAttributes::kMax) return 0;
    // A key of up to 14 bytes, up to "=", with no byte up to 0x20, no ">" and no quote in
    // it, then a quote.
    const char* const key = s + i;
    const unsigned eq = scan::mask16<'='>(key);
    const unsigned dq = scan::mask16<'"'>(key);
    const unsigned sq = scan::mask16<'\''>(key);
    const std::size_t key_length = static_cast<std::size_t>(__builtin_ctz(eq | 0x8000u));
    const unsigned in_key = scan::low_bits(key_length);
    if (key_length == 0 || key_length == 15 ||
        ((scan::control_or_space_mask16(key) | scan::mask16<'>'>(key) | dq | sq) & in_key) != 0) {
      return 0;
    }
    const unsigned quote_bit = 2u << key_length;
    const unsigned quotes = (dq & quote_bit) != 0 ? dq : (sq & quote_bit) != 0 ? sq : 0u;
    if (quotes == 0) return 0;
    may_declare |= key_length >= 5 && std::memcmp(key, "xmlns", 5) == 0;
    // The value, up to the same quote: a short one within the same block.
    const std::size_t value = i + key_length + 2;
    const unsigned after_quote = ~scan::low_bits(key_length + 2);
    const unsigned closes = quotes & after_quote & 0xFFFFu;
    const unsigned amps = scan::mask16<'&'>(key);
    const unsigned highs = scan::high_mask16(key);
    std::size_t close;
    bool amp;
    [[maybe_unused]] unsigned suspects = 0;
    if constexpr (kNotes) suspects = scan::value_suspect_mask16(key);
    [[maybe_unused]] bool suspect = false;
    if (closes != 0) {
      const unsigned c = static_cast<unsigned>(__builtin_ctz(closes));
      close = i + c;
      amp = (amps & after_quote & scan::low_bits(c)) != 0;
      high |= highs & scan::low_bits(c);
      if constexpr (kNotes) suspect = (suspects & after_quote & scan::low_bits(c)) != 0;
    } else {
      amp = (amps & after_quote & 0xFFFFu) != 0;
      high |= highs;
      if constexpr (kNotes) suspect = (suspects & after_quote & 0xFFFFu) != 0;
      const char quote = key[key_length + 1];
      close = i + 16;
      for (;;) {
        if (end - (s + close) < 16) return 0;
        const unsigned found = scan::mask16_of(s + close, quote);
        const unsigned before = (found - 1) & ~found;  // all 16 bits without a quote
        amp = amp || (scan::mask16<'&'>(s + close) & before) != 0;
        high |= scan::high_mask16(s + close) & before;
        if constexpr (kNotes) suspect = suspect || (scan::value_suspect_mask16(s + close) & before) != 0;
        if (found != 0) {
          close += static_cast<std::size_t>(__builtin_ctz(found));
          break;
        }
        close += 16;
      }
    }
    if (close > 0x7fffffffu) return 0;  // offsets are 32-bit
    if constexpr (kBounded) {
      if (close - value > value_limit_) return 0;
    }
    attributes_.spans[count] = AttributeSpan{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i + key_length),
                                             static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(close)};
    if (amp) amp_mask |= 1u << count;
    if constexpr (kNotes) {
      if (suspect) suspect_mask |= 1u << count;
    }
    ++count;
    i = close + 1;
    // White space, ">" or "/>" must follow.
    if (end - (s + i) < 2) return 0;
    if (s[i] == '>' || s[i] == '/') break;
    if (!is_xml_space(s[i])) return 0;
  }
  if (s[i] == '/') {
    if (s[i + 1] != '>') return 0;
    ++i;
  }
  attributes_.count = count;
  attributes_.amp_mask = amp_mask;
  attributes_.suspect_mask = kNotes ? suspect_mask : ~0u;
  attributes_.may_declare = may_declare;
  high_out |= high;
  return i;
}

// The reading of a tag with quotes or longer than 16 bytes, out of line so that short
// tags stay cheap: a name of up to 63 bytes without quotes, then ">" or "/>", or white space
// and up to TagAttributes::kMax attributes `key="value"` or `key='value'`, each followed by
// white space, ">" or "/>", with keys of up to 14 bytes of which none is white space, a
// control byte, a quote or ">". For such a tag, the first ">" outside quotes (the tag's
// end) is the one the reading ends at, and the attributes are what the parser's own reading
// of the content would find. Fills long_tag_ and attributes_.
template <bool kBounded, bool kNotes>
VORLANE_NOINLINE inline std::size_t XmlTokenizer::quick_long_tag(std::size_t lt) {
  const char* const s = data_ + lt + 1;  // the content
  const char* const end = data_ + size_;
  // The name, up to white space or ">".
  std::size_t n = 0;
  unsigned high = 0;
  for (;;) {
    if (end - (s + n) < 16 || n == 64) return 0;
    const unsigned stop = scan::class_mask16<XmlSpace, '>'>(s + n);
    const unsigned in_block = (stop - 1) & ~stop;  // all 16 bits without a stop
    if ((scan::mask16<'"', '\''>(s + n) & in_block) != 0) return 0;
    high |= scan::high_mask16(s + n) & in_block;
    if (stop != 0) {
      n += static_cast<std::size_t>(__builtin_ctz(stop));
      break;
    }
    n += 16;
  }
  if (n == 0) return 0;
  const std::size_t gt = s[n] == '>' ? n : quick_attributes<kBounded, kNotes>(s, n, high);
  if (gt == 0) return 0;
  if (high != 0 && !utf8::validate(s - 1, gt + 2).ok) return 0;
  const bool empty = s[gt - 1] == '/';
  const std::size_t name_length = gt == n && empty ? n - 1 : n;  // "<name/>"
  const std::string_view name(s, name_length);
  long_tag_.kind = empty ? XmlEventKind::EmptyTag : XmlEventKind::StartTag;
  long_tag_.name_marks =
      static_cast<std::uint8_t>((scan::contains(name, '\0', end) ? XmlEvent::kNameMayHoldNul : 0) |
                                (scan::contains(name, ':', end) ? XmlEvent::kNameMayHoldColon : 0));
  long_tag_.content = std::string_view(s, empty ? gt - 1 : gt);
  long_tag_.name_length = name_length;
  long_tag_.attributes = gt == n ? nullptr : &attributes_;
  if (!empty) open_names_.push_back(OpenName{data_ + lt + 1, name_length, true});
  return lt + 1 + gt + 1;
}

// The start or empty-element tag at `lt` (a "<" not followed by "/", "!" or "?") in its
// usual shapes: ending within 16 bytes without a quote, or as quick_long_tag reads it. Fills
// `event` (for the short shape without `attributes`: the parser reads any itself), pushes
// the open name and returns the position after the tag's ">"; returns 0 for any other shape,
// or bytes that are not UTF-8, with nothing changed: the general reader then reads the tag
// with the same outcome.
VORLANE_HOT_INLINE std::size_t XmlTokenizer::quick_short_tag(std::size_t lt, std::string_view& content,
                                                             std::size_t& name_length, std::uint8_t& marks,
                                                             bool& empty) {
  const char* const p = data_ + lt + 1;
  const char* const end = data_ + size_;
  if (end - p < 16) return 0;
  const unsigned m_gt = scan::mask16<'>'>(p);
  const unsigned before = (m_gt - 1) & ~m_gt;  // bits below the first ">"
  if (m_gt == 0 || (scan::mask16<'"', '\''>(p) & before) != 0) return 0;
  const std::size_t gt = lt + 1 + static_cast<std::size_t>(__builtin_ctz(m_gt));
  if ((scan::high_mask16(p) & before) != 0 && !utf8::validate(data_ + lt, gt + 1 - lt).ok) return 0;
  content = std::string_view(p, gt - lt - 1);
  empty = !content.empty() && content.back() == '/';
  if (empty) content.remove_suffix(1);
  name_length = tokenizer_detail::name_length(content, end, marks);
  if (!empty) open_names_.push_back(OpenName{data_ + lt + 1, name_length, true});
  return gt + 1;
}

VORLANE_HOT_INLINE std::optional<TokenizerError> XmlTokenizer::read_tag(XmlEvent& event) {
  std::string_view content;
  std::size_t name_length;
  std::uint8_t marks;
  bool empty;
  std::size_t after = quick_short_tag(pos_, content, name_length, marks, empty);
  if (after != 0) {
    event.kind = empty ? XmlEventKind::EmptyTag : XmlEventKind::StartTag;
    event.name_marks = marks;
    event.attributes = nullptr;
    event.content = content;
    event.name_length = name_length;
  } else {
    after = bound_tags_ ? quick_long_tag<true>(pos_) : quick_long_tag<false>(pos_);
    if (after != 0) event = long_tag_;
  }
  if (after == 0) return bound_tags_ ? read_tag_bounded(event) : read_tag_general(event);
  pos_ = after;
  state_ = State::InText;
  return std::nullopt;
}

VORLANE_HOT_INLINE std::size_t XmlTokenizer::quick_end_tag(std::size_t lt) {
  // Its bytes were checked as part of the start tag, and without quotes in the name the
  // ">" right after it is the tag's end.
  if (open_names_.empty()) return 0;
  const OpenName& open = open_names_.back();
  const std::size_t name_at = lt + 2;
  if (!open.plain || open.length >= size_ - name_at || data_[name_at + open.length] != '>' ||
      !scan::equal_near(data_ + name_at, open.name, open.length, data_ + size_)) {
    return 0;
  }
  const std::size_t after = name_at + open.length + 1;
  open_names_.pop_back();
  return after;
}

VORLANE_HOT_INLINE std::optional<TokenizerError> XmlTokenizer::read_end_tag(XmlEvent& event) {
  const std::size_t after = quick_end_tag(pos_);
  if (after == 0) return read_end_tag_general(event);
  event.kind = XmlEventKind::EndTag;
  event.content = std::string_view(data_ + pos_ + 2, after - pos_ - 3);
  event.name_length = event.content.size();
  pos_ = after;
  state_ = State::InText;
  return std::nullopt;
}

template <class Handler>
VORLANE_HOT_INLINE bool XmlTokenizer::run_fast(Handler& handler) {
  const std::size_t fast_end = fast_end_;
  std::size_t pos = pos_;
  bool go_on = true;
  while (pos < fast_end) {
    const char c = data_[pos];
    if (c == '<') {
      const char d = data_[pos + 1];
      if (d == '/') {
        // As quick_end_tag.
        if (open_names_.empty()) break;
        const OpenName& open = open_names_.back();
        const std::size_t name_at = pos + 2;
        if (!open.plain || open.length >= size_ - name_at || data_[name_at + open.length] != '>' ||
            !scan::equal_near(data_ + name_at, open.name, open.length, data_ + size_)) {
          break;
        }
        pos = name_at + open.length + 1;
        open_names_.pop_back();
        go_on = handler.end_tag(data_ + name_at - 2);
      } else {
        if (d == '!' || d == '?') break;
        std::string_view content;
        std::size_t name_length;
        std::uint8_t marks;
        bool empty;
        std::size_t after = quick_short_tag(pos, content, name_length, marks, empty);
        if (after != 0) {
          pos = after;
          go_on = handler.start_tag(content, name_length, marks, empty);
        } else {
          // Tags with attributes, and long names: calls, which cost little beside them.
          after = quick_long_tag<Handler::kBoundsTags, Handler::kNotesSuspects>(pos);
          if (after == 0) break;
          pos = after;
          go_on = handler.long_start_tag(long_tag_);
        }
      }
    } else {
      // As quick_text; a run that reaches the end of a piece that is not the last is read by
      // read_text, which parks it.
      if (c == '&') break;
      unsigned high = 0;
      [[maybe_unused]] unsigned noted = 0;
      const char* const begin = data_ + pos;
      const char* stop;
      if constexpr (Handler::kNotesSuspects) {
        stop = scan::find_any_noting<'<', '&'>(begin, data_ + size_, high, noted);
      } else {
        stop = scan::find_any<'<', '&'>(begin, data_ + size_, high);
      }
      if ((stop == data_ + size_ && !final_) || static_cast<std::size_t>(stop - begin) > text_limit_ ||
          outside_root_) [[unlikely]] {
        break;
      }
      if (high != 0 && !utf8::validate(begin, static_cast<std::size_t>(stop - begin)).ok) break;
      const std::string_view text(begin, static_cast<std::size_t>(stop - begin));
      pos = static_cast<std::size_t>(stop - data_);
      if constexpr (Handler::kNotesSuspects) {
        go_on = handler.text(text, noted == 0);
      } else {
        go_on = handler.text(text);
      }
    }
    if (!go_on) [[unlikely]] break;
  }
  pos_ = pos;
  return go_on;
}

}  // namespace vorlane
