// The standard accelerator's C TreeBuilder, called through its own C functions: what makes
// building Elements cheap when nothing else can observe the calls.
#pragma once

#include <Python.h>

#include <string_view>

namespace vorlane {

// The C functions of the accelerator's TreeBuilder that build a tree, taken from the type's
// own method table, so neither an instance attribute nor the type's dict is consulted.
struct TreeBuilderEntries {
  using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
  PyObject* type = nullptr;  // borrowed from the module
  Fast start = nullptr;      // start(tag, attrib)
  PyCFunction data = nullptr;  // data(text)
  PyCFunction end = nullptr;   // end(tag)
  PyCFunction close = nullptr;

  // False unless all four are there with the calling conventions that these calls assume.
  bool find(PyObject* builder_type) {
    type = builder_type;
    const auto* def = static_cast<const PyMethodDef*>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(builder_type), Py_tp_methods));
    for (; def && def->ml_name; ++def) {
      const std::string_view name = def->ml_name;
      const int flags = def->ml_flags;
      if (name == "start" && flags == METH_FASTCALL) {
        start = reinterpret_cast<Fast>(reinterpret_cast<void (*)()>(def->ml_meth));
      } else if (name == "data" && flags == METH_O) {
        data = def->ml_meth;
      } else if (name == "end" && flags == METH_O) {
        end = def->ml_meth;
      } else if (name == "close" && flags == METH_NOARGS) {
        close = def->ml_meth;
      }
    }
    return start && data && end && close;
  }
};

// True, with the accelerator's tree builder in `entries`, when `element_class` is exactly the
// Element type of the `_elementtree` module that defined it (the module whose names
// xml.etree.ElementTree took over); the TreeBuilder must be that module's own.
bool find_accelerator(PyObject* element_class, TreeBuilderEntries* entries);

// True, with its entries, when `builder` is an instance of exactly the accelerator's own
// TreeBuilder type.
bool find_builder_entries(PyObject* builder, TreeBuilderEntries* entries);

}  // namespace vorlane
