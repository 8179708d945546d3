#include "tokenizer/xml_tokenizer.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

#include "tokenizer/scan.h"
#include "common/utf8.h"

namespace vorlane {
namespace {

constexpr std::string_view kSyntax = "syntax error: ";
constexpr std::string_view kIllFormed = "ill-formed document: ";
constexpr std::string_view kDecoding = "cannot decode input using UTF-8: ";

constexpr std::string_view kUnknownMarkup = "unknown or missed symbol in markup";
constexpr std::string_view kUnclosedInstruction =
    "processing instruction not closed: `?>` not found before end of input";
constexpr std::string_view kUnclosedDeclaration =
    "XML declaration not closed: `?>` not found before end of input";
constexpr std::string_view kUnclosedComment = "comment not closed: `-->` not found before end of input";
constexpr std::string_view kUnclosedDoctype = "DOCTYPE not closed: `>` not found before end of input";
constexpr std::string_view kUnclosedCdata = "CDATA not closed: `]]>` not found before end of input";
constexpr std::string_view kUnclosedTag = "tag not closed: `>` not found before end of input";
constexpr std::string_view kUnclosedSingleQuoted =
    "attribute value not closed: `'` not found before end of input";
constexpr std::string_view kUnclosedDoubleQuoted =
    "attribute value not closed: `\"` not found before end of input";
constexpr std::string_view kMissingDoctypeName =
    "`<!DOCTYPE>` declaration does not contain a name of a document type";
constexpr std::string_view kUnclosedReference =
    "entity or character reference not closed: `;` not found before end of input";

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t total = 0;
  for (std::string_view part : parts) total += part.size();
  std::string out;
  out.reserve(total);
  for (std::string_view part : parts) out.append(part);
  return out;
}

inline bool starts_with(const char* p, const char* end, std::string_view prefix) {
  return static_cast<std::size_t>(end - p) >= prefix.size() &&
         std::string_view(p, prefix.size()) == prefix;
}

// Case-insensitive match of the ASCII letters in `upper`.
inline bool starts_with_nocase(const char* p, const char* end, std::string_view upper) {
  if (static_cast<std::size_t>(end - p) < upper.size()) return false;
  for (std::size_t i = 0; i < upper.size(); ++i) {
    if ((p[i] & ~0x20) != upper[i]) return false;
  }
  return true;
}

std::size_t leading_name_length(std::string_view content) {
  std::size_t n = 0;
  while (n < content.size() && !is_xml_space(content[n])) ++n;
  return n;
}

// The ">" of the "-->" closing a comment that opens with "<!--" at `open`. The "--" may not
// overlap the opener, so "<!-->" and "<!--->" stay open.
inline const char* find_comment_end(const char* open, const char* end) {
  if (end - open < 7) return end;
  return scan::find_close_after2(open + 6, end, '>', '-');
}

// "<? ... ?>" searched from the "?" of the opener, which may itself close it.
inline const char* find_instruction_end(const char* question, const char* end) {
  return scan::find_close_after(question + 1, end, '>', '?');
}

}  // namespace

TokenizerError XmlTokenizer::fail(std::string message) {
  state_ = State::Exit;
  fast_end_ = 0;
  return TokenizerError{std::move(message)};
}

std::optional<TokenizerError> XmlTokenizer::cut_at_limit(XmlEvent& event, XmlEventKind kind, std::size_t content,
                                                         std::size_t limit) {
  const std::size_t cut = content + limit + 1;
  const utf8::Check check = utf8::validate(data_ + pos_, cut - pos_);
  // A character cut by the limit is no fault; a bad one before it is, as it would be whole.
  if (!check.ok && !check.incomplete) {
    if (auto error = check_utf8(pos_, cut)) return error;
  }
  event.kind = kind;
  event.content = std::string_view(data_ + content, limit + 1);
  event.name_length = 0;
  state_ = State::Exit;  // the driver refuses it: nothing is read after it
  fast_end_ = 0;
  return std::nullopt;
}

bool XmlTokenizer::junk_outside_root(XmlEvent& event, std::size_t stop) {
  // Only as far as the limit: past it, the run is cut at the limit instead (the same cut
  // where the limit and the junk meet, so either way the outcome is the same).
  const std::size_t window = stop - pos_ > text_limit_ ? pos_ + text_limit_ + 1 : stop;
  const std::string_view run(data_, stop);
  std::size_t at = resume_.active && resume_.checked > pos_ ? resume_.checked : pos_;
  while (at < window) {
    if (const std::size_t length = unicode_space_at(run, at)) {
      at += length;
      continue;
    }
    char32_t c;
    unsigned bad_length;
    const std::size_t length = utf8::decode(run, at, c, bad_length);
    if (length == 0 && bad_length == 0 && stop == size_ && !final_) break;  // a character still coming
    if (length == 0) return false;  // not UTF-8: read as usual, which reports it here
    event.kind = XmlEventKind::Text;
    event.content = std::string_view(data_ + pos_, at + length - pos_);
    event.name_length = 0;
    state_ = State::Exit;  // the driver refuses it: nothing is read after it
    fast_end_ = 0;
    return true;
  }
  if (window < stop || stop < size_ || final_) return false;  // past the limit, or white space only and complete
  // White space so far: parked, to go on from the first character not yet checked.
  const unsigned high = resume_.active ? resume_.high : 0u;
  park(event, size_, 0, high | 0x80u);
  resume_.checked = at;
  return true;
}

std::optional<TokenizerError> XmlTokenizer::need_more(XmlEvent& event) {
  event.kind = XmlEventKind::NeedMore;
  event.content = {};
  event.name_length = 0;
  if (state_ != State::Init) state_ = State::InText;
  fast_end_ = 0;  // until set_input: the next request goes through next_event_slow
  return std::nullopt;
}

std::optional<TokenizerError> XmlTokenizer::park(XmlEvent& event, std::size_t scan, char quote, unsigned high,
                                                 std::uint8_t phase) {
  resume_ = Resume{true, quote, phase, high, scan};
  return need_more(event);
}

bool XmlTokenizer::may_become(const char* p, std::string_view opener, bool nocase) const {
  const char* const end = data_ + size_;
  if (final_ || static_cast<std::size_t>(end - p) >= opener.size()) return false;
  for (std::size_t i = 0; p + i < end; ++i) {
    const bool letter = opener[i] >= 'A' && opener[i] <= 'Z';
    if ((nocase && letter ? (p[i] & ~0x20) : p[i]) != opener[i]) return false;
  }
  return true;
}

void XmlTokenizer::set_input(const char* data, std::size_t size, std::size_t dropped, bool final) {
  data_ = data;
  size_ = size;
  final_ = final;
  pos_ -= dropped;
  if (resume_.active) {
    resume_.scan -= dropped;
    resume_.checked = resume_.checked > dropped ? resume_.checked - dropped : 0;
  }
  fast_end_ = state_ == State::InText && !resume_.active && size_ > 0 ? size_ - 1 : 0;
}

void XmlTokenizer::home_open_names(std::string& store) {
  const auto base = reinterpret_cast<std::uintptr_t>(store.data());
  const auto in_store = [&](const char* p) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return at >= base && at - base < store.size();
  };
  // The homed names are a bottom run of the stack; those opened since lie above it.
  std::size_t first = open_names_.size();
  while (first > 0 && !in_store(open_names_[first - 1].name)) --first;
  std::size_t used = 0;
  if (first > 0) {
    const OpenName& top = open_names_[first - 1];
    used = static_cast<std::size_t>(top.name - store.data()) + top.length;
  }
  if (first == open_names_.size() && used + 16 == store.size()) return;
  std::size_t need = used + 16;
  for (std::size_t i = first; i < open_names_.size(); ++i) need += open_names_[i].length;
  const char* const before = store.data();
  store.resize(used);
  store.reserve(need);
  if (store.data() != before) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < first; ++i) {
      open_names_[i].name = store.data() + at;
      at += open_names_[i].length;
    }
  }
  for (std::size_t i = first; i < open_names_.size(); ++i) {
    OpenName& open = open_names_[i];
    const std::size_t at = store.size();
    store.append(open.name, open.length);
    open.name = store.data() + at;  // reserved above: the appends do not move the bytes
  }
  store.append(16, '\0');
}

std::optional<TokenizerError> XmlTokenizer::check_utf8(std::size_t begin, std::size_t end) {
  const utf8::Check check = utf8::validate(data_ + begin, end - begin);
  if (check.ok) return std::nullopt;
  if (check.incomplete) {
    return fail(concat({kDecoding, "incomplete utf-8 byte sequence from index ",
                        std::to_string(check.index)}));
  }
  return fail(concat({kDecoding, "invalid utf-8 sequence of ", std::to_string(check.length),
                      " bytes from index ", std::to_string(check.index)}));
}

void XmlTokenizer::read_byte_order_mark() {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data_);
  // Every mark starts with a byte of 0xEF or above; the usual first byte settles it at once.
  if (size_ > 0 && bytes[0] < 0xEF) {
    state_ = State::InText;
    fast_end_ = size_ - 1;
    return;
  }
  // Three bytes, or the last piece, settle it.
  if (!final_ && size_ < 3 &&
      (may_become(data_, "\xEF\xBB\xBF") || may_become(data_, "\xFF\xFE") || may_become(data_, "\xFE\xFF"))) {
    return;  // not yet known
  }
  if (size_ >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    detected_encoding_ = "UTF-8";
    pos_ = 3;
  } else if (size_ >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    detected_encoding_ = "UTF-16LE";
    pos_ = 2;
  } else if (size_ >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    detected_encoding_ = "UTF-16BE";
    pos_ = 2;
  }
  state_ = State::InText;
  fast_end_ = size_ > 0 ? size_ - 1 : 0;
}

std::optional<TokenizerError> XmlTokenizer::next_event_slow(XmlEvent& event) {
  switch (state_) {
    case State::Exit:
      event.kind = XmlEventKind::EndOfInput;
      return std::nullopt;
    case State::Init:
      read_byte_order_mark();
      if (state_ == State::Init) return need_more(event);  // a byte order mark may be under way
      break;
    case State::InText:
    case State::InReference:
    case State::InMarkup:
      break;
  }
  if (pos_ >= size_) {
    if (!final_) return need_more(event);
    state_ = State::Exit;
    fast_end_ = 0;
    event.kind = XmlEventKind::EndOfInput;
    return std::nullopt;
  }
  if (resume_.active) [[unlikely]] return read_resumed(event);
  switch (data_[pos_]) {
    case '<':
      state_ = State::InMarkup;
      return read_markup(event);
    case '&':
      state_ = State::InReference;
      return read_reference(event);
    default:
      return read_text(event);
  }
}

std::optional<TokenizerError> XmlTokenizer::read_resumed(XmlEvent& event) {
  std::optional<TokenizerError> error;
  switch (data_[pos_]) {
    case '<':
      state_ = State::InMarkup;
      error = read_markup(event);
      break;
    case '&':
      state_ = State::InReference;
      error = read_reference(event);
      break;
    default:
      error = read_text_resumed(event);
      break;
  }
  if (!error && event.kind != XmlEventKind::NeedMore) {
    resume_ = Resume{};
    fast_end_ = size_ - 1;  // a construct was read, so size_ > 0
  }
  return error;
}

std::optional<TokenizerError> XmlTokenizer::read_text_resumed(XmlEvent& event) {
  unsigned high = resume_.high;
  const std::size_t stop_pos =
      static_cast<std::size_t>(scan::find_any<'<', '&'>(data_ + resume_.scan, data_ + size_, high) - data_);
  if (outside_root_ && junk_outside_root(event, stop_pos)) return std::nullopt;
  if (stop_pos - pos_ > text_limit_) return cut_at_limit(event, XmlEventKind::Text, pos_, text_limit_);
  if (stop_pos == size_ && !final_) return park(event, size_, 0, high);
  if (high != 0) {
    if (auto error = check_utf8(pos_, stop_pos)) return error;
  }
  event.kind = XmlEventKind::Text;
  event.content = std::string_view(data_ + pos_, stop_pos - pos_);
  event.name_length = 0;
  pos_ = stop_pos;
  return std::nullopt;
}

std::optional<TokenizerError> XmlTokenizer::read_reference(XmlEvent& event) {
  const char* const amp = data_ + pos_;
  const char* const end = data_ + size_;
  const char* stop = scan::find_any<';', '&', '<'>(resume_.active ? data_ + resume_.scan : amp + 1, end);
  if (stop == end && !final_) return park(event, size_);
  if (stop == end || *stop != ';') return fail(concat({kIllFormed, kUnclosedReference}));
  const std::size_t semicolon = static_cast<std::size_t>(stop - data_);
  if (auto error = check_utf8(pos_, semicolon + 1)) return error;
  event.kind = XmlEventKind::Reference;
  event.content = std::string_view(amp + 1, static_cast<std::size_t>(stop - amp - 1));
  pos_ = semicolon + 1;
  state_ = State::InText;
  return std::nullopt;
}

std::optional<TokenizerError> XmlTokenizer::read_markup(XmlEvent& event) {
  if (pos_ + 1 >= size_) return final_ ? fail(concat({kSyntax, kUnclosedTag})) : need_more(event);
  switch (data_[pos_ + 1]) {
    case '!':
      return read_bang(event);
    case '/':
      return read_end_tag(event);
    case '?':
      return read_instruction(event);
    default:
      // A parked tag goes on where its end search stopped; the quick readings would start over.
      if (!resume_.active) return read_tag(event);
      return bound_tags_ ? read_tag_bounded(event) : read_tag_general(event);
  }
}

std::optional<TokenizerError> XmlTokenizer::read_tag_general(XmlEvent& event) {
  const std::size_t lt = pos_;
  const char* const p = data_ + lt + 1;
  const char* const end = data_ + size_;
  std::size_t gt = 0;
  unsigned high = 0;
  bool quote_free = false;  // no quote character anywhere in the tag
  bool found = false;
  if (end - p >= 32 && !resume_.active) {
    // Most tags that the quick readings leave end within 32 bytes, with at most one kind of
    // quote before their ">": then the quoted stretches follow from the running parity of
    // that quote's bits.
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
    if (gt == 0) return need_more(event);  // parked
  }
  if (high != 0) {
    if (auto error = check_utf8(lt, gt + 1)) return error;
  }
  deliver_tag(event, gt, quote_free);
  return std::nullopt;
}

void XmlTokenizer::deliver_tag(XmlEvent& event, std::size_t gt, bool quote_free) {
  const std::size_t lt = pos_;
  const char* const end = data_ + size_;
  std::string_view content(data_ + lt + 1, gt - lt - 1);
  const bool empty = !content.empty() && content.back() == '/';
  if (empty) content.remove_suffix(1);
  std::uint8_t marks;
  const std::size_t name_length = tokenizer_detail::name_length(content, end, marks);
  event.name_marks = marks;
  event.name_length = name_length;
  event.content = content;
  event.attributes = nullptr;
  if (empty) {
    event.kind = XmlEventKind::EmptyTag;
  } else {
    event.kind = XmlEventKind::StartTag;
    const bool plain = quote_free || !tokenizer_detail::has_quote(content.substr(0, name_length), end);
    open_names_.push_back(OpenName{data_ + lt + 1, name_length, plain});
  }
  pos_ = gt + 1;
  state_ = State::InText;
}

// The phases of a start tag parked by read_tag_bounded.
namespace {
constexpr std::uint8_t kTagName = 0;     // the name not yet known to end within its limit
constexpr std::uint8_t kTagOutside = 1;  // outside quotes
constexpr std::uint8_t kTagValue = 2;    // inside the value quoted by Resume::quote from Resume::checked
constexpr std::uint8_t kEndTagName = 1;  // an end tag's name not yet known to end within the limit
                                         // (find_tag_end parks with phase 0)
}  // namespace

std::optional<TokenizerError> XmlTokenizer::read_tag_bounded(XmlEvent& event) {
  const std::size_t lt = pos_;
  const char* const end = data_ + size_;
  std::uint8_t phase = kTagName;
  std::size_t at = lt + 1;
  unsigned high = 0;
  char quote = 0;
  std::size_t value = 0;
  std::size_t values = 0;
  if (resume_.active) {
    phase = resume_.phase;
    at = resume_.scan;
    high = resume_.high;
    quote = resume_.quote;
    value = resume_.checked;
    values = resume_.values;
  }
  const auto cut = [&](std::size_t at_cut, XmlEventKind kind = XmlEventKind::TagPastLimit) {
    // The content [lt + 1, at_cut) holds one byte past the limit that was passed.
    auto error = cut_at_limit(event, kind, lt + 1, at_cut - lt - 2);
    if (!error) event.name_length = tokenizer_detail::name_length(event.content, end, event.name_marks);
    return error;
  };
  if (phase == kTagName) {
    // The name is longer than its limit when its first limit + 1 bytes hold no white space
    // and no ">", unless "/>" ends the tag right after the limit.
    const std::size_t limit_end = lt + 2 + name_limit_;  // the name's first limit + 1 bytes end here
    for (; at < size_ && at < limit_end; ++at) {
      const char c = data_[at];
      high |= static_cast<unsigned char>(c) & 0x80u;
      if (is_xml_space(c) || c == '>') break;
    }
    if (at == limit_end) {
      if (data_[at - 1] != '/') return cut(at);
      if (at < size_ && data_[at] != '>') return cut(at);
      if (at == size_ && !final_) return park(event, at - 1, 0, high, kTagName);
    } else if (at == size_ && !final_) {
      return park(event, at, 0, high, kTagName);
    }
    at = lt + 1;  // the quote search covers the name too: a quote there opens a stretch
    phase = kTagOutside;
  }
  for (;;) {
    if (phase == kTagValue) {
      // The value's limit + 1 bytes are enough to refuse it, whatever follows.
      const std::size_t limit_end = value + value_limit_ + 1;
      const char* const stop = limit_end < size_ ? data_ + limit_end : end;
      const char* close = quote == '"' ? scan::find_any<'"'>(data_ + at, stop, high)
                                       : scan::find_any<'\''>(data_ + at, stop, high);
      if (close == stop) {
        if (static_cast<std::size_t>(stop - data_) == limit_end) return cut(limit_end);
        if (final_) return fail(concat({kSyntax, quote == '\'' ? kUnclosedSingleQuoted : kUnclosedDoubleQuoted}));
        park(event, size_, quote, high, kTagValue);
        resume_.checked = value;
        resume_.values = values;
        return std::nullopt;
      }
      at = static_cast<std::size_t>(close - data_) + 1;
      phase = kTagOutside;
    }
    const char* q = scan::find_any<'>', '"', '\''>(data_ + at, end, high);
    if (q == end) {
      if (final_) return fail(concat({kSyntax, kUnclosedTag}));
      park(event, size_, 0, high, kTagOutside);
      resume_.values = values;
      return std::nullopt;
    }
    if (*q == '>') {
      const std::size_t gt = static_cast<std::size_t>(q - data_);
      if (high != 0) {
        if (auto error = check_utf8(lt, gt + 1)) return error;
      }
      deliver_tag(event, gt, false);
      return std::nullopt;
    }
    quote = *q;
    value = static_cast<std::size_t>(q - data_) + 1;
    if (++values > values_limit_) return cut(value, XmlEventKind::TagPastCount);
    at = value;
    phase = kTagValue;
  }
}

std::optional<TokenizerError> XmlTokenizer::find_tag_end(std::size_t from, std::size_t& gt,
                                                        unsigned& high) {
  const char* const end = data_ + size_;
  char open_quote = 0;
  char inside = 0;
  if (resume_.active) {
    from = resume_.scan;
    inside = resume_.quote;
    high |= resume_.high;
  }
  const char* q = scan::find_unquoted_gt(data_ + from, end, open_quote, high, inside);
  if (q == end && !final_) {
    resume_ = Resume{true, open_quote, 0, high, size_};
    gt = 0;  // parked: the caller reports NeedMore
    return std::nullopt;
  }
  if (q == end) {
    if (open_quote == '\'') return fail(concat({kSyntax, kUnclosedSingleQuoted}));
    if (open_quote == '"') return fail(concat({kSyntax, kUnclosedDoubleQuoted}));
    return fail(concat({kSyntax, kUnclosedTag}));
  }
  gt = static_cast<std::size_t>(q - data_);
  return std::nullopt;
}

std::optional<TokenizerError> XmlTokenizer::read_end_tag_general(XmlEvent& event) {
  event.content = {};
  event.name_length = 0;
  const std::size_t lt = pos_;
  if (bound_tags_ && (!resume_.active || resume_.phase == kEndTagName)) {
    // Events: a name longer than any start tag may have matches none; refused once its
    // limit + 1 bytes are in, as a name past its limit.
    const std::size_t limit_end = lt + 3 + name_limit_;
    std::size_t at = resume_.active ? resume_.scan : lt + 2;
    while (at < size_ && at < limit_end && !is_xml_space(data_[at]) && data_[at] != '>') ++at;
    if (at == limit_end) return cut_at_limit(event, XmlEventKind::EndTagPastLimit, lt + 2, name_limit_);
    if (at == size_ && !final_) return park(event, at, 0, 0, kEndTagName);
    resume_ = Resume{};  // the end search starts over, at most the limit's bytes back
  }
  std::size_t gt = 0;
  unsigned high = 0;
  if (auto error = find_tag_end(lt + 2, gt, high)) return error;
  if (gt == 0) return need_more(event);  // parked
  // Checked before the names are compared, so a message only ever quotes valid UTF-8.
  if (high != 0) {
    if (auto error = check_utf8(lt, gt + 1)) return error;
  }
  std::string_view name(data_ + lt + 2, gt - lt - 2);
  while (!name.empty() && is_xml_space(name.back())) name.remove_suffix(1);
  if (open_names_.empty()) {
    return fail(concat({kIllFormed, "close tag `</", name, ">` does not match any open tag"}));
  }
  const OpenName open = open_names_.back();
  const std::string_view open_name(open.name, open.length);
  if (open_name != name) {
    return fail(concat({kIllFormed, "expected `</", open_name, ">`, but `</", name, ">` was found"}));
  }
  open_names_.pop_back();
  event.kind = XmlEventKind::EndTag;
  event.content = name;
  event.name_length = name.size();
  pos_ = gt + 1;
  state_ = State::InText;
  return std::nullopt;
}

std::optional<TokenizerError> XmlTokenizer::read_instruction(XmlEvent& event) {
  const std::size_t lt = pos_;
  const char* const begin = data_ + lt;
  const char* const end = data_ + size_;
  const char* q = resume_.active ? scan::find_close_after(data_ + resume_.scan, end, '>', '?')
                                 : find_instruction_end(begin + 1, end);
  // Events: bounded as a comment. Content longer than the limit ends past lt + 3 + limit, or
  // has not ended there.
  if (static_cast<std::size_t>((q == end ? end : q) - begin) > 3 + comment_limit_) {
    return cut_at_limit(event, XmlEventKind::Instruction, lt + 2, comment_limit_);
  }
  if (q == end && !final_) return park(event, size_ > lt + 2 ? size_ : lt + 2);
  if (q == end) {
    const bool declaration =
        starts_with(begin, end, "<?xml") &&
        (end - begin == 5 || is_xml_space(begin[5]) || begin[5] == '?');
    return fail(concat({kSyntax, declaration ? kUnclosedDeclaration : kUnclosedInstruction}));
  }
  const std::size_t gt = static_cast<std::size_t>(q - data_);
  if (gt - lt + 1 < 4) return fail(concat({kSyntax, kUnclosedInstruction}));  // "<?>"
  if (auto error = check_utf8(lt, gt + 1)) return error;
  const std::string_view content(begin + 2, gt - lt - 3);
  if (content.size() >= 3 && content.substr(0, 3) == "xml" &&
      (content.size() == 3 || is_xml_space(content[3]))) {
    event.kind = XmlEventKind::Declaration;
  } else {
    event.kind = XmlEventKind::Instruction;
    event.name_length = leading_name_length(content);
  }
  event.content = content;
  pos_ = gt + 1;
  state_ = State::InText;
  return std::nullopt;
}

std::optional<TokenizerError> XmlTokenizer::read_bang(XmlEvent& event) {
  const std::size_t lt = pos_;
  const char* const begin = data_ + lt;
  const char* const end = data_ + size_;
  if (lt + 2 >= size_) return final_ ? fail(concat({kSyntax, kUnknownMarkup})) : need_more(event);
  std::size_t gt = 0;
  switch (begin[2]) {
    case '-': {
      // A wrong opener gives the same error whether or not a closing "-->" follows.
      if (may_become(begin, "<!--")) return need_more(event);
      if (!starts_with(begin, end, "<!--")) return fail(concat({kSyntax, kUnclosedComment}));
      // The "--" may not overlap the opener: a resumed search starts 6 bytes in at least.
      const char* q = !resume_.active ? find_comment_end(begin, end)
                      : scan::find_close_after2(data_ + std::max(resume_.scan, lt + 6), end, '>', '-');
      // Content longer than the limit: it ends past lt + 6 + limit, or has not ended there.
      if (static_cast<std::size_t>((q == end ? end : q) - begin) > 6 + comment_limit_) {
        return cut_at_limit(event, XmlEventKind::Comment, lt + 4, comment_limit_);
      }
      if (q == end && !final_) return park(event, size_);
      if (q == end) return fail(concat({kSyntax, kUnclosedComment}));
      gt = static_cast<std::size_t>(q - data_);
      if (auto error = check_utf8(lt, gt + 1)) return error;
      event.kind = XmlEventKind::Comment;
      event.content = std::string_view(begin + 4, gt - lt - 6);
      break;
    }
    case '[': {
      if (may_become(begin, "<![CDATA[")) return need_more(event);
      if (!starts_with(begin, end, "<![CDATA[")) return fail(concat({kSyntax, kUnclosedCdata}));
      // The "]]" cannot overlap the opener, which ends in "[".
      const std::size_t from = std::max(resume_.active ? resume_.scan : 0, lt + 11);
      const char* q = from >= size_ ? end : scan::find_close_after2(data_ + from, end, '>', ']');
      if (static_cast<std::size_t>((q == end ? end : q) - begin) > 11 + text_limit_) {
        return cut_at_limit(event, XmlEventKind::Cdata, lt + 9, text_limit_);
      }
      if (q == end && !final_) return park(event, size_);
      if (q == end) return fail(concat({kSyntax, kUnclosedCdata}));
      gt = static_cast<std::size_t>(q - data_);
      if (auto error = check_utf8(lt, gt + 1)) return error;
      event.kind = XmlEventKind::Cdata;
      event.content = std::string_view(begin + 9, gt - lt - 11);
      break;
    }
    case 'D':
    case 'd': {
      if (may_become(begin, "<!DOCTYPE", true)) return need_more(event);
      if (!starts_with_nocase(begin + 2, end, "DOCTYPE")) return fail(concat({kSyntax, kUnclosedDoctype}));
      std::size_t from = resume_.active ? resume_.scan : lt + 9;
      std::uint8_t phase = resume_.active ? resume_.phase : 0;
      char quote = resume_.active ? resume_.quote : 0;
      if (!find_doctype_end(from, phase, quote, gt)) {
        if (!final_) return park(event, from, quote, 0, phase);
        return fail(concat({kSyntax, kUnclosedDoctype}));
      }
      std::size_t first = lt + 9;
      while (first < gt && is_xml_space(data_[first])) ++first;
      if (first == gt) return fail(concat({kIllFormed, kMissingDoctypeName}));
      if (auto error = check_utf8(lt, gt + 1)) return error;
      event.kind = XmlEventKind::Doctype;
      event.content = std::string_view(data_ + first, gt - first);
      break;
    }
    default:
      return fail(concat({kSyntax, kUnknownMarkup}));
  }
  pos_ = gt + 1;
  state_ = State::InText;
  return std::nullopt;
}

namespace {
// Where a DOCTYPE search stopped: outside literals before the internal subset, inside a
// literal there, inside the subset between declarations, after its "]", and inside a
// processing instruction, comment, entity-like declaration or other declaration of it.
constexpr std::uint8_t kBeforeSubset = 0;
constexpr std::uint8_t kInSubset = 1;
constexpr std::uint8_t kAfterSubset = 2;
constexpr std::uint8_t kInLiteral = 3;
constexpr std::uint8_t kInInstruction = 4;
constexpr std::uint8_t kInComment = 5;
constexpr std::uint8_t kInQuotingDeclaration = 6;
constexpr std::uint8_t kInDeclaration = 7;
}  // namespace

bool XmlTokenizer::find_doctype_end(std::size_t& from, std::uint8_t& phase, char& quote, std::size_t& gt) const {
  const char* p = data_ + from;
  const char* const end = data_ + size_;
  const auto resume_at = [&](const char* at, std::uint8_t in_phase, char in_quote = 0) {
    from = static_cast<std::size_t>(at - data_);
    phase = in_phase;
    quote = in_quote;
    return false;
  };
  const auto found = [&](const char* at) {
    gt = static_cast<std::size_t>(at - data_);
    return true;
  };
  // Resumed inside a construct: its end first, searched over the new bytes only (the search
  // stopped at the old end, past its opener).
  switch (phase) {
    case kInLiteral: {
      const char* close = scan::find_byte(p, end, quote);
      if (close == end) return resume_at(end, kInLiteral, quote);
      p = close + 1;
      phase = kBeforeSubset;
      break;
    }
    case kInInstruction:
    case kInComment:
    case kInQuotingDeclaration:
    case kInDeclaration: {
      const char* close;
      char open_quote = 0;
      if (phase == kInInstruction) {
        close = scan::find_close_after(p, end, '>', '?');
      } else if (phase == kInComment) {
        close = scan::find_close_after2(p, end, '>', '-');
      } else if (phase == kInQuotingDeclaration) {
        unsigned high = 0;
        close = scan::find_unquoted_gt(p, end, open_quote, high, quote);
      } else {
        close = scan::find_byte(p, end, '>');
      }
      if (close == end) return resume_at(end, phase, open_quote);
      p = close + 1;
      phase = kInSubset;
      break;
    }
    default:
      break;
  }
  // Before the internal subset: literals hide ">" and "[".
  while (phase == kBeforeSubset) {
    const char* q = scan::find_any<'>', '[', '"', '\''>(p, end);
    if (q == end) return resume_at(end, kBeforeSubset);
    if (*q == '>') return found(q);
    if (*q == '[') {
      p = q + 1;
      phase = kInSubset;
      break;
    }
    const char* close = scan::find_byte(q + 1, end, *q);
    if (close == end) return resume_at(end, kInLiteral, *q);
    p = close + 1;
  }
  // After the subset's "]": the ">".
  if (phase == kAfterSubset) {
    const char* close = scan::find_byte(p, end, '>');
    if (close == end) return resume_at(end, kAfterSubset);
    return found(close);
  }
  // Inside the internal subset: markup is skipped whole so that a "]" inside it does not
  // close the subset; subsets do not nest.
  for (;;) {
    const char* q = scan::find_any<']', '<'>(p, end);
    if (q == end) return resume_at(end, kInSubset);
    if (*q == ']') {
      const char* close = scan::find_byte(q + 1, end, '>');
      if (close == end) return resume_at(end, kAfterSubset);
      return found(close);
    }
    // An opener cut by the end of a piece is read again from its "<" (at most 9 bytes).
    if (!final_ && end - q < 10) return resume_at(q, kInSubset);
    const char* close;
    std::uint8_t inside;
    char open_quote = 0;
    if (starts_with(q, end, "<?")) {
      close = find_instruction_end(q + 1, end);
      inside = kInInstruction;
    } else if (starts_with(q, end, "<!--")) {
      close = find_comment_end(q, end);
      inside = kInComment;
    } else if (starts_with(q, end, "<!ENTITY") || starts_with(q, end, "<!ATTLIST") ||
               starts_with(q, end, "<!NOTATION")) {
      unsigned high = 0;
      close = scan::find_unquoted_gt(q + 2, end, open_quote, high);
      inside = kInQuotingDeclaration;
    } else {
      // "<!ELEMENT" (whose content model has no literals) and anything unknown.
      close = scan::find_byte(q + 1, end, '>');
      inside = kInDeclaration;
    }
    if (close == end) return resume_at(end, inside, open_quote);
    p = close + 1;
  }
}

}  // namespace vorlane
