#pragma once

// ModuleState: strong references to every type object and exception class of the module, held
// for the life of the interpreter. The module uses single-phase initialisation, so there is one
// state per process, reached through module_state().

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessaradb::python {

struct ModuleState {
  PyObject* database_type = nullptr;      // TessaraDB
  PyObject* hit_type = nullptr;           // Hit
  PyObject* memory_type = nullptr;        // Memory
  PyObject* stats_type = nullptr;         // Stats
  PyObject* chunk_result_type = nullptr;  // ChunkResult
  PyObject* error = nullptr;              // TessaraDBError
  PyObject* not_found_error = nullptr;    // TessaraDBNotFoundError
  PyObject* config_error = nullptr;       // TessaraDBConfigError
  PyObject* io_error = nullptr;           // TessaraDBIOError
};

ModuleState& module_state();

// Creates the four exception classes the first time it is called. Returns false with an
// exception set when one cannot be created.
bool ensure_exceptions(ModuleState& state);

// Raises `exception_class` with one argument, the message.
void raise_message(PyObject* exception_class, const char* message);

// The result type objects, one per file (TessaraDB's is in database.hpp); each returns a new reference or nullptr with an exception set.
PyObject* create_hit_type();
PyObject* create_memory_type();
PyObject* create_stats_type();
PyObject* create_chunk_result_type();

// The tp_new of the classes Python code cannot instantiate: raises TypeError
// "No constructor defined for <class name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// tp_dealloc of the plain result classes whose C++ members are destroyed by `destroy_members`.
template <typename Object>
void dealloc_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->destroy_members();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// Allocates an instance of a heap type and default-constructs its C++ members (which must not
// throw), so that dealloc_object may always destroy them.
template <typename Object>
Object* alloc_object(PyObject* type) {
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  PyObject* raw = type_object->tp_alloc(type_object, 0);
  if (raw == nullptr) return nullptr;
  auto* object = reinterpret_cast<Object*>(raw);
  object->construct_members();
  return object;
}

}  // namespace tessaradb::python
