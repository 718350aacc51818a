#pragma once

// map_tessaradb_err: raises the Python exception for a facade error.
//
//   MemoryNotFound(id)                   TessaraDBNotFoundError  "Memory ID <id> not found"
//   Io                                   TessaraDBIOError        the I/O error's own text
//   Store wrapping the vector index's
//     DimensionMismatch(expected, got)   TessaraDBConfigError    "Dimension mismatch: expected
//                                                                 <expected>, got <got>"
//   any other Store error                TessaraDBError          the store error's text, without
//                                                                 the "Store error: " prefix
//   StateMachine                         TessaraDBError          "State machine error: <text>"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "facade/tessaradb.hpp"

namespace tessaradb::python {

// Sets the exception and returns nullptr, so entry points can `return map_tessaradb_err(e);`.
std::nullptr_t map_tessaradb_err(const TessaraDBError& error);

}  // namespace tessaradb::python
