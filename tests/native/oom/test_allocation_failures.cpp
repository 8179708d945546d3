// Allocation failures in the core: for every document of the table, the parse is run once to
// count its allocations, then once per allocation N with the N-th allocation failing, and
// once more per N with every allocation from the N-th on failing. Each of these runs must end
// in ParseResult::Status::OutOfMemory with no tree and no failure value, must not crash under
// the sanitizers, and must give back every block it took. Some documents go the same way
// through EventStream in small pieces, where the held construct, the arena and the names move
// between feeds.
//
// Built as a binary of its own: it replaces the global operator new and delete, and the
// link wraps malloc, calloc, realloc and free (-Wl,--wrap=...), which the core's block storage calls
// directly, so every allocation of the core passes through the counters below.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "check.h"
#include "tree_dump.h"
#include "parser/event_stream.h"
#include "parser/parse_core.h"

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_realloc(void* p, std::size_t size);
void __real_free(void* p);
}

namespace {

struct Counters {
  bool armed = false;        // count and fail only inside the parse under test
  std::uint64_t seen = 0;    // allocations while armed
  std::uint64_t fail_at = 0;  // 0: none fails
  bool fail_onwards = false;  // every allocation from fail_at on fails, not only that one
  std::int64_t live = 0;     // blocks taken and not yet given back, armed or not
};
Counters counters;

// Whether the next allocation is to fail.
bool next_fails() {
  if (!counters.armed) return false;
  const std::uint64_t n = ++counters.seen;
  return counters.fail_at != 0 && (n == counters.fail_at || (counters.fail_onwards && n > counters.fail_at));
}

void* take(std::size_t size) {
  if (next_fails()) return nullptr;
  void* p = __real_malloc(size == 0 ? 1 : size);
  if (p != nullptr) ++counters.live;
  return p;
}

void give_back(void* p) {
  if (p == nullptr) return;
  --counters.live;
  __real_free(p);
}

void* take_aligned(std::size_t size, std::align_val_t alignment) {
  if (next_fails()) return nullptr;
  const auto a = static_cast<std::size_t>(alignment);
  void* p = std::aligned_alloc(a, (size + a - 1) / a * a);  // freed by __real_free below
  if (p != nullptr) ++counters.live;
  return p;
}

}  // namespace

extern "C" {
void* __wrap_malloc(std::size_t size) { return take(size); }
void* __wrap_calloc(std::size_t count, std::size_t size) {
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) return nullptr;
  void* p = take(count * size);
  if (p != nullptr) std::memset(p, 0, count * size);
  return p;
}
void __wrap_free(void* p) { give_back(p); }
void* __wrap_realloc(void* p, std::size_t size) {
  if (p == nullptr) return take(size);
  if (next_fails()) return nullptr;  // the old block stays with the caller
  return __real_realloc(p, size);
}
}

void* operator new(std::size_t size) {
  if (void* p = take(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return take(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return take(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* p = take_aligned(size, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) { return ::operator new(size, alignment); }
void operator delete(void* p) noexcept { give_back(p); }
void operator delete[](void* p) noexcept { give_back(p); }
void operator delete(void* p, std::size_t) noexcept { give_back(p); }
void operator delete[](void* p, std::size_t) noexcept { give_back(p); }
void operator delete(void* p, std::align_val_t) noexcept { give_back(p); }
void operator delete[](void* p, std::align_val_t) noexcept { give_back(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { give_back(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { give_back(p); }

namespace {

using vorlane::ParseOptions;
using vorlane::ParseResult;

struct Document {
  const char* label;
  std::string text;
  ParseOptions options;
  const char* outcome;  // the start of parse_outcome() without any failure
};

ParseOptions entities_allowed() {
  ParseOptions options;
  options.forbid_entities = false;
  options.forbid_external = false;
  return options;
}

ParseOptions depth(std::uint64_t limit) {
  ParseOptions options;
  options.max_depth = limit;
  return options;
}

std::string repeated(const std::string& part, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += part;
  return out;
}

std::string many_names() {
  std::string out = "<r>";
  for (int i = 0; i < 300; ++i) out += "<n" + std::to_string(i) + " a" + std::to_string(i) + "='v'/>";
  return out + "</r>";
}

std::string many_attributes() {
  std::string out = "<r";
  for (int i = 0; i < 70; ++i) out += " k" + std::to_string(i) + "='&amp;" + std::to_string(i) + "'";
  return out + "/>";
}

// Past the block size of the node storage (a second block and the first one's doublings),
// and past the size from which the arena is reserved up front.
std::string large() {
  return "<r xmlns:p='urn:p'>" + repeated("<p:e a='x&lt;y'>t&amp;u<![CDATA[c]]></p:e>\n", 7000) + "</r>";
}

std::vector<Document> documents() {
  return {
      {"empty element", "<a/>", {}, "OK"},
      {"text and tail", "<a>x<b>y</b>z<!-- c -->w<?p i?></a>", {}, "OK"},
      {"references and CDATA", "<a>&lt;&#65;&#x20AC;<![CDATA[<&>]]>t&amp;</a>", {}, "OK"},
      {"attributes", "<a x='1' y=\"&quot;&#66;\" z=''><b x='2' y='3'/><b x='4' y='5'/></a>", {}, "OK"},
      {"namespaces",
       "<p:r xmlns:p='urn:p' xmlns='urn:d'><a p:x='1' xml:lang='en'><q:b xmlns:q='urn:q' q:y='2'/></a>"
       "<c xmlns=''/></p:r>",
       {}, "OK"},
      {"many names", many_names(), {}, "OK"},
      {"many attributes", many_attributes(), {}, "OK"},
      {"deep", repeated("<d>", 300) + "x" + repeated("</d>", 300), {}, "OK"},
      {"prolog and DOCTYPE", "\xEF\xBB\xBF<?xml version='1.0'?><!DOCTYPE r [<!ELEMENT r ANY>]>\n<r/>\n", {}, "OK"},
      {"large", large(), {}, "OK"},
      {"syntax error", "<a><b></a>", {}, "ERR ill-formed document"},
      {"undefined entity", "<a>&foo;</a>", entities_allowed(), "ERR Undefined entity"},
      {"attribute error", "<a x='1' x='2'/>", {}, "ERR position 8"},
      {"namespace error", "<a xmlns:xml='x'/>", {}, "ERR the namespace prefix"},
      {"entity declared", "<!DOCTYPE r [<!ENTITY a 'b'>]><r/>", {}, "FAIL"},
      {"external identifier", "<!DOCTYPE r SYSTEM 'x.dtd'><r/>", {}, "FAIL"},
      {"too deep", "<a><b><c/></b></a>", depth(2), "FAIL"},
      {"no root", "  <!-- only a comment -->", {}, "ERR No XML root element found"},
  };
}

struct Run {
  ParseResult::Status status;
  bool failure;
  bool nodes;
  std::int64_t leaked;
  bool reached;  // the allocation meant to fail came
};

Run run(const Document& d, std::uint64_t fail_at, bool onwards) {
  const std::int64_t before = counters.live;
  Run r{};
  {
    counters.seen = 0;
    counters.fail_at = fail_at;
    counters.fail_onwards = onwards;
    counters.armed = true;
    ParseResult result = vorlane::parse_core(d.text.data(), d.text.size(), d.options);
    counters.armed = false;
    r.status = result.status;
    r.failure = result.failure.has_value();
    r.nodes = !result.document.nodes.empty();
  }
  r.reached = counters.seen >= fail_at;
  r.leaked = counters.live - before;
  return r;
}

}  // namespace

TEST(allocation_failures_end_in_out_of_memory) {
  std::uint64_t total = 0;
  for (const Document& d : documents()) {
    const Run clean = run(d, 0, false);
    const std::uint64_t allocations = counters.seen;
    const std::string outcome = parse_outcome(d.text, d.options);
    CHECK_EQ(outcome.substr(0, std::string(d.outcome).size()), std::string(d.outcome));
    CHECK(clean.status != ParseResult::Status::OutOfMemory);
    CHECK_EQ(clean.leaked, std::int64_t{0});
    CHECK(allocations > 0 || clean.failure);  // a refusal before the first element needs no heap
    std::uint64_t as_expected = 0;
    for (std::uint64_t n = 1; n <= allocations; ++n) {
      for (bool onwards : {false, true}) {
        const Run r = run(d, n, onwards);
        // The count can differ from run to run (the name table's hash key is drawn per parse, and
        // a rare long probe moves it to a keyed hash, which allocates): a run in which the failing
        // allocation never came is a clean run and must end as one.
        const bool ok = r.leaked == 0 && (r.reached ? r.status == ParseResult::Status::OutOfMemory && !r.failure && !r.nodes
                                                    : r.status == clean.status && r.failure == clean.failure);
        if (!ok) {
          std::fprintf(stderr, "  %s: allocation %llu%s failing: status %d, failure %d, nodes %d, leaked %lld\n",
                       d.label, static_cast<unsigned long long>(n), onwards ? " and later" : "",
                       static_cast<int>(r.status), r.failure, r.nodes, static_cast<long long>(r.leaked));
        }
        CHECK(ok);
        as_expected += ok;
      }
    }
    std::printf("allocation failures: %-22s %4llu allocations, %4llu of %4llu runs OutOfMemory without a leak\n",
                d.label, static_cast<unsigned long long>(allocations), static_cast<unsigned long long>(as_expected),
                static_cast<unsigned long long>(2 * allocations));
    total += allocations;
  }
  std::printf("allocation failures: %llu allocation sites over %zu documents, each failed alone and onwards\n",
              static_cast<unsigned long long>(total), documents().size());
}

namespace {

using vorlane::EventStream;

// The documents of the table fed in pieces of this many bytes.
struct Streamed {
  const char* label;
  std::size_t piece;
};
const Streamed kStreamed[] = {
    {"text and tail", 3}, {"attributes", 5},      {"namespaces", 4},  {"many names", 16},
    {"deep", 7},          {"prolog and DOCTYPE", 2}, {"large", 4096}, {"syntax error", 1},
    {"entity declared", 6}, {"too deep", 2},      {"no root", 3},
};

struct StreamRun {
  EventStream::Status status;
  bool consistent;  // every feed after the first non-Ok one gave that status and no events
  std::int64_t leaked;
};

StreamRun run_stream(const Document& d, std::size_t piece, std::uint64_t fail_at, bool onwards) {
  const std::int64_t before = counters.live;
  StreamRun r{EventStream::Status::Ok, true, 0};
  counters.seen = 0;
  counters.fail_at = fail_at;
  counters.fail_onwards = onwards;
  counters.armed = true;
  try {
    EventStream stream(d.options);
    for (std::size_t at = 0; at < d.text.size() || at == 0; at += piece) {
      const std::size_t size = std::min(piece, d.text.size() - at);
      const EventStream::Status status = stream.feed(d.text.data() + at, size, at + size == d.text.size());
      if (r.status != EventStream::Status::Ok && (status != r.status || !stream.events().empty())) {
        r.consistent = false;
      }
      r.status = status;
      if (at + size == d.text.size()) break;
    }
  } catch (const std::bad_alloc&) {
    r.status = EventStream::Status::OutOfMemory;  // the constructor's
  }
  counters.armed = false;
  r.leaked = counters.live - before;
  return r;
}

}  // namespace

TEST(allocation_failures_in_pieces_end_in_out_of_memory) {
  const std::vector<Document> table = documents();
  std::uint64_t total = 0;
  for (const Streamed& s : kStreamed) {
    const Document* d = nullptr;
    for (const Document& candidate : table) {
      if (std::string(candidate.label) == s.label) d = &candidate;
    }
    CHECK(d != nullptr);
    if (d == nullptr) continue;
    const StreamRun clean = run_stream(*d, s.piece, 0, false);
    const std::uint64_t allocations = counters.seen;
    CHECK(clean.status != EventStream::Status::OutOfMemory && clean.consistent && clean.leaked == 0);
    for (std::uint64_t n = 1; n <= allocations; ++n) {
      for (bool onwards : {false, true}) {
        const StreamRun r = run_stream(*d, s.piece, n, onwards);
        // A run that never reached allocation n is undisturbed.
        const EventStream::Status expected = counters.seen >= n ? EventStream::Status::OutOfMemory : clean.status;
        const bool ok = r.status == expected && r.consistent && r.leaked == 0;
        if (!ok) {
          std::fprintf(stderr,
                       "  %s in pieces of %zu: allocation %llu%s failing: status %d, consistent %d, leaked %lld\n",
                       s.label, s.piece, static_cast<unsigned long long>(n), onwards ? " and later" : "",
                       static_cast<int>(r.status), r.consistent, static_cast<long long>(r.leaked));
        }
        CHECK(ok);
      }
    }
    total += allocations;
  }
  std::printf("allocation failures in pieces: %llu allocation sites over %zu documents, each failed alone and "
              "onwards\n",
              static_cast<unsigned long long>(total), std::size(kStreamed));
}
