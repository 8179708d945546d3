// An input read in pieces, as events: each feed parses what the bytes so far complete and
// reports it as StreamEvents, keeping between feeds only the unfinished construct, the open
// elements, the namespace scopes and the names. The same driver and tokenizer as parse_core:
// for any cutting of an input into pieces, the events and the failure are those of the whole
// input fed at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/document.h"
#include "common/parse_failure.h"
#include "common/parse_options.h"
#include "parser/driver.h"

namespace vorlane {

class EventStream {
 public:
  enum class Status : unsigned char { Ok, Failed, OutOfMemory };

  explicit EventStream(const ParseOptions& options);  // throws std::bad_alloc
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Parses `size` more bytes; `final`: they are the last. The events completed are then in
  // events(), their strings in document(), until the next feed. After a failure or an
  // allocation failure every later feed returns the same status and reports nothing.
  // Never throws.
  Status feed(const char* data, std::size_t size, bool final) noexcept;

  const std::vector<StreamEvent>& events() const { return events_; }
  const Document& document() const { return doc_; }
  // The parts of the Doctype event among events(), if there is one.
  const StreamDoctype& doctype() const { return driver_->doctype(); }
  // After Status::Failed: the failure, and the offset in the whole input of the construct
  // where it happened.
  const std::optional<ParseFailure>& failure() const { return failure_; }
  // The failure, moved out (once).
  ParseFailure take_failure() {
    ParseFailure failure = std::move(*failure_);
    failure_.reset();
    return failure;
  }
  std::uint64_t failure_offset() const { return failure_offset_; }
  // Bytes fed so far.
  std::uint64_t bytes_fed() const { return base_ + buffer_.size(); }
  // Bytes held for the construct not yet complete.
  std::size_t bytes_held() const { return buffer_.size() - consumed_; }
  bool finished() const { return finished_; }

  // Line (from 1) and column (from 0, in characters) of byte `offset` of the whole input,
  // for an offset at or after the first byte still held (a failure's offset always is; a
  // later one is taken as the end of what was fed). "\n", "\r" and "\r\n" each end a line.
  struct Position {
    std::uint64_t line;
    std::uint64_t column;
  };
  Position position(std::uint64_t offset) const;

 private:
  void compact_arena();

  // Where a line stands after some bytes: the line ends and the characters since the last.
  struct LineCount {
    std::uint64_t lines = 0;
    std::uint64_t column = 0;
    bool after_cr = false;  // the last byte was "\r": a "\n" next ends no further line
  };
  static void advance(LineCount& count, const char* p, const char* end);

  ParseOptions options_;
  Document doc_;
  LineCount at_base_;  // of the bytes before buffer_[0]
  std::vector<StreamEvent> events_;
  std::unique_ptr<Driver<true>> driver_;
  std::string buffer_;         // from the first byte not yet dropped
  std::size_t consumed_ = 0;   // bytes of buffer_ read: the parked construct starts there
  std::uint64_t base_ = 0;     // offset of buffer_[0] in the whole input
  std::size_t arena_floor_ = 0;
  Status status_ = Status::Ok;
  bool finished_ = false;
  std::optional<ParseFailure> failure_;
  std::uint64_t failure_offset_ = 0;
};

}  // namespace vorlane
