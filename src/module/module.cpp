// Module definition and initialisation: multi-phase, one execution slot that adds the
// two functions and builds __all__. The module holds no state of its own.
#include <Python.h>

#include "module/module.h"
#include "module/py_ref.h"

namespace vorlane {
namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString("1.0.2"); }

PyMethodDef function_defs[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {"parse_xml", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_xml)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_xml(source, forbid_dtd=False, forbid_entities=True, forbid_external=True, max_depth=1000, "
     "max_entity_size=10485760, max_text_size=104857600, max_attributes=1000, max_attribute_size=10485760, "
     "max_name_size=1024, max_comment_size=10485760)\n--\n\n"},
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
  for (PyMethodDef& def : function_defs) {
    if (add_function(module, module_name.get(), &def) < 0) return -1;
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

PyObject* type_qualname(PyObject* obj) { return PyType_GetQualName(Py_TYPE(obj)); }

}  // namespace vorlane

PyMODINIT_FUNC PyInit__vorlane(void) { return PyModuleDef_Init(&vorlane::module_def); }
