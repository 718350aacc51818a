#pragma once

// The two guards every entry point uses: `guarded` keeps C++ exceptions from unwinding into the
// interpreter, and `GilRelease` lets other Python threads run while a long database call works.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>

namespace tessaradb::python {

// Releases the interpreter lock for its lifetime and takes it back when destroyed, also when an
// exception unwinds through the scope. Between the two, no Python object may be touched: convert
// every argument before, build every result after.
//
// While the interpreter shuts down, taking the lock back ends any thread other than the one
// shutting down (a daemon thread) with pthread_exit, which unwinds the thread's stack. The
// destructor may therefore exit by that unwinding, and `guarded` lets it pass: stopping it would
// abort the whole process at exit.
class GilRelease {
 public:
  GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(saved_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved_;
};

// Sets a Python exception for the C++ exception being handled: MemoryError for bad_alloc,
// RuntimeError for anything else.
inline void set_exception_from_current() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
}

// Runs `body` (which returns the entry point's result, `failure` with a Python exception set on
// error) and turns any C++ exception escaping it into a Python exception plus `failure`. The one
// thing that passes is the unwinding of a thread the interpreter ends (see GilRelease).
template <typename T, typename Body>
T guarded(T failure, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_exception_from_current();
    return failure;
  }
}

// The common case: an entry point returning a new reference or nullptr.
template <typename Body>
PyObject* guarded(Body&& body) {
  return guarded<PyObject*>(nullptr, static_cast<Body&&>(body));
}

}  // namespace tessaradb::python
