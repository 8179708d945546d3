// The events of an input fed to EventStream in given pieces, as text: what the split
// invariance of the stream is checked on, here and in fuzz_stream.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "parser/event_stream.h"

namespace stream_dump {

inline void append_events(const vorlane::EventStream& stream, std::string& out) {
  using Kind = vorlane::StreamEvent::Kind;
  const vorlane::Document& doc = stream.document();
  // A name, and in parentheses how it is written where that differs.
  const auto name = [&](std::uint32_t id, std::uint32_t raw) {
    std::string text(doc.name(id));
    if (raw != id) text += '(' + std::string(doc.name(raw)) + ')';
    return text;
  };
  for (const vorlane::StreamEvent& e : stream.events()) {
    out += '@' + std::to_string(e.offset) + ' ';
    switch (e.kind) {
      case Kind::Start:
        out += "start " + name(e.name, e.raw_name);
        for (std::uint32_t i = 0; i < e.attribute_count; ++i) {
          const vorlane::Attribute& a = doc.attributes[e.first_attribute + i];
          out += ' ' + name(a.name, a.raw_name) + "=[" + std::string(doc.bytes(a.value)) + ']';
        }
        break;
      case Kind::End: out += "end " + name(e.name, e.raw_name); break;
      case Kind::Data: out += "data [" + std::string(doc.bytes(e.text)) + ']'; break;
      case Kind::Comment: out += "comment [" + std::string(doc.bytes(e.text)) + ']'; break;
      case Kind::Instruction:
        out += "pi [" + std::string(doc.bytes(e.text)) + "] [" + std::string(doc.bytes(e.value)) + ']';
        break;
      case Kind::StartNs:
        out += "start-ns [" + std::string(doc.bytes(e.text)) + "] [" + std::string(doc.bytes(e.value)) + ']';
        break;
      case Kind::EndNs: out += "end-ns [" + std::string(doc.bytes(e.text)) + ']'; break;
      case Kind::Doctype: {
        const vorlane::StreamDoctype& d = stream.doctype();
        out += "doctype";
        for (const vorlane::StringRef* part : {&d.name, &d.public_id, &d.system_id, &d.internal_subset}) {
          out += part->present() ? " [" + std::string(doc.bytes(*part)) + ']' : std::string(" -");
        }
        break;
      }
    }
    out += '\n';
  }
}

// The kind and the whole payload: a cutting must not change an identifier either.
inline std::string failure_text(const vorlane::ParseFailure& f) {
  using vorlane::FailureKind;
  auto put = [](const vorlane::OptString& s) { return s ? " [" + *s + ']' : std::string(" -"); };
  std::string out = "failed kind=" + std::to_string(static_cast<int>(f.kind())) + ' ';
  switch (f.kind()) {
    case FailureKind::Syntax: return out + f.message();
    case FailureKind::DtdForbidden: return out + f.dtd().name + put(f.dtd().system_id) + put(f.dtd().public_id);
    case FailureKind::EntitiesForbidden: {
      const auto& e = f.entity();
      return out + e.name + put(e.value) + put(e.system_id) + put(e.public_id) + put(e.notation_name);
    }
    case FailureKind::ExternalReferenceForbidden:
      return out + put(f.external().system_id) + put(f.external().public_id);
    default: return out + std::to_string(f.limit());
  }
}

// The events and outcome of `input` fed in pieces that end at `cuts` (ascending offsets),
// then an empty final feed.
inline std::string run(const std::string& input, const std::vector<std::size_t>& cuts,
                       const vorlane::ParseOptions& options = {}) {
  vorlane::EventStream stream(options);
  std::string out;
  std::size_t from = 0;
  auto feed = [&](std::size_t to, bool final) {
    const auto status = stream.feed(input.data() + from, to - from, final);
    from = to;
    append_events(stream, out);
    if (status == vorlane::EventStream::Status::Failed) {
      const auto at = stream.position(stream.failure_offset());
      out += failure_text(*stream.failure()) + " @" + std::to_string(stream.failure_offset()) + ' ' +
             std::to_string(at.line) + ':' + std::to_string(at.column) + '\n';
    } else if (status == vorlane::EventStream::Status::OutOfMemory) {
      out += "out of memory\n";
    }
    return status == vorlane::EventStream::Status::Ok;
  };
  for (std::size_t cut : cuts) {
    if (!feed(cut, false)) return out;
  }
  if (feed(input.size(), true)) out += "ok\n";
  return out;
}

}  // namespace stream_dump
