#pragma once

// The one argument parser of the extension. Each entry point declares a static table of its
// parameters and receives borrowed references in declaration order, or a TypeError whose text
// names the function the way our documentation does ("TessaraDB.open() missing 3 required
// positional arguments: 'sync', 'index_mode', and 'max_entries'").
//
// Rules: positional-or-keyword parameters come first, required before defaulted; keyword-only
// parameters follow. A defaulted parameter that was not passed comes back as nullptr.
// Checks run in this order: too many positional arguments, unknown keywords, a parameter given
// twice, missing positional-or-keyword parameters, missing keyword-only parameters.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace tessaradb::python {

enum class ParamKind { PositionalOrKeyword, KeywordOnly };

struct Param {
  const char* name;
  ParamKind kind = ParamKind::PositionalOrKeyword;
  bool is_required = true;
};

// For METH_FASTCALL | METH_KEYWORDS entry points: `args` holds `nargs` positional values followed
// by one value per name in the `kwnames` tuple (which may be nullptr). `function` is the name
// used in messages, e.g. "TessaraDB.get()". `out` must have one slot per parameter. Returns false
// with a TypeError set on failure.
bool parse_arguments(const char* function, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

// The same for the tuple-and-dict calling convention of type constructors (`kwargs` may be
// nullptr).
bool parse_arguments(const char* function, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> out);

}  // namespace tessaradb::python
