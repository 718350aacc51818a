// The Python class Memory: a full stored memory as `TessaraDB.get()` returns it. Read-only; the
// content and the metadata are handed out as new objects on every access, so a caller that
// mutates them never changes the memory.

#include <new>
#include <utility>

#include "lib/conversions.hpp"
#include "lib/guarded.hpp"
#include "lib/py_ref.hpp"
#include "lib/result_types.hpp"

namespace tessaradb::python {
namespace {

struct MemoryObject {
  PyObject_HEAD
  MemoryFields fields;

  void construct_members() noexcept { new (&fields) MemoryFields(); }
  void destroy_members() noexcept { fields.~MemoryFields(); }
};

const MemoryFields& fields_of(PyObject* self) {
  return reinterpret_cast<MemoryObject*>(self)->fields;
}

PyObject* memory_get_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(fields_of(self).id);
}

PyObject* memory_get_namespace(PyObject* self, void*) {
  return guarded([&] { return to_py_str(fields_of(self).namespace_); });
}

PyObject* memory_get_created_at(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(fields_of(self).created_at);
}

PyObject* memory_get_importance(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(fields_of(self).importance));
}

PyObject* memory_get_content(PyObject* self, void*) {
  const std::string& content = fields_of(self).content;
  return PyBytes_FromStringAndSize(content.data(), static_cast<Py_ssize_t>(content.size()));
}

PyObject* memory_get_metadata(PyObject* self, void*) {
  return guarded([&] { return to_py_dict(fields_of(self).metadata); });
}

PyObject* memory_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const MemoryFields& f = fields_of(self);
    const std::string text = "Memory(id=" + std::to_string(f.id) + ", namespace='" + f.namespace_ +
                             "', created_at=" + std::to_string(f.created_at) + ")";
    return to_py_str(text);
  });
}

PyGetSetDef memory_getset[] = {
    {"id", memory_get_id, nullptr, "Memory identifier.", nullptr},
    {"namespace", memory_get_namespace, nullptr, "Namespace the memory belongs to.", nullptr},
    {"metadata", memory_get_metadata, nullptr, "Key-value metadata (a new dict on every access).",
     nullptr},
    {"created_at", memory_get_created_at, nullptr, "Creation time as a Unix timestamp.", nullptr},
    {"importance", memory_get_importance, nullptr, "Importance score.", nullptr},
    {"content", memory_get_content, nullptr, "Raw content bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kMemoryDoc[] =
    "A full memory entry. Returned by `TessaraDB.get()`.\n"
    "\n"
    "Attributes:\n"
    "    id (int): Memory identifier.\n"
    "    namespace (str): Namespace the memory belongs to.\n"
    "    metadata (dict[str, str]): Key-value metadata.\n"
    "    created_at (int): Creation time as a Unix timestamp.\n"
    "    importance (float): Importance score.\n"
    "    content (bytes): Raw content bytes.\n";

PyType_Slot memory_slots[] = {
    {Py_tp_doc, const_cast<char*>(kMemoryDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<MemoryObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(memory_repr)},
    {Py_tp_getset, memory_getset},
    {0, nullptr},
};

PyType_Spec memory_spec = {
    "tessaradb.Memory", sizeof(MemoryObject), 0, Py_TPFLAGS_DEFAULT, memory_slots,
};

}  // namespace

PyObject* create_memory_type() { return PyType_FromSpec(&memory_spec); }

PyObject* new_memory(const ModuleState& state, MemoryFields fields) {
  MemoryObject* memory = alloc_object<MemoryObject>(state.memory_type);
  if (memory == nullptr) return nullptr;
  memory->fields = std::move(fields);
  return reinterpret_cast<PyObject*>(memory);
}

}  // namespace tessaradb::python
