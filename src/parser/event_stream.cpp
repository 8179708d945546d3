#include "parser/event_stream.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "parser/keyed_hash.h"
#include "tokenizer/scan.h"

namespace vorlane {

namespace {

// Arena bytes past which what no later piece needs is dropped (it is only ever dropped once
// the arena has doubled since, so the copying stays linear in what was written).
constexpr std::size_t kArenaSlack = 64 * 1024;
// Bytes of attribute storage kept between feeds: a few tags' worth, so that small pieces
// allocate none, while a large piece's attributes are freed with its events.
constexpr std::size_t kAttributeReserve = 4 * 1024;

// The set bits of a 16-bit mask. Inline: the baseline x86-64 target has no popcount
// instruction, and __builtin_popcount would become a library call per block.
inline unsigned bits_in(unsigned mask) {
  mask = mask - ((mask >> 1) & 0x5555u);
  mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
  mask = (mask + (mask >> 4)) & 0x0F0Fu;
  return (mask + (mask >> 8)) & 0x1Fu;
}

}  // namespace

EventStream::EventStream(const ParseOptions& options) : options_(options) {
  const HashKey key = make_parse_hash_key(this);
  driver_ = std::make_unique<Driver<true>>(options_, doc_, key, events_);
  arena_floor_ = kArenaSlack;
}

EventStream::~EventStream() = default;

void EventStream::compact_arena() {
  if (doc_.arena.size() < arena_floor_) return;
  std::string kept;
  driver_->keep_arena([&](StringRef& ref) {
    if (ref.where() != StringRef::Where::Arena) return;
    const std::size_t offset = kept.size();
    kept.append(doc_.bytes(ref));
    ref = StringRef{offset, ref.length(), StringRef::Where::Arena};
  });
  doc_.arena = std::move(kept);
  arena_floor_ = 2 * doc_.arena.size() + kArenaSlack;
}

void EventStream::advance(LineCount& count, const char* p, const char* end) {
  // Blocks of 16 first: line feeds and characters are counted at once; a carriage return
  // sends the rest to the byte loop, which pairs it with a following line feed.
  std::uint64_t lines = count.lines;
  std::uint64_t column = count.column;
  if (count.after_cr && p < end && *p == '\n') ++p;  // the second half of a "\r\n" cut by a drop
  count.after_cr = false;
  bool after_cr = false;
  while (p < end) {
    if (end - p >= 16 && !after_cr && scan::mask16<'\r'>(p) == 0) {
      const unsigned feeds = scan::mask16<'\n'>(p);
      const unsigned starts = ~scan::continuation_mask16(p) & 0xFFFFu;  // first bytes of characters
      if (feeds == 0) {
        column += static_cast<std::uint64_t>(bits_in(starts));
      } else {
        lines += static_cast<std::uint64_t>(bits_in(feeds));
        const unsigned last = 31u - static_cast<unsigned>(__builtin_clz(feeds));
        column = static_cast<std::uint64_t>(bits_in(starts >> last >> 1));
      }
      p += 16;
      continue;
    }
    const char* const stop = end - p > 16 ? p + 16 : end;
    for (; p < stop; ++p) {
      const char c = *p;
      if (c == '\r' || (c == '\n' && !after_cr)) {
        ++lines;
        column = 0;
      } else if (c != '\n' && (static_cast<unsigned char>(c) & 0xC0u) != 0x80u) {
        ++column;
      }
      after_cr = c == '\r';
    }
  }
  count.after_cr = after_cr;
  count.lines = lines;
  count.column = column;
}

EventStream::Position EventStream::position(std::uint64_t offset) const {
  LineCount count = at_base_;
  const std::uint64_t in_buffer = offset < base_ ? 0 : offset - base_;
  const std::size_t to = in_buffer < buffer_.size() ? static_cast<std::size_t>(in_buffer) : buffer_.size();
  advance(count, buffer_.data(), buffer_.data() + to);
  return Position{count.lines + 1, count.column};
}

EventStream::Status EventStream::feed(const char* data, std::size_t size, bool final) noexcept {
  if (status_ != Status::Ok || finished_) {
    events_.clear();
    return status_;
  }
  try {
    // What the previous feed reported has been read.
    events_.clear();
    doc_.attributes.clear_keeping(kAttributeReserve);
    compact_arena();
    // The bytes before the parked construct go once they are half the buffer, so that a
    // long construct fed in small pieces is not moved again for every piece.
    std::size_t dropped = 0;
    if (consumed_ > 0 && consumed_ >= buffer_.size() - consumed_) {
      advance(at_base_, buffer_.data(), buffer_.data() + consumed_);
      buffer_.erase(0, consumed_);
      base_ += consumed_;
      dropped = consumed_;
      consumed_ = 0;
    }
    if (size > 0) buffer_.append(data, size);
    driver_->set_input(buffer_, dropped, base_, final);
    if (auto failure = driver_->run()) {
      failure_ = std::move(failure);
      failure_offset_ = driver_->failure_offset();
      status_ = Status::Failed;
      return status_;
    }
    if (final) {
      finished_ = true;
    } else {
      consumed_ = driver_->consumed();
      driver_->release_input();
    }
  } catch (const std::bad_alloc&) {
    status_ = Status::OutOfMemory;
  } catch (const std::length_error&) {
    status_ = Status::OutOfMemory;
  }
  if (status_ == Status::OutOfMemory) events_.clear();
  return status_;
}

}  // namespace vorlane
