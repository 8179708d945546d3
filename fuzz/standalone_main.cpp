// Runs a fuzz target without libFuzzer: over the files named on the command line (a
// directory stands for the files in it), then over mutations of them for a fixed number of
// rounds. Used for the quick smoke run in the tests and for the coverage report; the real
// campaigns use libFuzzer (make fuzz). An input that ends the run (abort, sanitizer report)
// is written to the file named by --crash= (default "smoke-crash"), to be kept as a
// regression case.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)());

namespace {

const std::string* current = nullptr;
std::string crash_path = "smoke-crash";

// Runs on the way out of a failed run, so only plain system calls.
void save_current() {
  if (current == nullptr) return;
  const int fd = ::open(crash_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  const char* p = current->data();
  std::size_t left = current->size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  static const char note[] = "fuzz smoke: the failing input is in the --crash file\n";
  (void)!::write(2, note, sizeof note - 1);
  current = nullptr;
}

void on_abort(int) {
  save_current();
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

void run(const std::string& input) {
  current = &input;
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  current = nullptr;
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
    if (arg.rfind("--crash=", 0) == 0) {
      crash_path = arg.substr(8);
      continue;
    }
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());  // the same order, so the same mutations, every run
    } else {
      files.emplace_back(arg);
    }
    for (const auto& path : files) {
      std::ifstream file(path, std::ios::binary);
      if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 2;
      }
      corpus.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
  }
  std::signal(SIGABRT, on_abort);
  if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(save_current);
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
