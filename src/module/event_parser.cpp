// The EventParser type: an input fed in pieces, each feed's completed events handed back as
// tuples. The interpreter lock is released while a large piece is parsed.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "module/accelerator.h"
#include "module/module.h"
#include "module/py_ref.h"
#include "parser/event_stream.h"

namespace vorlane {
namespace {

// Pieces at least this large are parsed without the interpreter lock.
constexpr Py_ssize_t kReleaseLockBytes = 64 * 1024;

enum Kind { kStart, kEnd, kData, kComment, kPi, kStartNs, kEndNs, kDoctype, kKinds };
constexpr const char* kKindNames[kKinds] = {"start", "end", "data", "comment", "pi", "start-ns", "end-ns", "doctype"};

PyObject* decode(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
}

// Short strings decoded before, by their bytes: the values and texts a document repeats
// (kinds, flags, units, codes) are decoded once and shared by the elements, which saves an
// allocation and a decoding each. A slot keeps its string while it is hit more often than
// missed, so that unique values (ids, coordinates) passing through do not evict the others.
class ShortStrings {
 public:
  static constexpr std::size_t kLongest = 16;

  ShortStrings() = default;
  ShortStrings(const ShortStrings&) = delete;
  ShortStrings& operator=(const ShortStrings&) = delete;
  ~ShortStrings() {
    for (Slot& slot : slots_) Py_XDECREF(slot.str);
  }

  // A new reference: the str of `bytes`, which are 1 to kLongest bytes of UTF-8.
  PyObject* get(std::string_view bytes) {
    std::uint64_t words[2];
    load(bytes, words);
    std::uint64_t h = (words[0] * 0x9E3779B97F4A7C15u) ^ (words[1] * 0xC2B2AE3D27D4EB4Fu) ^ bytes.size();
    h ^= h >> 29;
    Slot& slot = slots_[static_cast<std::size_t>((h * 0xBF58476D1CE4E5B9u) >> (64 - kSlotBits))];
    if (slot.words[0] == words[0] && slot.words[1] == words[1] && slot.length == bytes.size() && slot.str) {
      if (slot.credit < kMaxCredit) ++slot.credit;
      return Py_NewRef(slot.str);
    }
    PyObject* str = decode(bytes);
    if (str == nullptr || (slot.credit > 0 && --slot.credit > 0)) return str;
    PyObject* old = slot.str;
    slot.str = Py_NewRef(str);
    slot.words[0] = words[0];
    slot.words[1] = words[1];
    slot.length = static_cast<std::uint32_t>(bytes.size());
    slot.credit = 1;
    Py_XDECREF(old);
    return str;
  }

 private:
  // The bytes as two words that, with the length, tell them apart: fixed-size loads, each
  // within the bytes (overlapping for lengths short of 16), as a copy of a variable size
  // followed by word loads stalls on the store.
  static std::uint64_t load8(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  }
  static std::uint32_t load4(const char* p) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    return word;
  }
  static void load(std::string_view bytes, std::uint64_t (&words)[2]) {
    const char* p = bytes.data();
    const std::size_t n = bytes.size();
    if (n >= 8) {
      words[0] = load8(p);
      words[1] = load8(p + n - 8);
    } else if (n >= 4) {
      words[0] = load4(p);
      words[1] = load4(p + n - 4);
    } else {
      words[0] = static_cast<unsigned char>(p[0]) | static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
                 static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
      words[1] = 0;
    }
  }

  static constexpr unsigned kSlotBits = 9;
  static constexpr std::uint32_t kMaxCredit = 4;
  struct Slot {
    std::uint64_t words[2] = {0, 0};  // the bytes, as load() gives them
    PyObject* str = nullptr;
    std::uint32_t length = 0;
    std::uint32_t credit = 0;  // hits minus misses since stored, at most kMaxCredit
  };

  Slot slots_[std::size_t{1} << kSlotBits];
};

struct EventParserObject {
  PyObject_HEAD
  EventStream* stream;
  // Name id -> str, filled as ids appear: each tag and attribute name is decoded once.
  PyObject** names;
  std::uint32_t name_count;
  std::uint32_t name_capacity;
  PyObject* kinds[kKinds];     // the kind strings of the event tuples
  bool busy;                   // a feed is under way: another one must not start
  PyObject* failure;           // what the parse failed with: later feeds raise it again
  // After bind(): each event goes to the target's handler of its kind, and the kinds in
  // `wanted` are listed as (kind, what the handler returned).
  bool bound;
  bool accelerated;            // the target is the accelerator's own TreeBuilder
  unsigned wanted;             // bit per Kind
  PyObject* target;
  PyObject* handlers[kKinds];  // callables or null
  PyObject* empty_attrib;      // given to the accelerated builder for elements without attributes
  TreeBuilderEntries entries;
  // Deferred (bind's last argument): a feed that is not the last only parses, and take()
  // dispatches its events a few at a time. A reader that takes a slice, handles it and drops
  // it keeps only a slice of Elements alive at once: a whole feed's worth alive together
  // outlives young collections and is promoted, and the full collections that follow
  // traverse the whole tree again and again.
  bool deferred;
  std::size_t next_event;      // the first event of the last feed not yet dispatched
  // After select(): start and end events are listed only for the tags in `tags` (decided
  // once a name id, in `tag_kinds`: 0 undecided, 1 listed, 2 not), and with `release` each
  // listed end's element waits in `to_free`, beside its parent, for free_next(). The loop
  // that reads an event before the next one frees what it has moved past, and the tree never
  // holds more than the open elements and those not yet read.
  PyObject* tags;
  std::vector<std::uint8_t>* tag_kinds;
  bool release;
  std::vector<PyObject*>* open_elements;                    // what start returned, outermost first
  std::deque<std::pair<PyObject*, PyObject*>>* to_free;     // element, parent (null for the root)
  ShortStrings* short_strings;  // made at the first value or text dispatched
  // After direct(out): piece() feeds a bytes or str piece itself, its events listed in `out`.
  PyObject* direct_out;
};

EventParserObject* as_parser(PyObject* self) { return reinterpret_cast<EventParserObject*>(self); }

// A new reference: the str of a value or text to dispatch.
PyObject* decode_value(EventParserObject* self, std::string_view bytes) {
  if (bytes.empty() || bytes.size() > ShortStrings::kLongest) return decode(bytes);
  if (self->short_strings == nullptr) {
    self->short_strings = new (std::nothrow) ShortStrings();
    if (self->short_strings == nullptr) return PyErr_NoMemory();
  }
  return self->short_strings->get(bytes);
}

// A new reference: the str of `ref`, or None when it is absent.
PyObject* decode_optional(const Document& doc, const StringRef& ref) {
  return ref.present() ? decode(doc.bytes(ref)) : Py_NewRef(Py_None);
}

// The DOCTYPE's name, public id and system id, then its internal subset when `subset`: new
// references, all set or (on failure) none.
bool doctype_parts(EventParserObject* self, PyRef (&parts)[4], bool subset) {
  const Document& doc = self->stream->document();
  const StreamDoctype& doctype = self->stream->doctype();
  const StringRef* refs[] = {&doctype.name, &doctype.public_id, &doctype.system_id, &doctype.internal_subset};
  for (int i = 0; i < (subset ? 4 : 3); ++i) {
    parts[i].reset(decode_optional(doc, *refs[i]));
    if (!parts[i]) return false;
  }
  return true;
}

// The names up to id `id`, decoded; borrowed: the str of `id`.
[[gnu::noinline]] PyObject* add_names(EventParserObject* self, std::uint32_t id) {
  if (id >= self->name_capacity) {
    const std::uint32_t capacity = id < 32 ? 64 : 2 * id;
    auto* grown = static_cast<PyObject**>(PyMem_Realloc(self->names, capacity * sizeof(PyObject*)));
    if (!grown) return PyErr_NoMemory();
    self->names = grown;
    self->name_capacity = capacity;
  }
  const Document& doc = self->stream->document();
  for (; self->name_count <= id; ++self->name_count) {
    PyObject* name = decode(doc.name(self->name_count));
    if (!name) return nullptr;
    self->names[self->name_count] = name;
  }
  return self->names[id];
}

// Borrowed: the str of name id `id`.
inline PyObject* name_of(EventParserObject* self, std::uint32_t id) {
  return id < self->name_count ? self->names[id] : add_names(self, id);
}

PyObject* event_tuple(EventParserObject* self, const StreamEvent& event) {
  const Document& doc = self->stream->document();
  PyRef offset(PyLong_FromUnsignedLongLong(event.offset));
  if (!offset) return nullptr;
  switch (event.kind) {
    case StreamEvent::Kind::Start: {
      // (kind, tag, attrib, offset, the tag as written, ((key as written, key, value), ...))
      PyObject* tag = name_of(self, event.name);
      PyObject* qname = name_of(self, event.raw_name);
      PyRef attrib(PyDict_New());
      PyRef written(PyTuple_New(event.attribute_count));
      if (!tag || !qname || !attrib || !written) return nullptr;
      for (std::uint32_t i = 0; i < event.attribute_count; ++i) {
        const Attribute& attribute = doc.attributes[event.first_attribute + i];
        PyObject* key = name_of(self, attribute.name);
        PyObject* raw_key = name_of(self, attribute.raw_name);
        PyRef value(decode(doc.bytes(attribute.value)));
        if (!key || !raw_key || !value || PyDict_SetItem(attrib.get(), key, value.get()) < 0) return nullptr;
        PyObject* item = PyTuple_Pack(3, raw_key, key, value.get());
        if (!item || PyTuple_SetItem(written.get(), i, item) < 0) return nullptr;
      }
      return PyTuple_Pack(6, self->kinds[kStart], tag, attrib.get(), offset.get(), qname, written.get());
    }
    case StreamEvent::Kind::End: {
      // (kind, tag, offset, the tag as written)
      PyObject* tag = name_of(self, event.name);
      PyObject* qname = name_of(self, event.raw_name);
      return tag && qname ? PyTuple_Pack(4, self->kinds[kEnd], tag, offset.get(), qname) : nullptr;
    }
    case StreamEvent::Kind::Data:
    case StreamEvent::Kind::Comment:
    case StreamEvent::Kind::EndNs: {
      PyRef text(decode(doc.bytes(event.text)));
      const Kind kind = event.kind == StreamEvent::Kind::Data ? kData
                        : event.kind == StreamEvent::Kind::Comment ? kComment : kEndNs;
      return text ? PyTuple_Pack(3, self->kinds[kind], text.get(), offset.get()) : nullptr;
    }
    case StreamEvent::Kind::Instruction:
    case StreamEvent::Kind::StartNs: {
      PyRef text(decode(doc.bytes(event.text)));
      PyRef value(decode(doc.bytes(event.value)));
      if (!text || !value) return nullptr;
      const Kind kind = event.kind == StreamEvent::Kind::Instruction ? kPi : kStartNs;
      return PyTuple_Pack(4, self->kinds[kind], text.get(), value.get(), offset.get());
    }
    case StreamEvent::Kind::Doctype: {
      // (kind, name, public id, system id, internal subset, offset), None for a part absent
      PyRef parts[4];
      if (!doctype_parts(self, parts, true)) return nullptr;
      return PyTuple_Pack(6, self->kinds[kDoctype], parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get(),
                          offset.get());
    }
  }
  PyErr_SetString(PyExc_SystemError, "unknown event kind");
  return nullptr;
}

// A new reference: handler(args...), or None without a handler.
PyObject* call_handler(PyObject* handler, PyObject* const* args, std::size_t count) {
  if (handler == nullptr) return Py_NewRef(Py_None);
  return PyObject_Vectorcall(handler, args, count, nullptr);
}

// 1 when the start or end of an element named `id` (decoded already) is listed under
// select()'s tags, 0 when not, -1 with an exception set.
int tag_listed(EventParserObject* self, std::uint32_t id) {
  if (self->tags == nullptr) return 1;
  std::vector<std::uint8_t>& kinds = *self->tag_kinds;
  if (id >= kinds.size()) {
    try {
      kinds.resize(std::size_t{id} + 1, 0);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return -1;
    }
  }
  if (kinds[id] == 0) {
    const int found = PySet_Contains(self->tags, self->names[id]);
    if (found < 0) return -1;
    kinds[id] = found ? 1 : 2;
  }
  return kinds[id] == 1 ? 1 : 0;
}

int list_event(EventParserObject* self, Kind kind, PyObject* value, PyObject* out) {
  if ((self->wanted & (1u << kind)) == 0) return 0;
  PyRef event(PyTuple_New(2));
  if (!event) return -1;
  PyTuple_SetItem(event.get(), 0, Py_NewRef(self->kinds[kind]));
  PyTuple_SetItem(event.get(), 1, Py_NewRef(value));
  return PyList_Append(out, event.get());
}

// The event to the target, as the standard parser hands it over; -1 with an exception set.
int dispatch(EventParserObject* self, const StreamEvent& event, PyObject* out) {
  const Document& doc = self->stream->document();
  switch (event.kind) {
    case StreamEvent::Kind::Start: {
      PyObject* tag = name_of(self, event.name);
      if (!tag) return -1;
      PyRef attrib;
      if (event.attribute_count != 0 || !self->accelerated) {
        attrib.reset(PyDict_New());
        if (!attrib) return -1;
      }
      for (std::uint32_t i = 0; i < event.attribute_count; ++i) {
        const Attribute& attribute = doc.attributes[event.first_attribute + i];
        PyObject* key = name_of(self, attribute.name);
        PyRef value(decode_value(self, doc.bytes(attribute.value)));
        if (!key || !value || PyDict_SetItem(attrib.get(), key, value.get()) < 0) return -1;
      }
      PyObject* args[] = {tag, attrib ? attrib.get() : self->empty_attrib};
      PyRef result(self->accelerated ? self->entries.start(self->target, args, 2)
                                     : call_handler(self->handlers[kStart], args, 2));
      if (!result) return -1;
      if (self->release) {
        try {
          self->open_elements->push_back(result.get());
        } catch (const std::bad_alloc&) {
          PyErr_NoMemory();
          return -1;
        }
        Py_INCREF(result.get());
      }
      const int listed = tag_listed(self, event.name);
      return listed <= 0 ? listed : list_event(self, kStart, result.get(), out);
    }
    case StreamEvent::Kind::End: {
      PyObject* tag = name_of(self, event.name);
      if (!tag) return -1;
      PyRef result(self->accelerated ? self->entries.end(self->target, tag)
                                     : call_handler(self->handlers[kEnd], &tag, 1));
      if (!result) return -1;
      PyRef parent;
      if (self->release && !self->open_elements->empty()) {
        Py_DECREF(self->open_elements->back());
        self->open_elements->pop_back();
        if (!self->open_elements->empty()) parent.reset(Py_NewRef(self->open_elements->back()));
      }
      const int listed = tag_listed(self, event.name);
      if (listed <= 0) return listed;
      if (self->release && (self->wanted & (1u << kEnd)) != 0) {
        try {
          self->to_free->emplace_back(result.get(), parent.get());
        } catch (const std::bad_alloc&) {
          PyErr_NoMemory();
          return -1;
        }
        Py_INCREF(result.get());
        parent.release();
      }
      return list_event(self, kEnd, result.get(), out);
    }
    case StreamEvent::Kind::Data: {
      if (!self->accelerated && self->handlers[kData] == nullptr) return 0;
      PyRef text(decode_value(self, doc.bytes(event.text)));
      if (!text) return -1;
      PyObject* arg = text.get();
      PyRef result(self->accelerated ? self->entries.data(self->target, arg) : call_handler(self->handlers[kData], &arg, 1));
      return result ? 0 : -1;
    }
    case StreamEvent::Kind::Comment:
    case StreamEvent::Kind::Instruction: {
      const Kind kind = event.kind == StreamEvent::Kind::Comment ? kComment : kPi;
      if (self->handlers[kind] == nullptr) return 0;
      PyRef text(decode(doc.bytes(event.text)));
      PyRef value(kind == kPi ? decode(doc.bytes(event.value)) : nullptr);
      if (!text || (kind == kPi && !value)) return -1;
      PyObject* args[] = {text.get(), value.get()};
      PyRef result(call_handler(self->handlers[kind], args, kind == kPi ? 2 : 1));
      return result ? list_event(self, kind, result.get(), out) : -1;
    }
    case StreamEvent::Kind::StartNs: {
      PyRef prefix(decode(doc.bytes(event.text)));
      PyRef uri(decode(doc.bytes(event.value)));
      if (!prefix || !uri) return -1;
      PyObject* args[] = {prefix.get(), uri.get()};
      PyRef ignored(call_handler(self->handlers[kStartNs], args, 2));
      PyRef pair(ignored ? PyTuple_Pack(2, prefix.get(), uri.get()) : nullptr);
      return pair ? list_event(self, kStartNs, pair.get(), out) : -1;
    }
    case StreamEvent::Kind::EndNs: {
      PyRef prefix(decode(doc.bytes(event.text)));
      if (!prefix) return -1;
      PyObject* arg = prefix.get();
      PyRef ignored(call_handler(self->handlers[kEndNs], &arg, 1));
      return ignored ? list_event(self, kEndNs, Py_None, out) : -1;
    }
    case StreamEvent::Kind::Doctype: {
      // doctype(name, public id, system id), as the standard parser calls it; never listed.
      if (self->handlers[kDoctype] == nullptr) return 0;
      PyRef parts[4];
      if (!doctype_parts(self, parts, false)) return -1;
      PyObject* args[] = {parts[0].get(), parts[1].get(), parts[2].get()};
      PyRef ignored(call_handler(self->handlers[kDoctype], args, 3));
      return ignored ? 0 : -1;
    }
  }
  return 0;
}

// Keeps the exception being raised for the feeds that follow; returns nullptr.
PyObject* keep_failure(EventParserObject* self) {
  PyObject* raised = PyErr_GetRaisedException();
  Py_XDECREF(self->failure);
  self->failure = Py_XNewRef(raised);
  PyErr_SetRaisedException(raised);
  return nullptr;
}

// Dispatches the events of the last feed not yet dispatched, until `out` has grown by `limit`
// or none is left; -1 with the exception kept as the parser's failure.
int dispatch_pending(EventParserObject* self, PyObject* out, Py_ssize_t limit) {
  const std::vector<StreamEvent>& events = self->stream->events();
  const Py_ssize_t listed = PyList_Size(out);
  const Py_ssize_t until = limit > PY_SSIZE_T_MAX - listed ? PY_SSIZE_T_MAX : listed + limit;
  // A handler may feed this parser again or raise: neither may meet a batch half read.
  self->busy = true;
  while (self->next_event < events.size() && PyList_Size(out) < until) {
    if (dispatch(self, events[self->next_event++], out) < 0) {
      self->busy = false;
      self->next_event = events.size();  // the rest of the batch is lost: nothing may follow
      keep_failure(self);
      return -1;
    }
  }
  self->busy = false;
  return 0;
}

// bind(target, handlers, wanted, deferred=False) -> None: from now on each event goes to the
// handler of its kind in `handlers` (a tuple of callables or None in the order start, end,
// data, comment, pi, start_ns, end_ns, doctype), and feed lists the kinds named in `wanted` as
// (kind, result); deferred: as take() asks for them, see EventParserObject::deferred.
PyObject* parser_bind(PyObject* self_object, PyObject* args) {
  EventParserObject* self = as_parser(self_object);
  PyObject* target = nullptr;
  PyObject* handlers = nullptr;
  PyObject* wanted = nullptr;
  int deferred = 0;
  if (!PyArg_ParseTuple(args, "OO!O|p:bind", &target, &PyTuple_Type, &handlers, &wanted, &deferred)) return nullptr;
  if (PyTuple_Size(handlers) != kKinds) {
    PyErr_Format(PyExc_ValueError, "bind() takes %d handlers", static_cast<int>(kKinds));
    return nullptr;
  }
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "bind() called while a feed of the same parser is under way");
    return nullptr;
  }
  if (self->bound && self->next_event < self->stream->events().size()) {
    PyErr_SetString(PyExc_RuntimeError, "bind() called while events fed are not yet taken");
    return nullptr;
  }
  unsigned bits = 0;
  PyRef iterator(PyObject_GetIter(wanted));
  if (!iterator) return nullptr;
  while (PyRef name{PyIter_Next(iterator.get())}) {
    int found = -1;
    for (int k = 0; k < kKinds && found < 0; ++k) {
      const int equal = PyObject_RichCompareBool(name.get(), self->kinds[k], Py_EQ);
      if (equal < 0) return nullptr;
      if (equal) found = k;
    }
    if (found < 0 || found == kData || found == kDoctype) {
      PyErr_Format(PyExc_ValueError, "unknown event %R", name.get());
      return nullptr;
    }
    bits |= 1u << found;
  }
  if (PyErr_Occurred()) return nullptr;
  for (int k = 0; k < kKinds; ++k) {
    PyObject* handler = PyTuple_GetItem(handlers, k);
    PyObject* old = self->handlers[k];
    self->handlers[k] = handler == Py_None ? nullptr : Py_NewRef(handler);
    Py_XDECREF(old);
  }
  PyObject* old_target = self->target;
  self->target = Py_NewRef(target);
  Py_XDECREF(old_target);
  self->accelerated = find_builder_entries(target, &self->entries);
  if (self->accelerated && !self->empty_attrib) {
    self->empty_attrib = PyDict_New();
    if (!self->empty_attrib) return nullptr;
  }
  self->wanted = bits;
  self->deferred = deferred != 0;
  self->bound = true;
  Py_RETURN_NONE;
}

// Drops the open path and the elements waiting to be freed.
void drop_released(EventParserObject* self) {
  if (self->open_elements) {
    for (PyObject* element : *self->open_elements) Py_DECREF(element);
    self->open_elements->clear();
  }
  if (self->to_free) {
    for (auto& [element, parent] : *self->to_free) {
      Py_DECREF(element);
      Py_XDECREF(parent);
    }
    self->to_free->clear();
  }
}

// select(tags, release) -> None: see EventParserObject::tags; release only before the first feed.
PyObject* parser_select(PyObject* self_object, PyObject* args) {
  EventParserObject* self = as_parser(self_object);
  PyObject* tags = nullptr;
  int release = 0;
  if (!PyArg_ParseTuple(args, "Op:select", &tags, &release)) return nullptr;
  if (tags != Py_None && !PyFrozenSet_Check(tags)) {
    PyErr_SetString(PyExc_TypeError, "select() takes a frozenset of tags or None");
    return nullptr;
  }
  if (!self->bound || self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "select() comes after bind() and outside a feed");
    return nullptr;
  }
  // The path of open elements starts with the first feed: with elements opened before, the
  // parent of an element freed would not be known.
  if (release && self->stream->bytes_fed() != 0) {
    PyErr_SetString(PyExc_ValueError, "elements can be released only by a parser not fed yet");
    return nullptr;
  }
  try {
    if (!self->tag_kinds) self->tag_kinds = new std::vector<std::uint8_t>();
    if (!self->open_elements) self->open_elements = new std::vector<PyObject*>();
    if (!self->to_free) self->to_free = new std::deque<std::pair<PyObject*, PyObject*>>();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  PyObject* old_tags = self->tags;
  self->tags = tags == Py_None ? nullptr : Py_NewRef(tags);
  Py_XDECREF(old_tags);
  self->tag_kinds->clear();
  self->release = release != 0;
  Py_RETURN_NONE;
}

// free_next() -> None: the element of the oldest listed end event still waiting is cleared
// and taken out of its parent (where the reader has not taken it out already).
PyObject* parser_free_next(PyObject* self_object, PyObject*) {
  EventParserObject* self = as_parser(self_object);
  if (!self->to_free || self->to_free->empty()) Py_RETURN_NONE;
  PyRef element(self->to_free->front().first);
  PyRef parent(self->to_free->front().second);
  self->to_free->pop_front();
  PyRef cleared(PyObject_CallMethod(element.get(), "clear", nullptr));
  if (!cleared) return nullptr;
  if (parent) {
    PyRef removed(PyObject_CallMethod(parent.get(), "remove", "O", element.get()));
    if (!removed) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
      PyErr_Clear();
    }
  }
  Py_RETURN_NONE;
}

// The feed of `size` bytes at `bytes`, which stay put until it returns; see parser_feed.
PyObject* feed_piece(EventParserObject* self, const char* bytes, Py_ssize_t size, bool final, PyObject* out) {
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "feed() called while another feed of the same parser is under way");
    return nullptr;
  }
  if (self->failure != nullptr) {
    PyErr_SetRaisedException(Py_NewRef(self->failure));
    return nullptr;
  }
  if (self->stream->finished()) {
    PyErr_SetString(PyExc_ValueError, "the input has already ended");
    return nullptr;
  }
  // The events of the feed before go first: the stream reuses their storage.
  if (self->bound && self->next_event < self->stream->events().size() &&
      dispatch_pending(self, out, PY_SSIZE_T_MAX) < 0) {
    return nullptr;
  }
  self->busy = true;
  EventStream::Status status;
  if (size >= kReleaseLockBytes) {
    EventStream* stream = self->stream;
    Py_BEGIN_ALLOW_THREADS
    status = stream->feed(bytes, static_cast<std::size_t>(size), final);
    Py_END_ALLOW_THREADS
  } else {
    status = self->stream->feed(bytes, static_cast<std::size_t>(size), final);
  }
  self->busy = false;
  const std::vector<StreamEvent>& events = self->stream->events();
  const bool dispatching = self->bound && status != EventStream::Status::OutOfMemory;
  self->next_event = dispatching ? 0 : events.size();
  if (status == EventStream::Status::OutOfMemory) return PyErr_NoMemory();
  if (self->bound) {
    // The last feed is dispatched whole: what follows it (the target's close) needs every event.
    if ((!self->deferred || final) && !events.empty() && dispatch_pending(self, out, PY_SSIZE_T_MAX) < 0) {
      return nullptr;
    }
  } else {
    for (const StreamEvent& event : events) {
      PyRef tuple(event_tuple(self, event));
      if (!tuple || PyList_Append(out, tuple.get()) < 0) return nullptr;
    }
  }
  if (status == EventStream::Status::Failed) {
    raise_parse_failure(self->stream->take_failure());
    return keep_failure(self);
  }
  Py_RETURN_NONE;
}

// feed(data, final, out) -> None: parses `data` after what was fed before and appends
// the events it completes to the list `out`, then raises the failure if the parse failed:
// the events before a failure are in `out` when it propagates.
PyObject* parser_feed(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs) {
  EventParserObject* self = as_parser(self_object);
  // The usual call, from Feeder: a bytes object (immutable, and the caller's reference keeps
  // it alive for the call, lock released or not), a bool and a list, read without the
  // general parsing and the buffer protocol, which cost more than a feed of a few bytes.
  if (nargs == 3 && PyBytes_CheckExact(args[0]) && (args[1] == Py_True || args[1] == Py_False) &&
      PyList_Check(args[2])) {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(args[0], &bytes, &size) < 0) return nullptr;
    return feed_piece(self, bytes, size, args[1] == Py_True, args[2]);
  }
  // Any other buffer, truth value or list: the general parsing, whose messages these are.
  PyRef packed(PyTuple_New(nargs));
  if (!packed) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SetItem(packed.get(), i, Py_NewRef(args[i]));
  Py_buffer data;
  int final = 0;
  PyObject* out = nullptr;
  if (!PyArg_ParseTuple(packed.get(), "y*pO!:feed", &data, &final, &PyList_Type, &out)) return nullptr;
  std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&data, PyBuffer_Release);
  return feed_piece(self, static_cast<const char*>(data.buf), data.len, final != 0, out);
}

// direct(out) -> None: from now on piece() feeds what it can read (bytes as they are, a str
// as UTF-8) as feed(data, False, out) does; direct(None), or once the input has ended or
// failed: nothing. For a caller whose pieces need no decoding: a piece of a byte or two
// then costs little more than the calls that bring it.
PyObject* parser_direct(PyObject* self_object, PyObject* out) {
  EventParserObject* self = as_parser(self_object);
  if (out != Py_None && !PyList_Check(out)) {
    PyErr_SetString(PyExc_TypeError, "direct() takes a list or None");
    return nullptr;
  }
  // An input that has ended or failed takes no piece: feed() says why.
  const bool open = !self->stream->finished() && self->failure == nullptr;
  PyObject* old = self->direct_out;
  self->direct_out = out == Py_None || !open ? nullptr : Py_NewRef(out);
  Py_XDECREF(old);
  Py_RETURN_NONE;
}

// piece(data) -> bool: True if `data` was fed (see direct()), with its events listed; False,
// and nothing done, if the caller must feed it.
PyObject* parser_piece(PyObject* self_object, PyObject* data) {
  EventParserObject* self = as_parser(self_object);
  if (self->direct_out == nullptr) Py_RETURN_FALSE;
  PyRef encoded;
  PyObject* bytes_object = data;
  if (!PyBytes_CheckExact(data)) {
    if (!PyUnicode_CheckExact(data)) Py_RETURN_FALSE;
    encoded.reset(PyUnicode_AsUTF8String(data));
    if (!encoded) {
      PyErr_Clear();  // a str that has no UTF-8 form: the caller's decoding says why
      Py_RETURN_FALSE;
    }
    bytes_object = encoded.get();
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes_object, &bytes, &size) < 0) return nullptr;
  if (size > 0) {
    PyRef out = PyRef::borrow(self->direct_out);  // a handler may call direct() meanwhile
    PyRef done(feed_piece(self, bytes, size, false, out.get()));
    if (!done) return nullptr;
  }
  Py_RETURN_TRUE;
}

// take(out, limit) -> None: dispatches events of a deferred feed until `limit` more are listed
// in `out` or none is left (then `out` has not grown).
PyObject* parser_take(PyObject* self_object, PyObject* args) {
  EventParserObject* self = as_parser(self_object);
  PyObject* out = nullptr;
  Py_ssize_t limit = 0;
  if (!PyArg_ParseTuple(args, "O!n:take", &PyList_Type, &out, &limit)) return nullptr;
  if (limit < 1) {
    PyErr_SetString(PyExc_ValueError, "take() needs a limit of at least 1");
    return nullptr;
  }
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "take() called while a feed of the same parser is under way");
    return nullptr;
  }
  if (self->bound && dispatch_pending(self, out, limit) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* parser_error_offset(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(as_parser(self)->stream->failure_offset());
}

PyObject* parser_position(PyObject* self, PyObject* offset_object) {
  const unsigned long long offset = PyLong_AsUnsignedLongLong(offset_object);
  if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  const EventStream::Position at = as_parser(self)->stream->position(offset);
  PyRef line(PyLong_FromUnsignedLongLong(at.line));
  PyRef column(PyLong_FromUnsignedLongLong(at.column));
  return line && column ? PyTuple_Pack(2, line.get(), column.get()) : nullptr;
}

PyObject* parser_bytes_fed(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(as_parser(self)->stream->bytes_fed());
}

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "EventParser() takes keyword options only");
    return nullptr;
  }
  ParseOptions options;
  if (convert_keyword_options(kwargs, &options, "EventParser") < 0) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef self_ref(alloc(type, 0));
  if (!self_ref) return nullptr;
  EventParserObject* self = as_parser(self_ref.get());
  for (int k = 0; k < kKinds; ++k) {
    self->kinds[k] = PyUnicode_InternFromString(kKindNames[k]);
    if (!self->kinds[k]) return nullptr;
  }
  try {
    self->stream = new EventStream(options);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self_ref.release();
}

// The parser takes part in the cycle collection: its kept failure's traceback holds the
// frames the failure passed, whose locals often hold the parser, and a target's handlers
// may hold it too. Without this, every such parser, with its buffer, would never be freed.
int parser_traverse(PyObject* self_object, visitproc visit, void* arg) {
  EventParserObject* self = as_parser(self_object);
  Py_VISIT(Py_TYPE(self_object));
  Py_VISIT(self->failure);
  Py_VISIT(self->target);
  for (PyObject* handler : self->handlers) Py_VISIT(handler);
  Py_VISIT(self->empty_attrib);
  Py_VISIT(self->tags);
  if (self->open_elements) {
    for (PyObject* element : *self->open_elements) Py_VISIT(element);
  }
  if (self->to_free) {
    for (auto& [element, parent] : *self->to_free) {
      Py_VISIT(element);
      Py_VISIT(parent);
    }
  }
  Py_VISIT(self->direct_out);
  return 0;  // the decoded names are str, which hold no references
}

int parser_clear(PyObject* self_object) {
  EventParserObject* self = as_parser(self_object);
  self->bound = false;  // nothing may call a target or handler cleared here
  self->accelerated = false;
  Py_CLEAR(self->failure);
  Py_CLEAR(self->target);
  for (PyObject*& handler : self->handlers) Py_CLEAR(handler);
  Py_CLEAR(self->empty_attrib);
  Py_CLEAR(self->tags);
  self->release = false;
  drop_released(self);
  Py_CLEAR(self->direct_out);
  return 0;
}

void parser_dealloc(PyObject* self_object) {
  EventParserObject* self = as_parser(self_object);
  PyTypeObject* type = Py_TYPE(self_object);
  PyObject_GC_UnTrack(self_object);
  delete self->stream;
  for (std::uint32_t i = 0; i < self->name_count; ++i) Py_DECREF(self->names[i]);
  PyMem_Free(self->names);
  for (PyObject* kind : self->kinds) Py_XDECREF(kind);
  for (PyObject* handler : self->handlers) Py_XDECREF(handler);
  Py_XDECREF(self->target);
  Py_XDECREF(self->empty_attrib);
  Py_XDECREF(self->direct_out);
  Py_XDECREF(self->failure);
  Py_XDECREF(self->tags);
  drop_released(self);
  delete self->tag_kinds;
  delete self->open_elements;
  delete self->to_free;
  delete self->short_strings;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self_object);
  Py_DECREF(type);
}

PyMethodDef parser_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_feed)), METH_FASTCALL,
     "feed($self, data, final, out, /)\n--\n\nParses data after the bytes fed before (final: they are the last) and appends "
     "the events completed to the list out; raises the failure after appending the events before it."},
    {"bind", parser_bind, METH_VARARGS,
     "bind($self, target, handlers, wanted, deferred=False, /)\n--\n\nSends each later event to the handler of its "
     "kind in handlers (callables or None: start, end, data, comment, pi, start_ns, end_ns, doctype), and has feed list the "
     "kinds named in wanted as (kind, what the handler returned). An exact standard TreeBuilder target is called "
     "directly. deferred: a feed that is not the last only parses; take() and the next feed dispatch its events."},
    {"direct", parser_direct, METH_O,
     "direct($self, out, /)\n--\n\nFrom now on piece() feeds bytes as they are and a str as UTF-8, as feed(data, False, "
     "out) does; with None, nothing."},
    {"piece", parser_piece, METH_O,
     "piece($self, data, /)\n--\n\nTrue if data was fed (see direct()), its events listed; False, with nothing done, "
     "if the caller must feed it."},
    {"take", parser_take, METH_VARARGS,
     "take($self, out, limit, /)\n--\n\nDispatches events of a deferred feed until limit more are listed in out or "
     "none is left."},
    {"select", parser_select, METH_VARARGS,
     "select($self, tags, release, /)\n--\n\nLists start and end events only of elements whose tag is in tags (a "
     "frozenset, or None for all); release: each listed end's element waits for free_next() (only before the first "
     "feed). After bind()."},
    {"free_next", parser_free_next, METH_NOARGS,
     "free_next($self, /)\n--\n\nClears the element of the oldest listed end event not yet freed and takes it out "
     "of its parent."},
    {"error_offset", parser_error_offset, METH_NOARGS,
     "error_offset($self, /)\n--\n\nThe byte offset, in the whole input, of the construct where the parse failed."},
    {"position", parser_position, METH_O,
     "position($self, offset, /)\n--\n\nThe (line, column) of byte offset of the input, line from 1, column from 0 in "
     "characters; for an offset at or after the first byte the parser still holds, as error_offset() is."},
    {"bytes_fed", parser_bytes_fed, METH_NOARGS, "bytes_fed($self, /)\n--\n\nThe bytes fed so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(parser_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(parser_clear)},
    {Py_tp_methods, parser_methods},
    {Py_tp_doc, const_cast<char*>("EventParser(**options)\n--\n\nAn XML input parsed as it is fed, in pieces.")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "vorlane._events.EventParser",
    sizeof(EventParserObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    parser_slots,
};

}  // namespace

int add_event_parser_type(PyObject* module) {
  PyRef type(PyType_FromModuleAndSpec(module, &parser_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "EventParser", type.get());
}

}  // namespace vorlane
