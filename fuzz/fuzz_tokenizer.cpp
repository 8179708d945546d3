// libFuzzer entry for the tokenizer: runs it over the input to the end or the first error
// and traps on any broken invariant. The attributes it reads with a tag must be those the
// parser's strict cursor reads from the tag content.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc
//     fuzz/fuzz_tokenizer.cpp src/common/*.cpp src/tokenizer/*.cpp src/parser/attribute_scan.cpp
//     -o build/fuzz_tokenizer
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/utf8.h"
#include "common/white_space.h"
#include "parser/attribute_scan.h"
#include "tokenizer/xml_tokenizer.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// A tag ends at the first ">" outside quotes, so its content holds none.
void require_no_unquoted_gt(std::string_view content) {
  char quote = 0;
  for (char c : content) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else {
      require(c != '>');
    }
  }
}

void require_same_attributes(const vorlane::XmlEvent& event) {
  const std::string_view content = event.content;
  const vorlane::TagAttributes& read = *event.attributes;
  vorlane::AttributeCursor cursor(content, event.name_length);
  vorlane::ScannedAttribute a;
  bool declares = false;
  std::uint32_t i = 0;
  for (; cursor.next(a); ++i) {
    require(i < read.count);
    const vorlane::AttributeSpan& span = read.spans[i];
    require(span.key_begin == a.key_begin && span.key_end == a.key_end && span.value_begin == a.value_begin &&
            span.value_end == a.value_end);
    const std::string_view value = content.substr(a.value_begin, a.value_end - a.value_begin);
    require(((read.amp_mask >> i) & 1u) == (value.find('&') != std::string_view::npos ? 1u : 0u));
    declares = declares || content.substr(a.key_begin, a.key_end - a.key_begin).starts_with("xmlns");
  }
  require(cursor.error() == vorlane::ScanError::None && i == read.count && read.may_declare == declares);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const char* const data = reinterpret_cast<const char*>(bytes);
  vorlane::XmlTokenizer tokenizer(data, size);
  std::size_t depth = 0;
  std::size_t last_offset = 0;
  const char* last_end = data;  // payloads come in input order and never overlap
  for (;;) {
    vorlane::XmlEvent event;
    const std::optional<vorlane::TokenizerError> error = tokenizer.next_event(event);
    if (error) {
      require(!error->message.empty());
      break;
    }
    if (event.kind == vorlane::XmlEventKind::EndOfInput) {
      require(tokenizer.offset() >= last_offset);
      break;
    }
    const std::string_view content = event.content;
    require(tokenizer.offset() > last_offset && tokenizer.offset() <= size);
    last_offset = tokenizer.offset();
    if (!content.empty() || event.kind == vorlane::XmlEventKind::Text) {
      require(content.data() >= last_end);
      require(content.data() + content.size() <= data + tokenizer.offset());
      last_end = content.data() + content.size();
    }
    require(vorlane::utf8::validate(content.data(), content.size()).ok);
    require(event.name_length <= content.size());
    switch (event.kind) {
      case vorlane::XmlEventKind::Text:
        require(!content.empty());
        require(content.find_first_of("<&") == std::string_view::npos);
        break;
      case vorlane::XmlEventKind::StartTag:
        ++depth;
        [[fallthrough]];
      case vorlane::XmlEventKind::EmptyTag:
        for (std::size_t i = 0; i < event.name_length; ++i) require(!vorlane::is_xml_space(content[i]));
        require(event.name_length == content.size() || vorlane::is_xml_space(content[event.name_length]));
        require_no_unquoted_gt(content);
        if (event.attributes != nullptr) require_same_attributes(event);
        break;
      case vorlane::XmlEventKind::EndTag:
        require(depth > 0);
        --depth;
        require(content.empty() || !vorlane::is_xml_space(content.back()));
        break;
      case vorlane::XmlEventKind::Reference:
        require(content.find_first_of(";&<") == std::string_view::npos);
        break;
      case vorlane::XmlEventKind::Doctype:
        require(!content.empty() && !vorlane::is_xml_space(content.front()));
        break;
      default:
        break;
    }
  }
  // Once finished, the tokenizer only ever reports the end of input.
  for (int i = 0; i < 2; ++i) {
    vorlane::XmlEvent event;
    require(!tokenizer.next_event(event));
    require(event.kind == vorlane::XmlEventKind::EndOfInput);
  }
  return 0;
}
