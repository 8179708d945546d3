// Turns the core's ParseFailure into an exception of the Python module vorlane.common,
// imported anew at every failure so that a replaced module takes effect.
#include <Python.h>

#include <cstdio>
#include <string>

#include "module/module.h"
#include "module/py_ref.h"

namespace vorlane {
namespace {

PyObject* new_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_optional_str(const OptString& text) {
  if (!text) return Py_NewRef(Py_None);
  return new_str(*text);
}

const char* limit_text(FailureKind kind) {
  switch (kind) {
    case FailureKind::MaxDepthExceeded: return "XML document exceeded maximum nesting depth limit of ";
    case FailureKind::MaxTextSizeExceeded: return "XML document exceeded maximum text size limit of ";
    case FailureKind::MaxAttributesExceeded: return "XML element exceeded maximum attribute count limit of ";
    case FailureKind::MaxAttributeSizeExceeded: return "XML attribute exceeded maximum size limit of ";
    case FailureKind::MaxNameSizeExceeded: return "XML tag name exceeded maximum length limit of ";
    case FailureKind::MaxCommentSizeExceeded: return "XML comment exceeded maximum size limit of ";
    case FailureKind::MaxInstructionSizeExceeded:
      return "XML processing instruction exceeded max_comment_size limit of ";
    case FailureKind::MaxQualifiedNamesExceeded:
      return "XML document exceeded maximum namespace-qualified name size limit of ";
    default: return nullptr;
  }
}

const char* class_name(FailureKind kind) {
  switch (kind) {
    case FailureKind::DtdForbidden: return "DTDForbidden";
    case FailureKind::EntitiesForbidden: return "EntitiesForbidden";
    case FailureKind::ExternalReferenceForbidden: return "ExternalReferenceForbidden";
    case FailureKind::Syntax: return "ParseError";
    default: return "DefusedXmlException";
  }
}

// The positional arguments for the failure's class; false with an exception set if one
// could not be created.
bool build_arguments(const ParseFailure& failure, PyRef* argv, Py_ssize_t* argc) {
  switch (failure.kind()) {
    case FailureKind::DtdForbidden: {
      const DtdForbiddenPayload& p = failure.dtd();
      argv[0].reset(new_str(p.name));
      argv[1].reset(new_optional_str(p.system_id));
      argv[2].reset(new_optional_str(p.public_id));
      *argc = 3;
      break;
    }
    case FailureKind::EntitiesForbidden: {
      const EntitiesForbiddenPayload& p = failure.entity();
      argv[0].reset(new_str(p.name));
      argv[1].reset(new_optional_str(p.value));
      argv[2].reset(Py_NewRef(Py_None));
      argv[3].reset(new_optional_str(p.system_id));
      argv[4].reset(new_optional_str(p.public_id));
      argv[5].reset(new_optional_str(p.notation_name));
      *argc = 6;
      break;
    }
    case FailureKind::ExternalReferenceForbidden: {
      const ExternalReferencePayload& p = failure.external();
      argv[0].reset(Py_NewRef(Py_None));
      argv[1].reset(Py_NewRef(Py_None));
      argv[2].reset(new_optional_str(p.system_id));
      argv[3].reset(new_optional_str(p.public_id));
      *argc = 4;
      break;
    }
    case FailureKind::Syntax:
      argv[0].reset(new_str(failure.message()));
      *argc = 1;
      break;
    default: {
      char digits[24];
      std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(failure.limit()));
      argv[0].reset(PyUnicode_FromFormat("%s%s", limit_text(failure.kind()), digits));
      *argc = 1;
      break;
    }
  }
  for (Py_ssize_t i = 0; i < *argc; ++i) {
    if (!argv[i]) return false;
  }
  return true;
}

}  // namespace

PyObject* raise_parse_failure(ParseFailure&& failure_in) {
  // Owned here and released on return, whatever the outcome.
  const ParseFailure failure = std::move(failure_in);
  PyRef module(PyImport_ImportModule("vorlane.common"));
  if (!module) return nullptr;
  PyRef exception_class(PyObject_GetAttrString(module.get(), class_name(failure.kind())));
  if (!exception_class) return nullptr;

  PyRef argv[6];
  Py_ssize_t argc = 0;
  if (!build_arguments(failure, argv, &argc)) return nullptr;
  PyObject* call_args[6] = {};
  for (Py_ssize_t i = 0; i < argc; ++i) call_args[i] = argv[i].get();

  PyRef exception(PyObject_Vectorcall(exception_class.get(), call_args, static_cast<std::size_t>(argc), nullptr));
  if (!exception) return nullptr;
  if (PyExceptionInstance_Check(exception.get())) {
    PyErr_SetRaisedException(exception.release());
  } else if (PyExceptionClass_Check(exception.get())) {
    PyErr_SetNone(exception.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return nullptr;
}

}  // namespace vorlane
