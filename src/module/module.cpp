// Module definition and initialisation: multi-phase, one execution slot that adds the
// two functions and builds __all__. The module holds no state of its own.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/parse_options.h"
#include "module/module.h"
#include "module/py_ref.h"

// The build's version, from the project version in CMakeLists.txt.
#ifndef VORLANE_VERSION
#error "VORLANE_VERSION is defined by CMakeLists.txt"
#endif

namespace vorlane {
namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(VORLANE_VERSION); }

// Writes the text signature of parse_xml from the option table, each default as Python
// spells it; without a buffer it only counts.
struct SignatureWriter {
  char* out = nullptr;
  std::size_t size = 0;

  constexpr void text(std::string_view s) {
    for (char c : s) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
  }
  constexpr void value(bool v) { text(v ? "True" : "False"); }
  constexpr void value(std::uint64_t v) {
    char digits[20];
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n > 0) text(std::string_view(&digits[--n], 1));
  }
  constexpr void signature() {
    const ParseOptions defaults;
    text("parse_xml(source");
#define VORLANE_SIGNATURE_PARAMETER(kind, name, default_value) \
  text(", " #name "=");                                        \
  value(defaults.name);
    VORLANE_PARSE_OPTIONS(VORLANE_SIGNATURE_PARAMETER)
#undef VORLANE_SIGNATURE_PARAMETER
    text(")\n--\n\n");
  }
};

constexpr std::size_t signature_size() {
  SignatureWriter counter;
  counter.signature();
  return counter.size;
}

// "parse_xml(source, forbid_dtd=False, ...)\n--\n\n", NUL-terminated.
constexpr std::array<char, signature_size() + 1> kParseXmlSignature = [] {
  std::array<char, signature_size() + 1> buffer{};
  SignatureWriter writer{buffer.data()};
  writer.signature();
  return buffer;
}();

PyMethodDef function_defs[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {"parse_xml", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_xml)),
     METH_FASTCALL | METH_KEYWORDS, kParseXmlSignature.data()},
    {nullptr, nullptr, 0, nullptr},
};

int fail_not_instance(PyObject* obj, const char* expected) {
  PyRef name(type_qualname(obj));
  if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  return -1;
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyRef function(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return -1;
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) return fail_not_instance(name.get(), "str");

  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    return fail_not_instance(all.get(), "list");
  }
  if (PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) return fail_not_instance(module, "module");
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef* def = function_defs; def->ml_name != nullptr; ++def) {
    if (add_function(module, module_name.get(), def) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vorlane",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace


}  // namespace vorlane

PyMODINIT_FUNC PyInit__vorlane(void) { return PyModuleDef_Init(&vorlane::module_def); }
