// Pull tokenizer over one immutable byte buffer. It splits the input into markup and
// character data, finds where each construct ends, matches end tags against the open
// start tags, and checks that every delivered stretch is valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/inline_stack.h"
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
};

struct XmlEvent {
  // Bits of `name_marks`, for StartTag and EmptyTag: the raw name may hold a NUL byte / a
  // colon. A clear bit is a promise; a set one only means "look".
  static constexpr std::uint8_t kNameMayHoldNul = 1;
  static constexpr std::uint8_t kNameMayHoldColon = 2;

  XmlEventKind kind = XmlEventKind::EndOfInput;
  std::uint8_t name_marks = kNameMayHoldNul | kNameMayHoldColon;
  std::string_view content;     // borrowed from the input; valid until the next call
  std::size_t name_length = 0;
};

struct TokenizerError {
  std::string message;  // the complete text, family prefix included
};

class XmlTokenizer {
 public:
  XmlTokenizer(const char* data, std::size_t size);

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

  // Reads the common constructs (text, start, empty and end tags) straight into `handler`
  // and returns at the first other construct, at the end of the input, or when a handler
  // call returns false (then false): next_event reads what follows. Anything unusual (a
  // tag that does not end within 16 bytes, an end tag that needs the general match, bytes
  // that are not UTF-8) also returns, so that next_event reads it, with the same outcome.
  // The handler gets start_tag(content, name_length, name_marks, empty), end_tag() and
  // text(content), with the meanings of the fields of XmlEvent.
  template <class Handler>
  VORLANE_HOT_INLINE bool run_fast(Handler& handler);

  // Byte offset of the next unread input byte (diagnostics only).
  std::size_t offset() const { return pos_; }

 private:
  // Init until the first request; InText while the next byte starts character data, markup
  // ("<") or a reference ("&"): one request reads one construct from pos_, so InMarkup and
  // InReference never outlast a call. Exit after an error or the end of input.
  enum class State : std::uint8_t { Init, InText, InReference, InMarkup, Exit };

  std::optional<TokenizerError> next_event_slow(XmlEvent& event);
  std::optional<TokenizerError> read_text(XmlEvent& event);
  std::optional<TokenizerError> read_reference(XmlEvent& event);
  std::optional<TokenizerError> read_markup(XmlEvent& event);
  std::optional<TokenizerError> read_bang(XmlEvent& event);
  std::optional<TokenizerError> read_tag(XmlEvent& event);
  std::optional<TokenizerError> read_end_tag(XmlEvent& event);
  std::optional<TokenizerError> read_end_tag_general(XmlEvent& event);
  std::optional<TokenizerError> read_instruction(XmlEvent& event);
  // Finds the ">" that ends a tag whose content starts at `from`, skipping quoted stretches;
  // `high` turns nonzero if the tag may hold a byte above 0x7F.
  std::optional<TokenizerError> find_tag_end(std::size_t from, std::size_t& gt, unsigned& high);
  // Finds the ">" that ends a DOCTYPE scanned from `from`; false at end of input.
  bool find_doctype_end(std::size_t from, std::size_t& gt) const;
  // Checks [begin, end) as UTF-8; the error index counts from `begin`.
  std::optional<TokenizerError> check_utf8(std::size_t begin, std::size_t end);
  TokenizerError fail(std::string message);

  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  State state_ = State::Init;
  // While the state is InText between calls: size_ - 1 (0 otherwise), so that one compare
  // tells next_event that data_[pos_] and data_[pos_ + 1] may be read on the fast path.
  std::size_t fast_end_ = 0;
  // Raw names of the open start tags, innermost last: offsets into the input.
  struct OpenName {
    std::size_t offset;
    std::size_t length;
    bool plain;  // no quote character in the name: "</name>" can be matched by its bytes alone
  };
  InlineStack<OpenName, 32> open_names_;
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

template <class Handler>
VORLANE_HOT_INLINE bool XmlTokenizer::run_fast(Handler& handler) {
  const char* const data = data_;
  const char* const end = data_ + size_;
  const std::size_t fast_end = fast_end_;
  std::size_t pos = pos_;
  bool go_on = true;
  while (pos < fast_end) {
    const char c = data[pos];
    if (c == '<') {
      const char d = data[pos + 1];
      if (d == '/') {
        // As read_end_tag's usual case.
        if (open_names_.empty()) break;
        const OpenName& open = open_names_.back();
        const std::size_t name_at = pos + 2;
        if (!open.plain || open.length >= size_ - name_at || data[name_at + open.length] != '>' ||
            !scan::equal_near(data + name_at, data + open.offset, open.length, end)) {
          break;
        }
        pos = name_at + open.length + 1;
        open_names_.pop_back();
        go_on = handler.end_tag();
      } else {
        // As read_tag's usual case, a tag that ends within 16 bytes without a quote.
        if (d == '!' || d == '?') break;
        const char* const p = data + pos + 1;
        if (end - p < 16) break;
        const unsigned m_gt = scan::mask16<'>'>(p);
        const unsigned before = (m_gt - 1) & ~m_gt;
        if (m_gt == 0 || (scan::mask16<'"', '\''>(p) & before) != 0) break;
        const std::size_t gt = pos + 1 + static_cast<std::size_t>(__builtin_ctz(m_gt));
        if ((scan::high_mask16(p) & before) != 0 && !utf8::validate(data + pos, gt + 1 - pos).ok) break;
        std::string_view content(p, gt - pos - 1);
        const bool empty = !content.empty() && content.back() == '/';
        if (empty) content.remove_suffix(1);
        std::uint8_t marks;
        const std::size_t name_length = tokenizer_detail::name_length(content, end, marks);
        if (!empty) open_names_.push_back(OpenName{pos + 1, name_length, true});
        pos = gt + 1;
        go_on = handler.start_tag(content, name_length, marks, empty);
      }
    } else {
      if (c == '&') break;
      unsigned high = 0;
      const char* stop = scan::find_any<'<', '&'>(data + pos, end, high);
      if (high != 0 && !utf8::validate(data + pos, static_cast<std::size_t>(stop - (data + pos))).ok) break;
      const std::string_view text(data + pos, static_cast<std::size_t>(stop - (data + pos)));
      pos = static_cast<std::size_t>(stop - data);
      go_on = handler.text(text);
    }
    if (!go_on) [[unlikely]] break;
  }
  pos_ = pos;
  return go_on;
}

VORLANE_HOT_INLINE std::optional<TokenizerError> XmlTokenizer::read_text(XmlEvent& event) {
  const char* const begin = data_ + pos_;
  const char* const end = data_ + size_;
  unsigned high = 0;
  const char* stop = scan::find_any<'<', '&'>(begin, end, high);
  const auto stop_pos = static_cast<std::size_t>(stop - data_);
  if (high != 0) {
    if (auto error = check_utf8(pos_, stop_pos)) return error;
  }
  event.kind = XmlEventKind::Text;
  event.content = std::string_view(begin, static_cast<std::size_t>(stop - begin));
  event.name_length = 0;
  pos_ = stop_pos;
  return std::nullopt;
}

VORLANE_HOT_INLINE std::optional<TokenizerError> XmlTokenizer::read_tag(XmlEvent& event) {
  const std::size_t lt = pos_;
  const char* const p = data_ + lt + 1;
  const char* const end = data_ + size_;
  std::size_t gt = 0;
  unsigned high = 0;
  bool quote_free = false;  // no quote character anywhere in the tag
  bool found = false;
  if (end - p >= 16) {
    // Most tags end within 16 bytes without a quote before their ">".
    const unsigned m_gt = scan::mask16<'>'>(p);
    const unsigned before = (m_gt - 1) & ~m_gt;  // bits below the first ">"
    if (m_gt != 0 && (scan::mask16<'"', '\''>(p) & before) == 0) {
      gt = lt + 1 + static_cast<std::size_t>(__builtin_ctz(m_gt));
      high = scan::high_mask16(p) & before;
      quote_free = true;
      found = true;
    }
  }
  if (!found && end - p >= 32) {
    // Most others end within 32 bytes, with at most one kind of quote before their ">": then
    // the quoted stretches follow from the running parity of that quote's bits.
    const unsigned m_gt = scan::mask16<'>'>(p) | (scan::mask16<'>'>(p + 16) << 16);
    if (m_gt != 0) {
      const unsigned m_dq = scan::mask16<'"'>(p) | (scan::mask16<'"'>(p + 16) << 16);
      const unsigned m_sq = scan::mask16<'\''>(p) | (scan::mask16<'\''>(p + 16) << 16);
      if (m_dq == 0 || m_sq == 0) {
        const unsigned outside_gt = m_gt & ~scan::prefix_xor32(m_dq | m_sq);
        if (outside_gt != 0) {
          const unsigned upto = outside_gt ^ (outside_gt - 1);  // bits up to the ">"
          gt = lt + 1 + static_cast<std::size_t>(__builtin_ctz(outside_gt));
          high = (scan::high_mask16(p) | (scan::high_mask16(p + 16) << 16)) & upto;
          quote_free = ((m_dq | m_sq) & upto) == 0;
          found = true;
        }
      }
    }
  }
  if (!found) {
    if (auto error = find_tag_end(lt + 1, gt, high)) return error;
  }
  if (high != 0) {
    if (auto error = check_utf8(lt, gt + 1)) return error;
  }
  std::string_view content(p, gt - lt - 1);
  const bool empty = !content.empty() && content.back() == '/';
  if (empty) content.remove_suffix(1);
  std::uint8_t marks;
  const std::size_t name_length = tokenizer_detail::name_length(content, end, marks);
  event.name_marks = marks;
  event.name_length = name_length;
  event.content = content;
  if (empty) {
    event.kind = XmlEventKind::EmptyTag;
  } else {
    event.kind = XmlEventKind::StartTag;
    const bool plain = quote_free || !tokenizer_detail::has_quote(content.substr(0, name_length), end);
    open_names_.push_back(OpenName{lt + 1, name_length, plain});
  }
  pos_ = gt + 1;
  state_ = State::InText;
  return std::nullopt;
}

VORLANE_HOT_INLINE std::optional<TokenizerError> XmlTokenizer::read_end_tag(XmlEvent& event) {
  // "</name>" with exactly the innermost open name: its bytes were checked as part of the
  // start tag, and without quotes in the name the ">" right after it is the tag's end.
  if (!open_names_.empty()) {
    const OpenName open = open_names_.back();
    const std::size_t name_at = pos_ + 2;
    if (open.plain && open.length < size_ - name_at && data_[name_at + open.length] == '>' &&
        scan::equal_near(data_ + name_at, data_ + open.offset, open.length, data_ + size_)) {
      open_names_.pop_back();
      event.kind = XmlEventKind::EndTag;
      event.content = std::string_view(data_ + name_at, open.length);
      event.name_length = open.length;
      pos_ = name_at + open.length + 1;
      state_ = State::InText;
      return std::nullopt;
    }
  }
  return read_end_tag_general(event);
}

}  // namespace vorlane
