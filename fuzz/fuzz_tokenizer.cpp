// libFuzzer entry for the tokenizer: runs it over the input to the end or the first error
// and traps on any broken invariant.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc
//     fuzz/fuzz_tokenizer.cpp src/common/*.cpp src/tokenizer/*.cpp -o build/fuzz_tokenizer
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/utf8.h"
#include "common/white_space.h"
#include "tokenizer/xml_tokenizer.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
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
