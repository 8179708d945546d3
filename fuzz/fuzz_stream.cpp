// Fuzz target for the event stream: the whole input fed at once gives the events and the
// failure (kind, payload, offset) of every cutting of it into pieces, and the events rebuilt
// as a tree are parse_core's Document, or its failure.
//
// Input: a selector byte (bits 0-2: the option set, bits 3-4: the size of the random
// pieces, bit 5: strict mode), two bytes of split seed, then the document. Every input
// checks three cuttings
// against the whole run: random pieces from the seed (empty pieces included), one byte at a
// time for documents up to 2 KiB, and one cut at a seeded position.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "parser/parse_core.h"
#include "stream_dump.h"

using vorlane::EventStream;
using vorlane::ParseOptions;
using vorlane::StreamEvent;

namespace {

constexpr std::size_t kBytewiseUpTo = 2048;
constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

// The option sets: the defaults, each switch flipped, and limits that most documents cross;
// each tolerant and strict.
ParseOptions options_from(std::uint8_t selector) {
  ParseOptions options;
  switch (selector & 7) {
    case 1: options.forbid_dtd = true; break;
    case 2:
      options.forbid_entities = false;
      options.forbid_external = false;
      break;
    case 3:
    case 4:
      options.forbid_dtd = (selector & 7) == 4;
      fuzz::tight_limits(options, 8, 64, 3, 8, 8, 8);
      break;
    case 5: fuzz::tight_limits(options, 2, 3, 1, 2, 4, 2); break;
    case 6:  // past the namespace scope's nesting, and nothing else bounded
      fuzz::tight_limits(options, 100000, kNoLimit, kNoLimit, kNoLimit, kNoLimit, kNoLimit);
      break;
    case 7: fuzz::tight_limits(options, 1, 0, options.max_attributes, 0, 1, 0); break;
    default: break;
  }
  options.strict = (selector & 0x20) != 0;  // each set again in strict mode
  return options;
}

// Ascending cut offsets with pieces of 0 to `longest` bytes.
std::vector<std::size_t> random_cuts(std::size_t size, std::size_t longest, std::mt19937& random) {
  std::vector<std::size_t> cuts;
  for (std::size_t at = random() % (longest + 1); at < size; at += random() % (longest + 1)) cuts.push_back(at);
  return cuts;
}

std::string describe_cuts(const std::vector<std::size_t>& cuts) {
  if (cuts.size() > 64) return std::to_string(cuts.size()) + " cuts";
  std::string out;
  for (std::size_t cut : cuts) out += ' ' + std::to_string(cut);
  return out.empty() ? " none" : out;
}

void require_same(const char* what, const std::string& expected, const std::string& got,
                  const std::vector<std::size_t>& cuts) {
  if (expected == got) return;
  std::fprintf(stderr, "fuzz_stream: %s differs; cuts:%s\n--- whole input:\n%s\n--- in pieces:\n%s\n", what,
               describe_cuts(cuts).c_str(), expected.c_str(), got.c_str());
  fuzz::require(false);
}

// The tree of a successful run's events: a Data event goes to the text of the innermost
// open element until a child of it ends, then to that child's tail; consecutive runs (a
// comment or instruction between them) join.
// parse_core's outcome in fuzz::describe's form, from the stream fed the whole input.
std::string stream_outcome(const std::string& input, const ParseOptions& options) {
  EventStream stream(options);
  const EventStream::Status status = stream.feed(input.data(), input.size(), true);
  if (status == EventStream::Status::OutOfMemory) return "OOM";
  if (status == EventStream::Status::Failed) return fuzz::describe_failure(*stream.failure());
  std::vector<fuzz::ListedNode> nodes;
  struct Open {
    std::size_t node;
    std::optional<std::size_t> last_child;
  };
  std::vector<Open> open;
  const vorlane::Document& doc = stream.document();
  for (const StreamEvent& e : stream.events()) {
    switch (e.kind) {
      case StreamEvent::Kind::Start: {
        fuzz::ListedNode& node = nodes.emplace_back();
        node.tag = doc.name(e.name);
        for (std::uint32_t i = 0; i < e.attribute_count; ++i) {
          const vorlane::Attribute& a = doc.attributes[e.first_attribute + i];
          node.attributes.emplace_back(doc.name(a.name), doc.bytes(a.value));
        }
        open.push_back({nodes.size() - 1, std::nullopt});
        break;
      }
      case StreamEvent::Kind::End: {
        fuzz::require(!open.empty() && nodes[open.back().node].tag == doc.name(e.name));
        const std::size_t node = open.back().node;
        nodes[node].subtree_end = nodes.size();
        open.pop_back();
        if (!open.empty()) open.back().last_child = node;
        break;
      }
      case StreamEvent::Kind::Data: {
        fuzz::require(!open.empty());
        fuzz::ListedNode& owner = nodes[open.back().last_child.value_or(open.back().node)];
        std::optional<std::string>& target = open.back().last_child ? owner.tail : owner.text;
        target = target.value_or("") + std::string(doc.bytes(e.text));
        break;
      }
      default: break;
    }
  }
  fuzz::require(open.empty() && !nodes.empty());
  return "OK" + fuzz::dump_tree(fuzz::ListedTree{nodes});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteReader in(data, size);
  const std::uint8_t selector = in.byte();
  const unsigned seed = in.byte() | (unsigned{in.byte()} << 8);
  const std::string input(reinterpret_cast<const char*>(data) + in.consumed(), size - in.consumed());
  const ParseOptions options = options_from(selector);
  std::mt19937 random(seed);

  const std::string whole = stream_dump::run(input, {}, options);
  static constexpr std::size_t kLongest[] = {3, 16, 256, 4096};
  const std::vector<std::size_t> pieces = random_cuts(input.size(), kLongest[(selector >> 3) & 3], random);
  require_same("random pieces", whole, stream_dump::run(input, pieces, options), pieces);
  if (input.size() <= kBytewiseUpTo) {
    std::vector<std::size_t> bytes;
    for (std::size_t i = 1; i < input.size(); ++i) bytes.push_back(i);
    require_same("1-byte pieces", whole, stream_dump::run(input, bytes, options), bytes);
  }
  const std::vector<std::size_t> two{random() % (input.size() + 1)};
  require_same("two pieces", whole, stream_dump::run(input, two, options), two);

  // parse_core bounds the text of the whole document, the stream each run, and the stream
  // refuses a comment, instruction, run, tag name, value or tag of many values once it passes
  // its limit, before it has read the rest: compare the two engines where those bounds cannot
  // be reached.
  ParseOptions same = options;
  for (std::uint64_t* limit : {&same.max_text_size, &same.max_comment_size, &same.max_name_size,
                               &same.max_attribute_size, &same.max_attributes}) {
    if (*limit < input.size()) *limit = kNoLimit;
  }
  const vorlane::ParseResult core = vorlane::parse_core(input.data(), input.size(), same);
  const std::string expected = fuzz::describe(core);
  const std::string got = stream_outcome(input, same);
  // The stream refuses junk outside the root at its first character; a whole document checks
  // the run's bytes first, so an invalid byte after the junk is what parse_core reports.
  const bool junk_first = expected.find("cannot decode input using UTF-8") != std::string::npos &&
                          (got.find("Content before document element") != std::string::npos ||
                           got.find("Junk after document element") != std::string::npos);
  if (!junk_first) require_same("parse_core against the events", expected, got, {});
  return 0;
}
