#pragma once

// The Python class TessaraDB: one open database handle.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessaradb::python {

// The type object; a new reference or nullptr with an exception set.
PyObject* create_database_type();

// Flushes every handle this process opened that is still alive. Tries all of them; returns false
// with the first failure raised (as a TessaraDB exception) after the last one was tried.
bool flush_all_databases();

}  // namespace tessaradb::python
