#include "parser/event_stream.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "parser/keyed_hash.h"

namespace vorlane {

namespace {

// Arena bytes past which what no later piece needs is dropped (it is only ever dropped once
// the arena has doubled since, so the copying stays linear in what was written).
constexpr std::size_t kArenaSlack = 64 * 1024;

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

EventStream::Status EventStream::feed(const char* data, std::size_t size, bool final) noexcept {
  if (status_ != Status::Ok || finished_) {
    events_.clear();
    return status_;
  }
  try {
    // What the previous feed reported has been read.
    events_.clear();
    doc_.attributes.clear();
    compact_arena();
    // The bytes before the parked construct go once they are half the buffer, so that a
    // long construct fed in small pieces is not moved again for every piece.
    std::size_t dropped = 0;
    if (consumed_ > 0 && consumed_ >= buffer_.size() - consumed_) {
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
