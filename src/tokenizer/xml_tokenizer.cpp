#include "tokenizer/xml_tokenizer.h"

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

XmlTokenizer::XmlTokenizer(const char* data, std::size_t size)
    : data_(data != nullptr ? data : ""), size_(data != nullptr ? size : 0) {}

TokenizerError XmlTokenizer::fail(std::string message) {
  state_ = State::Exit;
  fast_end_ = 0;
  return TokenizerError{std::move(message)};
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

std::optional<TokenizerError> XmlTokenizer::next_event_slow(XmlEvent& event) {
  switch (state_) {
    case State::Exit:
      event.kind = XmlEventKind::EndOfInput;
      return std::nullopt;
    case State::Init: {
      const auto* bytes = reinterpret_cast<const unsigned char*>(data_);
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
      break;
    }
    case State::InText:
    case State::InReference:
    case State::InMarkup:
      break;
  }
  if (pos_ >= size_) {
    state_ = State::Exit;
    fast_end_ = 0;
    event.kind = XmlEventKind::EndOfInput;
    return std::nullopt;
  }
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

std::optional<TokenizerError> XmlTokenizer::read_reference(XmlEvent& event) {
  const char* const amp = data_ + pos_;
  const char* const end = data_ + size_;
  const char* stop = scan::find_any<';', '&', '<'>(amp + 1, end);
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
  if (pos_ + 1 >= size_) return fail(concat({kSyntax, kUnclosedTag}));
  switch (data_[pos_ + 1]) {
    case '!':
      return read_bang(event);
    case '/':
      return read_end_tag(event);
    case '?':
      return read_instruction(event);
    default:
      return read_tag(event);
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
  if (end - p >= 32) {
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
  event.attributes = nullptr;
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

std::optional<TokenizerError> XmlTokenizer::find_tag_end(std::size_t from, std::size_t& gt,
                                                        unsigned& high) {
  const char* const end = data_ + size_;
  char open_quote = 0;
  const char* q = scan::find_unquoted_gt(data_ + from, end, open_quote, high);
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
  std::size_t gt = 0;
  unsigned high = 0;
  if (auto error = find_tag_end(lt + 2, gt, high)) return error;
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
  const std::string_view open_name(data_ + open.offset, open.length);
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
  const char* q = find_instruction_end(begin + 1, end);
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
  if (lt + 2 >= size_) return fail(concat({kSyntax, kUnknownMarkup}));
  std::size_t gt = 0;
  switch (begin[2]) {
    case '-': {
      // A wrong opener gives the same error whether or not a closing "-->" follows.
      if (!starts_with(begin, end, "<!--")) return fail(concat({kSyntax, kUnclosedComment}));
      const char* q = find_comment_end(begin, end);
      if (q == end) return fail(concat({kSyntax, kUnclosedComment}));
      gt = static_cast<std::size_t>(q - data_);
      if (auto error = check_utf8(lt, gt + 1)) return error;
      event.kind = XmlEventKind::Comment;
      event.content = std::string_view(begin + 4, gt - lt - 6);
      break;
    }
    case '[': {
      if (!starts_with(begin, end, "<![CDATA[")) return fail(concat({kSyntax, kUnclosedCdata}));
      // The "]]" cannot overlap the opener, which ends in "[".
      const char* q = end - begin < 12 ? end : scan::find_close_after2(begin + 11, end, '>', ']');
      if (q == end) return fail(concat({kSyntax, kUnclosedCdata}));
      gt = static_cast<std::size_t>(q - data_);
      if (auto error = check_utf8(lt, gt + 1)) return error;
      event.kind = XmlEventKind::Cdata;
      event.content = std::string_view(begin + 9, gt - lt - 11);
      break;
    }
    case 'D':
    case 'd': {
      if (!starts_with_nocase(begin + 2, end, "DOCTYPE") || !find_doctype_end(lt + 9, gt)) {
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

bool XmlTokenizer::find_doctype_end(std::size_t from, std::size_t& gt) const {
  const char* p = data_ + from;
  const char* const end = data_ + size_;
  // Before the internal subset: literals hide ">" and "[".
  for (;;) {
    const char* q = scan::find_any<'>', '[', '"', '\''>(p, end);
    if (q == end) return false;
    if (*q == '>') {
      gt = static_cast<std::size_t>(q - data_);
      return true;
    }
    if (*q == '[') {
      p = q + 1;
      break;
    }
    const char* close = scan::find_byte(q + 1, end, *q);
    if (close == end) return false;
    p = close + 1;
  }
  // Inside the internal subset: markup is skipped whole so that a "]" inside it does not
  // close the subset; subsets do not nest.
  for (;;) {
    const char* q = scan::find_any<']', '<'>(p, end);
    if (q == end) return false;
    if (*q == ']') {
      const char* close = scan::find_byte(q + 1, end, '>');
      if (close == end) return false;
      gt = static_cast<std::size_t>(close - data_);
      return true;
    }
    const char* close;
    if (starts_with(q, end, "<?")) {
      close = find_instruction_end(q + 1, end);
    } else if (starts_with(q, end, "<!--")) {
      close = find_comment_end(q, end);
    } else if (starts_with(q, end, "<!ENTITY") || starts_with(q, end, "<!ATTLIST") ||
               starts_with(q, end, "<!NOTATION")) {
      char open_quote = 0;
      unsigned high = 0;
      close = scan::find_unquoted_gt(q + 2, end, open_quote, high);
    } else {
      // "<!ELEMENT" (whose content model has no literals) and anything unknown.
      close = scan::find_byte(q + 1, end, '>');
    }
    if (close == end) return false;
    p = close + 1;
  }
}

}  // namespace vorlane
