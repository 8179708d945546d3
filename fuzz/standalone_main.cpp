// Runs a fuzz target without libFuzzer: over the files named on the command line, then over
// mutations of them for a fixed number of rounds. Used for the quick smoke run in the tests;
// the real campaigns use libFuzzer (make fuzz).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

std::string mutate(std::string input, std::mt19937_64& rng) {
  static const char* const pieces[] = {"<", ">", "&", ";", "\"", "'", "/", "<!--", "-->", "<![CDATA[", "]]>",
                                       "<?", "?>", "<!DOCTYPE r [", "]>", "<!ENTITY a 'b'>", "xmlns:p='u'",
                                       "&#x", "\xc3", "\xe2\x82", "\xff", " ", "=", "p:", "</a>", "<a>"};
  int edits = 1 + static_cast<int>(rng() % 8);
  for (int e = 0; e < edits; ++e) {
    std::size_t at = input.empty() ? 0 : rng() % (input.size() + 1);
    switch (rng() % 4) {
      case 0: input.insert(at, pieces[rng() % std::size(pieces)]); break;
      case 1: if (at < input.size()) input.erase(at, 1 + rng() % 16); break;
      case 2: if (at < input.size()) input[at] = static_cast<char>(rng()); break;
      default: if (!input.empty()) input.insert(at, input.substr(rng() % input.size(), rng() % 64)); break;
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  long rounds = 20000;
  std::vector<std::string> corpus;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--rounds=", 0) == 0) {
      rounds = std::strtol(arg.c_str() + 9, nullptr, 10);
      continue;
    }
    std::ifstream file(arg, std::ios::binary);
    corpus.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  if (corpus.empty()) corpus.emplace_back("\x00<a x='1'>t<b/>&amp;</a>", 23);
  std::mt19937_64 rng(12345);
  for (const auto& input : corpus) run(input);
  for (long r = 0; r < rounds; ++r) {
    const std::string& base = corpus[rng() % corpus.size()];
    std::string input = mutate(base, rng);
    input.insert(input.begin(), static_cast<char>(rng()));  // option selector
    run(input);
  }
  std::printf("fuzz smoke: %zu corpus inputs, %ld mutated inputs, no fault\n", corpus.size(), rounds);
  return 0;
}
