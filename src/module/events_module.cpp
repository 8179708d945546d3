// The _events extension module: the event parser, beside _vorlane, which keeps to parse_xml
// and version.
#include <Python.h>

#include "module/module.h"

namespace vorlane {
namespace {

int exec_events(PyObject* module) { return add_event_parser_type(module); }

PyMethodDef events_functions[] = {
    {"parse_document", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_document)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_document($module, text, /, *, strict=False, **options)\n--\n\nThe tree parse_xml(text, **options) "
     "returns; strict: refuse whatever XML calls not well-formed, and normalise line ends and attribute values."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot events_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_events)},
    {0, nullptr},
};

PyModuleDef events_def = {
    PyModuleDef_HEAD_INIT, "_events", "The event parser: an XML input parsed as it is fed, in pieces.", 0, events_functions,
    events_slots,          nullptr,   nullptr,                                                          nullptr,
};

}  // namespace
}  // namespace vorlane

PyMODINIT_FUNC PyInit__events(void) { return PyModuleDef_Init(&vorlane::events_def); }
