// The parser core alone against pugixml's DOM parse of the same bytes, no Python.
//
//   core_bench [--repeats N] [--sample-bytes B] [--tsv] FILE...
//   core_bench --once [--pugixml] FILE...
//   core_bench --strict ...   the same with ParseOptions::strict set
//
// Each round times vorlane::parse_core and pugi::xml_document::load_buffer (parse_default,
// UTF-8) on every file, alternating which of the two goes first; the median round is
// reported. Both timings include freeing the result, since both keep it in a handful of
// large blocks. A file ending in ".xmls" holds several documents separated by NUL bytes;
// each is parsed on its own and a round covers all of them.
//
// --once parses every document of each file once with the core alone (with --pugixml:
// with pugixml alone) and prints the number of documents and elements: the run to count
// under callgrind (bench/instructions.sh).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "parser/parse_core.h"

namespace {

constexpr double kMB = 1e6;

struct Input {
  std::string path;
  std::string bytes;
  std::vector<std::string_view> documents;
};

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool strict_mode = false;

vorlane::ParseOptions bench_options() {
  vorlane::ParseOptions o;
  o.strict = strict_mode;
  o.forbid_external = false;  // real files name DTDs; they are recorded, never opened
  o.max_depth = 100000;
  o.max_text_size = std::uint64_t{1} << 40;
  o.max_attributes = 100000;
  o.max_attribute_size = std::uint64_t{1} << 32;
  o.max_name_size = std::uint64_t{1} << 16;
  o.max_comment_size = std::uint64_t{1} << 32;
  return o;
}

std::string describe(const vorlane::ParseResult& r) {
  if (r.status == vorlane::ParseResult::Status::OutOfMemory) return "out of memory";
  if (!r.failure) return "failed without a failure value";
  const vorlane::ParseFailure& f = *r.failure;
  if (f.kind() == vorlane::FailureKind::Syntax) return "syntax: " + f.message();
  return "failure kind " + std::to_string(static_cast<int>(f.kind()));
}

// Element count of a pugixml tree, walked without recursion (documents nest deeply).
std::size_t count_elements(const pugi::xml_document& doc) {
  std::size_t count = 0;
  pugi::xml_node node = doc.first_child();
  while (node) {
    if (node.type() == pugi::node_element) ++count;
    if (pugi::xml_node child = node.first_child()) {
      node = child;
      continue;
    }
    while (!node.next_sibling()) {
      node = node.parent();
      if (!node || node.type() == pugi::node_document) return count;
    }
    node = node.next_sibling();
  }
  return count;
}

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Row {
  std::string path;
  std::size_t size = 0;
  std::size_t core_elements = 0;
  std::size_t pugi_elements = 0;
  double core_seconds = -1;  // per pass over the file; negative when not measured
  double pugi_seconds = -1;
  double paired_ratio = -1;  // median over rounds of pugixml's time / the core's in that round
  std::string status = "ok";
};

// Each timed sample parses the file as many times as it takes to cover `sample_bytes`, so
// small files still give samples far above the clock's resolution.
Row bench_one(const Input& in, int repeats, double sample_bytes) {
  Row row;
  row.path = in.path;
  row.size = in.bytes.size() - (in.documents.size() - 1);  // separators are not parsed
  const vorlane::ParseOptions options = bench_options();

  // Correctness first: both must accept every document; count elements on the way.
  std::string core_error, pugi_error;
  for (std::string_view d : in.documents) {
    vorlane::ParseResult r = vorlane::parse_core(d.data(), d.size(), options);
    if (r.status != vorlane::ParseResult::Status::Ok) {
      core_error = "core: " + describe(r);
      break;
    }
    row.core_elements += r.document.nodes.size();
  }
  for (std::string_view d : in.documents) {
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_buffer(d.data(), d.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!r) {
      pugi_error = std::string("pugixml: ") + r.description();
      break;
    }
    row.pugi_elements += count_elements(doc);
  }
  const bool core_ok = core_error.empty(), pugi_ok = pugi_error.empty();
  if (!core_ok || !pugi_ok) {
    row.status = core_ok ? pugi_error : pugi_ok ? core_error : core_error + "; " + pugi_error;
  }
  if (!core_ok && !pugi_ok) return row;

  const int batch = std::max(1, static_cast<int>(std::lround(sample_bytes / std::max<double>(1, row.size))));
  auto time_core = [&] {
    const auto t0 = Clock::now();
    for (int b = 0; b < batch; ++b) {
      for (std::string_view d : in.documents) {
        vorlane::ParseResult r = vorlane::parse_core(d.data(), d.size(), options);
        if (r.status != vorlane::ParseResult::Status::Ok) std::abort();  // accepted above
      }
    }
    return std::chrono::duration<double>(Clock::now() - t0).count() / batch;
  };
  auto time_pugi = [&] {
    const auto t0 = Clock::now();
    for (int b = 0; b < batch; ++b) {
      for (std::string_view d : in.documents) {
        pugi::xml_document doc;
        if (!doc.load_buffer(d.data(), d.size(), pugi::parse_default, pugi::encoding_utf8)) std::abort();
      }
    }
    return std::chrono::duration<double>(Clock::now() - t0).count() / batch;
  };

  std::vector<double> core_times, pugi_times, ratios;
  for (int rep = 0; rep <= repeats; ++rep) {  // round 0 warms caches and the allocator
    double c = -1, p = -1;
    if (rep % 2 == 0) {
      if (core_ok) c = time_core();
      if (pugi_ok) p = time_pugi();
    } else {
      if (pugi_ok) p = time_pugi();
      if (core_ok) c = time_core();
    }
    if (rep == 0) continue;
    if (core_ok) core_times.push_back(c);
    if (pugi_ok) pugi_times.push_back(p);
    if (core_ok && pugi_ok && c > 0) ratios.push_back(p / c);
  }
  if (core_ok) row.core_seconds = median(core_times);
  if (pugi_ok) row.pugi_seconds = median(pugi_times);
  if (!ratios.empty()) row.paired_ratio = median(ratios);
  return row;
}

// One parse of each document, nothing else: what an instruction count should see.
bool parse_once(const Input& in, bool pugixml) {
  const vorlane::ParseOptions options = bench_options();
  std::size_t elements = 0;
  for (std::string_view d : in.documents) {
    if (pugixml) {
      pugi::xml_document doc;
      pugi::xml_parse_result r = doc.load_buffer(d.data(), d.size(), pugi::parse_default, pugi::encoding_utf8);
      if (!r) {
        std::fprintf(stderr, "%s: pugixml: %s\n", in.path.c_str(), r.description());
        return false;
      }
      elements += count_elements(doc);
      continue;
    }
    vorlane::ParseResult r = vorlane::parse_core(d.data(), d.size(), options);
    if (r.status != vorlane::ParseResult::Status::Ok) {
      std::fprintf(stderr, "%s: core: %s\n", in.path.c_str(), describe(r).c_str());
      return false;
    }
    elements += r.document.nodes.size();
  }
  std::printf("%s\t%zu\t%zu\n", in.path.c_str(), in.documents.size(), elements);
  return true;
}

std::string seconds_field(double s) {
  if (s < 0) return "-";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9f", s);
  return buf;
}

std::string rate(std::size_t size, double s) {
  if (s <= 0) return "–";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.0f", static_cast<double>(size) / kMB / s);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  int repeats = 9;
  double sample_bytes = 4e6;
  bool tsv = false;
  bool once = false;
  bool pugixml = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--tsv") {
      tsv = true;
    } else if (arg == "--once") {
      once = true;
    } else if (arg == "--strict") {
      strict_mode = true;
    } else if (arg == "--pugixml") {
      pugixml = true;
    } else if (arg == "--repeats" && i + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--sample-bytes" && i + 1 < argc) {
      sample_bytes = std::max(1.0, std::atof(argv[++i]));
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "usage: %s [--repeats N] [--sample-bytes B] [--tsv | --once [--pugixml]] FILE...\n", argv[0]);
      return 2;
    } else {
      paths.emplace_back(arg);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: %s [--repeats N] [--sample-bytes B] [--tsv | --once [--pugixml]] FILE...\n", argv[0]);
    return 2;
  }

  int status = 0;
  if (once) {
    std::printf("path\tdocuments\telements\n");
  } else if (tsv) {
    std::printf("path\tbytes\tcore_elements\tpugixml_elements\tcore_seconds\tpugixml_seconds\tstatus\n");
  } else {
    std::printf("pugixml: load_buffer with parse_default; median of %d rounds; paired: median over the rounds of\n"
                "pugixml's time / the core's in the same round (above 1: the core is faster)\n\n",
                repeats);
    std::printf("| File | MB | Elements | core MB/s | pugixml MB/s | pugixml/core | paired |\n");
    std::printf("|---|--:|--:|--:|--:|--:|--:|\n");
  }
  for (const std::string& path : paths) {
    Input in;
    in.path = path;
    if (!read_file(path, in.bytes)) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      status = 1;
      continue;
    }
    if (ends_with(path, ".xmls")) {
      std::string_view rest(in.bytes);
      for (std::size_t cut; (cut = rest.find('\0')) != std::string_view::npos; rest.remove_prefix(cut + 1)) {
        in.documents.push_back(rest.substr(0, cut));
      }
      in.documents.push_back(rest);
    } else {
      in.documents.emplace_back(in.bytes);
    }
    if (once) {
      if (!parse_once(in, pugixml)) status = 1;
      continue;
    }
    const Row row = bench_one(in, repeats, sample_bytes);
    if (row.status != "ok") status = 1;
    if (tsv) {
      std::printf("%s\t%zu\t%zu\t%zu\t%s\t%s\t%s\n", row.path.c_str(), row.size, row.core_elements,
                  row.pugi_elements, seconds_field(row.core_seconds).c_str(),
                  seconds_field(row.pugi_seconds).c_str(), row.status.c_str());
    } else {
      const std::size_t slash = path.find_last_of('/');
      const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
      std::string ratio = "–";
      if (row.core_seconds > 0 && row.pugi_seconds > 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f", row.pugi_seconds / row.core_seconds);
        ratio = buf;
      }
      std::string paired = "–";
      if (row.paired_ratio > 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f", row.paired_ratio);
        paired = buf;
      }
      std::printf("| %s | %.1f | %zu | %s | %s | %s | %s |\n", name.c_str(), static_cast<double>(row.size) / kMB,
                  row.core_elements, rate(row.size, row.core_seconds).c_str(),
                  rate(row.size, row.pugi_seconds).c_str(), ratio.c_str(), paired.c_str());
      if (row.status != "ok") std::printf("\n%s: %s\n\n", name.c_str(), row.status.c_str());
    }
    std::fflush(stdout);
  }
  return status;
}
