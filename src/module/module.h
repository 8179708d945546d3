// Declarations shared by the files of the extension module.
#pragma once

#include <Python.h>

#include "common/document.h"
#include "common/parse_failure.h"
#include "common/parse_options.h"

namespace vorlane {

// METH_FASTCALL | METH_KEYWORDS entry point of parse_xml.
PyObject* parse_xml(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// parse_document(text, /, *, strict=False, **options) of _events: what parse_xml returns for
// the same options, with the strict switch besides.
PyObject* parse_document(PyObject* module, PyObject* args, PyObject* kwargs);

// Leaves the exception that `failure` maps to set; always returns nullptr.
PyObject* raise_parse_failure(ParseFailure&& failure);

// Builds the Element tree for `document` with `element_class`; a new reference, or
// nullptr with an exception set and nothing of the partial tree kept. Releases the
// document's nodes as it goes: the document cannot be walked again afterwards.
PyObject* materialize_tree(PyObject* element_class, Document& document);

// Converts the keyword options in `kwargs` (a dict, or null for none) as parse_xml does, and
// `strict` besides; -1 with an exception set, naming `function`, on failure.
int convert_keyword_options(PyObject* kwargs, ParseOptions* options, const char* function);

// Adds the EventParser type to `module`; -1 with an exception set on failure.
int add_event_parser_type(PyObject* module);

// The qualified name of `obj`'s type, for messages; nullptr with an exception set on failure.
PyObject* type_qualname(PyObject* obj);

}  // namespace vorlane
