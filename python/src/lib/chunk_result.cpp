// The Python class ChunkResult and the module function chunk(), which runs the text chunker and
// hands its chunks back as ChunkResult objects.

#include <new>
#include <utility>
#include <vector>

#include "chunker/chunker.hpp"
#include "lib/arguments.hpp"
#include "lib/conversions.hpp"
#include "lib/guarded.hpp"
#include "lib/py_ref.hpp"
#include "lib/result_types.hpp"

namespace tessaradb::python {
namespace {

// What a repr shows of a chunk's text, at most; a cut never splits a UTF-8 character.
constexpr std::size_t kReprTextBytes = 50;

struct ChunkFields {
  std::string text;
  std::size_t index = 0;
  std::optional<StrMap> metadata;
};

struct ChunkResultObject {
  PyObject_HEAD
  ChunkFields fields;

  void construct_members() noexcept { new (&fields) ChunkFields(); }
  void destroy_members() noexcept { fields.~ChunkFields(); }
};

const ChunkFields& fields_of(PyObject* self) {
  return reinterpret_cast<ChunkResultObject*>(self)->fields;
}

PyObject* chunk_get_text(PyObject* self, void*) {
  return guarded([&] { return to_py_str(fields_of(self).text); });
}

PyObject* chunk_get_index(PyObject* self, void*) {
  return PyLong_FromSize_t(fields_of(self).index);
}

PyObject* chunk_get_metadata(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::optional<StrMap>& metadata = fields_of(self).metadata;
    if (!metadata) Py_RETURN_NONE;
    return to_py_dict(*metadata);
  });
}

PyObject* chunk_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const ChunkFields& f = fields_of(self);
    const std::string text = "ChunkResult(index=" + std::to_string(f.index) + ", text='" +
                             std::string(utf8_prefix(f.text, kReprTextBytes)) + "...')";
    return to_py_str(text);
  });
}

PyGetSetDef chunk_getset[] = {
    {"text", chunk_get_text, nullptr, "The chunk's text.", nullptr},
    {"index", chunk_get_index, nullptr, "The chunk's position number.", nullptr},
    {"metadata", chunk_get_metadata, nullptr,
     "None, or a dict with the JSON path under 'key' and the leaf value under 'value'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot chunk_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ChunkResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(chunk_repr)},
    {Py_tp_getset, chunk_getset},
    {0, nullptr},
};

PyType_Spec chunk_spec = {
    "tessaradb.ChunkResult", sizeof(ChunkResultObject), 0, Py_TPFLAGS_DEFAULT, chunk_slots,
};

std::optional<StrMap> metadata_fields(const std::optional<ChunkMetadata>& metadata) {
  if (!metadata) return std::nullopt;
  StrMap map;
  if (metadata->key) map.emplace("key", *metadata->key);
  if (metadata->value) map.emplace("value", *metadata->value);
  return map;
}

}  // namespace

const char* const kChunkDoc =
    "chunk(text, strategy='recursive', *, chunk_size=512, overlap=50)\n--\n\n"
    "Chunk text using the specified strategy.\n"
    "\n"
    "Args:\n"
    "    text: The input text to chunk.\n"
    "    strategy: Chunking strategy, one of \"fixed\", \"recursive\", \"semantic\",\n"
    "        \"markdown\" or \"json\".\n"
    "    chunk_size: Target size of each chunk (for fixed/recursive).\n"
    "    overlap: Number of words to overlap between chunks.\n"
    "\n"
    "Returns:\n"
    "    List of ChunkResult objects.\n";

PyObject* create_chunk_result_type() { return PyType_FromSpec(&chunk_spec); }

PyObject* new_chunk_result(const ModuleState& state, std::string text, std::size_t index,
                           std::optional<StrMap> metadata) {
  ChunkResultObject* chunk = alloc_object<ChunkResultObject>(state.chunk_result_type);
  if (chunk == nullptr) return nullptr;
  chunk->fields.text = std::move(text);
  chunk->fields.index = index;
  chunk->fields.metadata = std::move(metadata);
  return reinterpret_cast<PyObject*>(chunk);
}

PyObject* chunk_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"text"}, {"strategy"}, {"chunk_size"}, {"overlap"}};
    PyObject* values[4];
    if (!parse_arguments("chunk()", kParams, args, nargs, kwnames, values)) return nullptr;
    std::string text, strategy_name;
    std::size_t chunk_size = 0, overlap = 0;
    if (!to_string(values[0], "text", text) || !to_string(values[1], "strategy", strategy_name) ||
        !to_size(values[2], "chunk_size", chunk_size) || !to_size(values[3], "overlap", overlap)) {
      return nullptr;
    }
    // Unicode lower-casing, exactly as str.lower() does it.
    PyRef lowered{PyObject_CallMethod(values[1], "lower", nullptr)};
    std::string lowered_name;
    if (!lowered || !to_string(lowered.get(), "strategy", lowered_name)) return nullptr;
    const std::optional<ChunkStrategy> strategy =
        chunk_strategy_from_name(lowered_name, chunk_size, overlap);
    ModuleState& state = module_state();
    if (!strategy) {
      const std::string message =
          "Unknown chunking strategy '" + strategy_name +
          "'. Valid values: 'fixed', 'recursive', 'semantic', 'markdown', 'json'";
      if (!ensure_exceptions(state)) return nullptr;
      raise_message(state.error, message.c_str());
      return nullptr;
    }
    std::vector<ChunkResult> chunks = chunk(text, *strategy);
    PyRef list{PyList_New(static_cast<Py_ssize_t>(chunks.size()))};
    if (!list) return nullptr;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      ChunkResult& c = chunks[i];
      PyObject* item =
          new_chunk_result(state, std::move(c.text), c.index, metadata_fields(c.metadata));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    return list.release();
  });
}

}  // namespace tessaradb::python
