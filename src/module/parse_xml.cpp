// The parse_xml entry: bind the arguments, convert the options, acquire the source bytes,
// parse with the interpreter lock released, then materialise the tree or raise.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string_view>

#include "common/parse_options.h"
#include "module/module.h"
#include "module/py_ref.h"
#include "parser/parse_core.h"

namespace vorlane {
namespace {

constexpr std::string_view kParameterNames[] = {
    "source",
#define VORLANE_PARAMETER_NAME(kind, name, value) #name,
    VORLANE_PARSE_OPTIONS(VORLANE_PARAMETER_NAME)
#undef VORLANE_PARAMETER_NAME
};
constexpr Py_ssize_t kParameterCount = static_cast<Py_ssize_t>(std::size(kParameterNames));

// Adds "while processing '<option>'" to the pending exception, which then propagates
// unchanged; a failing add_note is discarded.
void add_option_note(const char* option) {
  PyObject* raised = PyErr_GetRaisedException();
  PyRef method_name(PyUnicode_FromString("add_note"));
  PyRef note(PyUnicode_FromFormat("while processing '%s'", option));
  if (method_name && note) {
    PyObject* call_args[] = {raised, note.get()};
    PyRef ignored(PyObject_VectorcallMethod(method_name.get(), call_args,
                                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

int fail_not_bool(PyObject* obj) {
  if (obj == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bool'");
    return -1;
  }
  PyRef name(type_qualname(obj));
  if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bool'", name.get());
  return -1;
}

// numpy's booleans are accepted by duck typing, without importing numpy.
bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  PyRef name(module ? PyType_GetName(type) : nullptr);
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

int convert_option(PyObject* obj, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return 0;
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool_type(type)) return fail_not_bool(obj);
  PyRef method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return -1;
  }
  PyObject* call_args[] = {obj};
  PyRef result(PyObject_Vectorcall(method.get(), call_args, 1, nullptr));
  if (!result) return -1;
  if (result.get() != Py_True && result.get() != Py_False) return fail_not_bool(result.get());
  *out = result.get() == Py_True;
  return 0;
}

int convert_option(PyObject* obj, std::uint64_t* out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index.reset(PyNumber_Index(obj));
    if (!index) return -1;
    obj = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  *out = value;
  return 0;
}

// Converts the options in signature order (bound[0] is the source); the first failure
// ends the call.
int convert_options(PyObject* const* bound, ParseOptions* options) {
  PyObject* const* value = bound + 1;
#define VORLANE_CONVERT_OPTION(kind, name, default_value)                 \
  if (*value != nullptr && convert_option(*value, &options->name) < 0) { \
    add_option_note(#name);                                              \
    return -1;                                                           \
  }                                                                      \
  ++value;
  VORLANE_PARSE_OPTIONS(VORLANE_CONVERT_OPTION)
#undef VORLANE_CONVERT_OPTION
  return 0;
}

}  // namespace

int convert_keyword_options(PyObject* kwargs, ParseOptions* options, const char* function) {
  PyObject* bound[kParameterCount] = {};
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(kwargs, &at, &key, &value)) {
      Py_ssize_t length = 0;
      const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
      if (utf8 == nullptr) PyErr_Clear();
      Py_ssize_t index = -1;
      for (Py_ssize_t p = 1; utf8 != nullptr && p < kParameterCount; ++p) {
        if (kParameterNames[p] == std::string_view(utf8, static_cast<std::size_t>(length))) index = p;
      }
      // Not one of parse_xml's parameters: its signature stays as it is.
      if (utf8 != nullptr && std::string_view(utf8, static_cast<std::size_t>(length)) == "strict") {
        if (convert_option(value, &options->strict) < 0) {
          add_option_note("strict");
          return -1;
        }
        continue;
      }
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
        return -1;
      }
      bound[index] = value;
    }
  }
  return convert_options(bound, options);
}

namespace {

int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  if (nargs > kParameterCount) {
    PyErr_Format(PyExc_TypeError, "parse_xml() takes from 1 to %zd positional arguments but %zd were given",
                 kParameterCount, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  Py_ssize_t keyword_count = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    if (!keyword) return -1;
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &length);
    Py_ssize_t index = -1;
    if (!utf8) {
      PyErr_Clear();
    } else {
      std::string_view name(utf8, static_cast<std::size_t>(length));
      for (Py_ssize_t p = 0; p < kParameterCount; ++p) {
        if (kParameterNames[p] == name) {
          index = p;
          break;
        }
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "parse_xml() got an unexpected keyword argument '%U'", keyword);
      return -1;
    }
    if (bound[index]) {
      PyErr_Format(PyExc_TypeError, "parse_xml() got multiple values for argument '%U'", keyword);
      return -1;
    }
    bound[index] = args[nargs + k];
  }
  if (!bound[0]) {
    PyErr_SetString(PyExc_TypeError, "parse_xml() missing 1 required positional argument: 'source'");
    return -1;
  }
  return 0;
}

// The bytes to parse: borrowed from a str or bytes source, or owned (one copy of read()'s result).
struct SourceBytes {
  const char* data = nullptr;
  std::size_t length = 0;
  std::unique_ptr<char[]> owned;
};

// A str's UTF-8 form or a bytes object's storage, borrowed; false (no error set) for anything else.
bool borrow_text_or_bytes(PyObject* obj, const char** data, std::size_t* length) {
  Py_ssize_t size = 0;
  if (PyUnicode_Check(obj)) {
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8) {
      *data = utf8;
      *length = static_cast<std::size_t>(size);
      return true;
    }
    PyErr_Clear();  // a lone surrogate: the str is then treated as any other object
  } else if (PyBytes_Check(obj)) {
    char* bytes = nullptr;
    if (PyBytes_AsStringAndSize(obj, &bytes, &size) == 0) {
      *data = bytes;
      *length = static_cast<std::size_t>(size);
      return true;
    }
    PyErr_Clear();
  }
  return false;
}

int acquire_source(PyObject* source, SourceBytes* out) {
  if (borrow_text_or_bytes(source, &out->data, &out->length)) return 0;

  PyRef read_name(PyUnicode_FromString("read"));
  if (!read_name) return -1;
  PyRef read_attr(PyObject_GetAttr(source, read_name.get()));
  if (!read_attr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "source must be str, bytes, or file-like object with a read() method");
    return -1;
  }
  read_attr.reset();
  PyObject* call_args[] = {source};
  PyRef result(PyObject_VectorcallMethod(read_name.get(), call_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) return -1;
  const char* data = nullptr;
  std::size_t length = 0;
  if (!borrow_text_or_bytes(result.get(), &data, &length)) {
    PyErr_SetString(PyExc_ValueError, "source.read() must return str or bytes");
    return -1;
  }
  out->owned.reset(new char[length ? length : 1]);
  if (length) std::memcpy(out->owned.get(), data, length);
  out->data = out->owned.get();
  out->length = length;
  return 0;  // `result` is released here, before parsing starts
}

// module.name. For a plain module object a name found in its dict is what attribute access
// returns (the module type defines no such attribute itself); the dict lookup skips the
// generic path, which walks the type's bases first. Anything else takes attribute access.
PyObject* module_attribute(PyObject* module, PyObject* name) {
  if (PyModule_CheckExact(module)) {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name);  // borrowed
    if (found) return Py_NewRef(found);
    if (PyErr_Occurred()) return nullptr;
  }
  return PyObject_GetAttr(module, name);
}

PyObject* build_tree(Document& document) {
  // The module cache answers nearly every call; the import machinery that __import__ wraps
  // runs only when the module is not there (or is None there, which it reports). A non-empty
  // from-list makes that return the submodule itself rather than the top-level package.
  // PyImport_ImportModule would take the same path through a call of __import__ with
  // format-built arguments, which costs more than a small document's parse.
  PyRef module_name(PyUnicode_FromStringAndSize("xml.etree.ElementTree", 21));
  if (!module_name) return nullptr;
  PyRef class_name(PyUnicode_FromStringAndSize("Element", 7));
  if (!class_name) return nullptr;
  PyRef module(PyImport_GetModule(module_name.get()));
  if (!module) {
    if (PyErr_Occurred()) return nullptr;
  } else if (module.get() == Py_None) {
    module.reset();
  }
  if (!module) {
    PyRef from_list(PyTuple_New(1));
    if (!from_list || PyTuple_SetItem(from_list.get(), 0, Py_NewRef(class_name.get())) < 0) return nullptr;
    module.reset(PyImport_ImportModuleLevelObject(module_name.get(), nullptr, nullptr, from_list.get(), 0));
    if (!module) return nullptr;
  }
  PyRef element_class(module_attribute(module.get(), class_name.get()));
  if (!element_class) return nullptr;
  return materialize_tree(element_class.get(), document);
}

// The tree of `source_object` parsed under `options`, or nullptr with the failure raised.
PyObject* parse_to_tree(PyObject* source_object, const ParseOptions& options) {
  // Held for the whole call: a borrowed buffer stays valid while the lock is released.
  PyRef source = PyRef::borrow(source_object);
  SourceBytes bytes;
  if (acquire_source(source.get(), &bytes) < 0) return nullptr;

  ParseResult result;
  Py_BEGIN_ALLOW_THREADS
  result = parse_core(bytes.data, bytes.length, options);
  Py_END_ALLOW_THREADS

  switch (result.status) {
    case ParseResult::Status::Ok:
      return build_tree(result.document);
    case ParseResult::Status::Failed:
      return raise_parse_failure(std::move(*result.failure));
    case ParseResult::Status::OutOfMemory:
      break;
  }
  return PyErr_NoMemory();
}

PyObject* parse_xml_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kParameterCount] = {};
  if (bind_arguments(args, nargs, kwnames, bound) < 0) return nullptr;
  ParseOptions options;
  if (convert_options(bound, &options) < 0) return nullptr;
  return parse_to_tree(bound[0], options);
}

}  // namespace

PyObject* parse_document(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    if (PyTuple_Size(args) != 1) {
      PyErr_Format(PyExc_TypeError, "parse_document() takes 1 positional argument but %zd were given",
                   PyTuple_Size(args));
      return nullptr;
    }
    ParseOptions options;
    if (convert_keyword_options(kwargs, &options, "parse_document") < 0) return nullptr;
    PyObject* text = PyTuple_GetItem(args, 0);
    return text != nullptr ? parse_to_tree(text, options) : nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* parse_xml(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return parse_xml_impl(args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* type_qualname(PyObject* obj) { return PyType_GetQualName(Py_TYPE(obj)); }

}  // namespace vorlane
