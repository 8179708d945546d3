// The EventParser type: an input fed in pieces, each feed's completed events handed back as
// tuples. The interpreter lock is released while a large piece is parsed.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>

#include "module/module.h"
#include "module/py_ref.h"
#include "parser/event_stream.h"

namespace vorlane {
namespace {

// Pieces at least this large are parsed without the interpreter lock.
constexpr Py_ssize_t kReleaseLockBytes = 64 * 1024;

enum Kind { kStart, kEnd, kData, kComment, kPi, kStartNs, kEndNs, kKinds };
constexpr const char* kKindNames[kKinds] = {"start", "end", "data", "comment", "pi", "start-ns", "end-ns"};

struct EventParserObject {
  PyObject_HEAD
  EventStream* stream;
  PyObject* names;             // list: name id -> str, filled as ids appear
  PyObject* kinds[kKinds];     // the kind strings of the event tuples
  bool busy;                   // a feed is under way: another one must not start
  bool failure_raised;         // the failure was raised once; later feeds say so
};

EventParserObject* as_parser(PyObject* self) { return reinterpret_cast<EventParserObject*>(self); }

PyObject* decode(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
}

// Borrowed: the str of name id `id`.
PyObject* name_of(EventParserObject* self, std::uint32_t id) {
  const Document& doc = self->stream->document();
  for (Py_ssize_t next = PyList_Size(self->names); next <= static_cast<Py_ssize_t>(id); ++next) {
    PyRef name(decode(doc.name(static_cast<std::uint32_t>(next))));
    if (!name || PyList_Append(self->names, name.get()) < 0) return nullptr;
  }
  return PyList_GetItem(self->names, id);
}

PyObject* event_tuple(EventParserObject* self, const StreamEvent& event) {
  const Document& doc = self->stream->document();
  PyRef offset(PyLong_FromUnsignedLongLong(event.offset));
  if (!offset) return nullptr;
  switch (event.kind) {
    case StreamEvent::Kind::Start: {
      PyObject* tag = name_of(self, event.name);
      PyRef attrib(PyDict_New());
      if (!tag || !attrib) return nullptr;
      for (std::uint32_t i = 0; i < event.attribute_count; ++i) {
        const Attribute& attribute = doc.attributes[event.first_attribute + i];
        PyObject* key = name_of(self, attribute.name);
        PyRef value(decode(doc.bytes(attribute.value)));
        if (!key || !value || PyDict_SetItem(attrib.get(), key, value.get()) < 0) return nullptr;
      }
      return PyTuple_Pack(4, self->kinds[kStart], tag, attrib.get(), offset.get());
    }
    case StreamEvent::Kind::End: {
      PyObject* tag = name_of(self, event.name);
      return tag ? PyTuple_Pack(3, self->kinds[kEnd], tag, offset.get()) : nullptr;
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
  }
  PyErr_SetString(PyExc_SystemError, "unknown event kind");
  return nullptr;
}

// feed(data, final=False, out) -> None: parses `data` after what was fed before and appends
// the events it completes to the list `out`, then raises the failure if the parse failed:
// the events before a failure are in `out` when it propagates.
PyObject* parser_feed(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  EventParserObject* self = as_parser(self_object);
  static const char* keywords[] = {"data", "final", "out", nullptr};
  Py_buffer data;
  int final = 0;
  PyObject* out = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*pO!:feed", const_cast<char**>(keywords), &data, &final,
                                   &PyList_Type, &out)) {
    return nullptr;
  }
  std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&data, PyBuffer_Release);
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "feed() called while another feed of the same parser is under way");
    return nullptr;
  }
  if (self->failure_raised) {
    PyErr_SetString(PyExc_ValueError, "the parse has already failed");
    return nullptr;
  }
  if (self->stream->finished()) {
    PyErr_SetString(PyExc_ValueError, "the input has already ended");
    return nullptr;
  }
  self->busy = true;
  EventStream::Status status;
  const char* bytes = static_cast<const char*>(data.buf);
  const auto size = static_cast<std::size_t>(data.len);
  if (data.len >= kReleaseLockBytes) {
    EventStream* stream = self->stream;
    Py_BEGIN_ALLOW_THREADS
    status = stream->feed(bytes, size, final != 0);
    Py_END_ALLOW_THREADS
  } else {
    status = self->stream->feed(bytes, size, final != 0);
  }
  self->busy = false;
  if (status == EventStream::Status::OutOfMemory) return PyErr_NoMemory();
  for (const StreamEvent& event : self->stream->events()) {
    PyRef tuple(event_tuple(self, event));
    if (!tuple || PyList_Append(out, tuple.get()) < 0) return nullptr;
  }
  if (status == EventStream::Status::Failed) {
    self->failure_raised = true;
    return raise_parse_failure(self->stream->take_failure());
  }
  Py_RETURN_NONE;
}

PyObject* parser_error_offset(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(as_parser(self)->stream->failure_offset());
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
  self->names = PyList_New(0);
  if (!self->names) return nullptr;
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

void parser_dealloc(PyObject* self_object) {
  EventParserObject* self = as_parser(self_object);
  PyTypeObject* type = Py_TYPE(self_object);
  delete self->stream;
  Py_XDECREF(self->names);
  for (PyObject* kind : self->kinds) Py_XDECREF(kind);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self_object);
  Py_DECREF(type);
}

PyMethodDef parser_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_feed)), METH_VARARGS | METH_KEYWORDS,
     "feed(data, final, out)\n--\n\nParses data after the bytes fed before (final: they are the last) and appends "
     "the events completed to the list out; raises the failure after appending the events before it."},
    {"error_offset", parser_error_offset, METH_NOARGS,
     "error_offset()\n--\n\nThe byte offset, in the whole input, of the construct where the parse failed."},
    {"bytes_fed", parser_bytes_fed, METH_NOARGS, "bytes_fed()\n--\n\nThe bytes fed so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_methods, parser_methods},
    {Py_tp_doc, const_cast<char*>("EventParser(**options)\n--\n\nAn XML input parsed as it is fed, in pieces.")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "vorlane._vorlane.EventParser",
    sizeof(EventParserObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    parser_slots,
};

}  // namespace

int add_event_parser_type(PyObject* module) {
  PyRef type(PyType_FromModuleAndSpec(module, &parser_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "EventParser", type.get());
}

}  // namespace vorlane
