#pragma once

// PyRef: the owner of one strong reference to a Python object. Every new reference the extension
// receives goes into a PyRef at once, so an early return can never leak it; a borrowed reference
// never does. `release()` hands the reference to the caller (as the return value of an entry
// point), `get()` lends it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessaradb::python {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}  // takes over a new reference
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  // A new strong reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(object_, owned)); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace tessaradb::python
