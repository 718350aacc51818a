#pragma once

// Builders of the read-only result objects handed back to Python. Each returns a new reference,
// or nullptr with an exception set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "lib/conversions.hpp"
#include "lib/module_state.hpp"

namespace tessaradb::python {

struct MemoryFields {
  std::uint64_t id = 0;
  std::string namespace_;
  std::uint64_t created_at = 0;
  float importance = 0.0f;
  std::string content;
  StrMap metadata;
};

struct StatsFields {
  std::uint64_t entries = 0;
  std::uint64_t indexed_embeddings = 0;
  std::uint64_t wal_length = 0;
  std::uint64_t vector_dimension = 0;
  std::uint32_t storage_version = 0;
};

PyObject* new_hit(const ModuleState& state, std::uint64_t id, float score);
PyObject* new_memory(const ModuleState& state, MemoryFields fields);
PyObject* new_stats(const ModuleState& state, const StatsFields& fields);
PyObject* new_chunk_result(const ModuleState& state, std::string text, std::size_t index,
                           std::optional<StrMap> metadata);

// The module function chunk(text, strategy, chunk_size, overlap).
PyObject* chunk_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
extern const char* const kChunkDoc;

}  // namespace tessaradb::python
