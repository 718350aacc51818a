// The Python class Stats: database statistics as `TessaraDB.stats()` returns them.

#include <string>

#include "lib/guarded.hpp"
#include "lib/result_types.hpp"

namespace tessaradb::python {
namespace {

struct StatsObject {
  PyObject_HEAD
  StatsFields fields;

  void construct_members() noexcept { fields = StatsFields{}; }
  void destroy_members() noexcept {}
};

const StatsFields& fields_of(PyObject* self) {
  return reinterpret_cast<StatsObject*>(self)->fields;
}

template <auto Field>
PyObject* get_field(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(fields_of(self).*Field);
}

PyObject* stats_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const StatsFields& f = fields_of(self);
    const std::string text = "Stats(entries=" + std::to_string(f.entries) +
                             ", indexed_embeddings=" + std::to_string(f.indexed_embeddings) +
                             ", wal_length=" + std::to_string(f.wal_length) +
                             ", vector_dimension=" + std::to_string(f.vector_dimension) +
                             ", storage_version=" + std::to_string(f.storage_version) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef stats_getset[] = {
    {"entries", get_field<&StatsFields::entries>, nullptr, "Total number of stored memories.",
     nullptr},
    {"indexed_embeddings", get_field<&StatsFields::indexed_embeddings>, nullptr,
     "Number of indexed vector embeddings.", nullptr},
    {"wal_length", get_field<&StatsFields::wal_length>, nullptr,
     "Number of entries in the write-ahead log.", nullptr},
    {"vector_dimension", get_field<&StatsFields::vector_dimension>, nullptr,
     "Configured vector dimension.", nullptr},
    {"storage_version", get_field<&StatsFields::storage_version>, nullptr,
     "Storage format version (for forward compatibility).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kStatsDoc[] =
    "Database statistics. Returned by `TessaraDB.stats()`.\n"
    "\n"
    "Attributes:\n"
    "    entries (int): Total number of stored memories.\n"
    "    indexed_embeddings (int): Number of indexed vector embeddings.\n"
    "    wal_length (int): Number of entries in the write-ahead log.\n"
    "    vector_dimension (int): Configured vector dimension.\n"
    "    storage_version (int): Storage format version (for forward compatibility).\n";

PyType_Slot stats_slots[] = {
    {Py_tp_doc, const_cast<char*>(kStatsDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<StatsObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(stats_repr)},
    {Py_tp_getset, stats_getset},
    {0, nullptr},
};

PyType_Spec stats_spec = {
    "tessaradb.Stats", sizeof(StatsObject), 0, Py_TPFLAGS_DEFAULT, stats_slots,
};

}  // namespace

PyObject* create_stats_type() { return PyType_FromSpec(&stats_spec); }

PyObject* new_stats(const ModuleState& state, const StatsFields& fields) {
  StatsObject* stats = alloc_object<StatsObject>(state.stats_type);
  if (stats == nullptr) return nullptr;
  stats->fields = fields;
  return reinterpret_cast<PyObject*>(stats);
}

}  // namespace tessaradb::python
