// The extension module _tessaradb: the module state, initialisation, and the pieces every type
// shares (exception classes, the refusing constructor).

#include <cstring>
#include <string>

#include "lib/database.hpp"
#include "lib/guarded.hpp"
#include "lib/module_state.hpp"
#include "lib/py_ref.hpp"
#include "lib/result_types.hpp"

namespace tessaradb::python {
namespace {

ModuleState g_state;

PyObject* flush_all_function(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
#if TESSARADB_HAVE_FACADE
    if (!flush_all_databases()) return nullptr;
#endif
    Py_RETURN_NONE;
  });
}

PyMethodDef module_methods[] = {
    {"chunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chunk_function)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_flush_all", flush_all_function, METH_NOARGS,
     "_flush_all($module, /)\n--\n\n"
     "Flush every database opened by this process that is still open. The tessaradb package\n"
     "runs it at interpreter exit. Raises the first failure after trying every database."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tessaradb",
    "TessaraDB \xe2\x80\x94 embedded vector + graph memory for AI agents.",
    -1,
    nullptr,  // methods are added in registration order in PyInit__tessaradb
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Binds `name` in the module to `object` (borrowed; may be nullptr after a failed creation).
bool add_object(PyObject* module, const char* name, PyObject* object) {
  if (object == nullptr) return false;
  Py_INCREF(object);
  if (PyModule_AddObject(module, name, object) == 0) return true;  // steals on success only
  Py_DECREF(object);
  return false;
}

// Adds a type object (a new reference, or nullptr after a failed creation), keeping the
// reference in the module state's `slot`.
bool add_type(PyObject* module, const char* name, PyObject* type, PyObject*& slot) {
  if (type == nullptr) return false;
  Py_XDECREF(slot);
  slot = type;
  return add_object(module, name, type);
}

bool add_function(PyObject* module, PyMethodDef& method) {
  PyRef module_name{PyModule_GetNameObject(module)};
  if (!module_name) return false;
  PyRef function{PyCFunction_NewEx(&method, nullptr, module_name.get())};
  return function && add_object(module, method.ml_name, function.get());
}

PyObject* create_module() {
  module_methods[0].ml_doc = kChunkDoc;
  PyRef module{PyModule_Create(&module_def)};
  if (!module) return nullptr;
  ModuleState& state = g_state;
  PyObject* m = module.get();
#if TESSARADB_HAVE_FACADE
  if (!add_type(m, "TessaraDB", create_database_type(), state.database_type)) return nullptr;
#endif
  if (!add_type(m, "Hit", create_hit_type(), state.hit_type) ||
      !add_type(m, "Memory", create_memory_type(), state.memory_type) ||
      !add_type(m, "Stats", create_stats_type(), state.stats_type) ||
      !add_type(m, "ChunkResult", create_chunk_result_type(), state.chunk_result_type) ||
      !add_function(m, module_methods[0]) || !ensure_exceptions(state) ||
      !add_object(m, "TessaraDBError", state.error) ||
      !add_object(m, "TessaraDBNotFoundError", state.not_found_error) ||
      !add_object(m, "TessaraDBConfigError", state.config_error) ||
      !add_object(m, "TessaraDBIOError", state.io_error) ||
      !add_function(m, module_methods[1])) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

ModuleState& module_state() { return g_state; }

bool ensure_exceptions(ModuleState& state) {
  struct Subclass {
    PyObject*& slot;
    const char* qualified_name;
  };
  if (state.error == nullptr) {
    state.error = PyErr_NewException("tessaradb.TessaraDBError", PyExc_Exception, nullptr);
    if (state.error == nullptr) return false;
  }
  for (const Subclass& c : {Subclass{state.not_found_error, "tessaradb.TessaraDBNotFoundError"},
                            Subclass{state.config_error, "tessaradb.TessaraDBConfigError"},
                            Subclass{state.io_error, "tessaradb.TessaraDBIOError"}}) {
    if (c.slot != nullptr) continue;
    c.slot = PyErr_NewException(c.qualified_name, state.error, nullptr);
    if (c.slot == nullptr) return false;
  }
  return true;
}

void raise_message(PyObject* exception_class, const char* message) {
  PyRef text{PyUnicode_FromString(message)};
  if (text) PyErr_SetObject(exception_class, text.get());
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  const char* dot = std::strrchr(type->tp_name, '.');
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s",
               dot != nullptr ? dot + 1 : type->tp_name);
  return nullptr;
}

}  // namespace tessaradb::python

PyMODINIT_FUNC PyInit__tessaradb(void) {
  return tessaradb::python::guarded([] { return tessaradb::python::create_module(); });
}
