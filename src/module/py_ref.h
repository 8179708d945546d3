// The one owner of Python references in the module: every reference a call obtains is
// held by a PyRef, so it is released on every path, success or failure.
#pragma once

#include <Python.h>

#include <utility>

namespace vorlane {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (or nullptr).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  void reset(PyObject* owned = nullptr) {
    PyObject* old = std::exchange(p_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace vorlane
