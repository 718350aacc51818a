// The Python class TessaraDB: one open database. Each method converts its arguments while it
// holds the interpreter lock, makes one facade call (releasing the lock around the long ones:
// writes that reach the disk, queries, maintenance), and builds its result or exception once it
// holds the lock again.

#include "lib/database.hpp"

#include <unistd.h>

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "facade/tessaradb.hpp"
#include "lib/arguments.hpp"
#include "lib/conversions.hpp"
#include "lib/error_mapping.hpp"
#include "lib/guarded.hpp"
#include "lib/module_state.hpp"
#include "lib/py_ref.hpp"
#include "lib/result_types.hpp"

namespace tessaradb::python {
namespace {

struct DatabaseObject {
  PyObject_HEAD
  std::unique_ptr<TessaraDB> db;
  std::uint64_t dimension;
  pid_t owner_pid;  // the process that opened it; a forked child never writes through it

  void construct_members() noexcept {
    new (&db) std::unique_ptr<TessaraDB>();
    dimension = 0;
    owner_pid = 0;
  }
  void destroy_members() noexcept { db.~unique_ptr<TessaraDB>(); }
};

DatabaseObject* as_database(PyObject* self) { return reinterpret_cast<DatabaseObject*>(self); }

// Every handle alive in this interpreter, for the exit-time flush. Only touched while holding the
// interpreter lock, which is all the locking it needs.
std::unordered_set<PyObject*>& open_handles() {
  static auto* handles = new std::unordered_set<PyObject*>();  // never destroyed: used at exit
  return *handles;
}

// Drops a facade database without holding the interpreter lock: its destructor joins threads
// and writes to disk.
void close_database(std::unique_ptr<TessaraDB> db) {
  if (!db) return;
  GilRelease unlocked;
  db.reset();
}

// Two processes must never write one database: a forked child inherits the handle but not the
// directory lock's ownership, so writes through it are refused.
bool check_owner(DatabaseObject* self) {
  if (self->owner_pid == getpid()) return true;
  ModuleState& state = module_state();
  if (!ensure_exceptions(state)) return false;
  const std::string text = "this database handle was opened by process " +
                           std::to_string(self->owner_pid) +
                           "; a forked child process must open the database itself";
  raise_message(state.io_error, text.c_str());
  return false;
}

bool raise_config_error(const std::string& text) {
  ModuleState& state = module_state();
  if (ensure_exceptions(state)) raise_message(state.config_error, text.c_str());
  return false;
}

bool check_embedding_length(const DatabaseObject* self, const std::vector<float>& embedding) {
  if (embedding.size() == self->dimension) return true;
  ModuleState& state = module_state();
  if (!ensure_exceptions(state)) return false;
  const std::string text = "embedding dimension mismatch: expected " +
                           std::to_string(self->dimension) + ", got " +
                           std::to_string(embedding.size());
  raise_message(state.error, text.c_str());
  return false;
}

// str.lower() of a Python str, as UTF-8.
bool lowered(PyObject* text, const char* name, std::string& out) {
  PyRef lower{PyObject_CallMethod(text, "lower", nullptr)};
  return lower && to_string(lower.get(), name, out);
}

// A file-system path: a str, or an os.PathLike giving a str. Encoded with the file-system
// encoding, so names that are not valid UTF-8 reach the disk unchanged.
bool to_path(PyObject* value, const char* name, std::filesystem::path& out) {
  PyRef text;
  if (PyUnicode_Check(value)) {
    text = PyRef::borrow(value);
  } else if (!PyBytes_Check(value) && PyObject_HasAttrString(value, "__fspath__")) {
    text = PyRef{PyOS_FSPath(value)};
    if (!text) return argument_error(name);
    if (!PyUnicode_Check(text.get())) return raise_cannot_convert(name, value, "str");
  } else {
    return raise_cannot_convert(name, value, "str");
  }
  PyRef encoded{PyUnicode_EncodeFSDefault(text.get())};
  if (!encoded) return argument_error(name);
  // The system calls stop at a NUL: "db\0x" would open "db". Refused as os.open refuses it.
  const std::string_view bytes(PyBytes_AS_STRING(encoded.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (bytes.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out = std::filesystem::path(std::string(PyBytes_AS_STRING(encoded.get()),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))));
  return true;
}

constexpr const char* kIndexModeShapeError =
    "index_mode must be a string ('exact'/'hnsw') or dict with 'type' key";

// A value of the index_mode dict as an unsigned integer; anything else gives `fallback`.
std::uint64_t dict_u64_or(PyObject* dict, const char* key, std::uint64_t fallback) {
  PyObject* item = PyDict_GetItemString(dict, key);  // borrowed
  if (item == nullptr) return fallback;
  std::uint64_t value = 0;
  if (!to_u64(item, key, value)) {
    PyErr_Clear();
    return fallback;
  }
  return value;
}

// index_mode: "exact" / "hnsw" in any case, or a dict with str keys: "type" (a str; "hnsw" when
// absent or not a str) and for HNSW the optional "m", "ef_construction", "ef_search".
bool to_index_mode(PyObject* value, IndexMode& out) {
  const HnswConfig defaults{};
  if (PyUnicode_Check(value)) {
    std::string name;
    if (!lowered(value, "index_mode", name)) return false;
    if (name == "exact") {
      out = IndexMode{IndexMode::Exact{}};
    } else if (name == "hnsw") {
      out = IndexMode{IndexMode::Hnsw{defaults}};
    } else {
      return raise_config_error("unknown index_mode '" + name + "'. Valid: 'exact', 'hnsw'");
    }
    return true;
  }
  if (!PyDict_Check(value)) return raise_config_error(kIndexModeShapeError);
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *item = nullptr;
  while (PyDict_Next(value, &position, &key, &item)) {
    if (!PyUnicode_Check(key)) return raise_config_error(kIndexModeShapeError);
  }
  std::string type = "hnsw";
  PyObject* type_value = PyDict_GetItemString(value, "type");  // borrowed
  if (type_value != nullptr && PyUnicode_Check(type_value) &&
      !lowered(type_value, "index_mode", type)) {
    return false;
  }
  if (type == "exact") {
    out = IndexMode{IndexMode::Exact{}};
  } else if (type == "hnsw") {
    HnswConfig config;
    config.m = dict_u64_or(value, "m", defaults.m);
    config.ef_construction = dict_u64_or(value, "ef_construction", defaults.ef_construction);
    config.ef_search = dict_u64_or(value, "ef_search", defaults.ef_search);
    out = IndexMode{IndexMode::Hnsw{config}};
  } else {
    return raise_config_error(kIndexModeShapeError);
  }
  return true;
}

bool to_sync_policy(PyObject* value, SyncPolicy& out) {
  std::string name;
  if (!lowered(value, "sync", name)) return false;
  if (name == "strict") {
    out = SyncPolicy{SyncPolicy::Strict{}};
  } else if (name == "batch") {
    out = SyncPolicy{SyncPolicy::Batch{64, 50}};
  } else if (name == "async") {
    out = SyncPolicy{SyncPolicy::Async{10}};
  } else {
    return raise_config_error("unknown sync policy '" + name +
                              "'. Valid values: 'strict', 'async', 'batch'");
  }
  return true;
}

std::string dimension_mismatch_text(std::uint64_t stored, std::uint64_t requested) {
  return "dimension mismatch: database has dimension=" + std::to_string(stored) +
         ", but open() was called with dimension=" + std::to_string(requested);
}

PyObject* to_hit_list(const std::vector<AskHit>& hits) {
  const ModuleState& state = module_state();
  PyRef list{PyList_New(static_cast<Py_ssize_t>(hits.size()))};
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    PyObject* hit = new_hit(state, hits[i].id.value, hits[i].score);
    if (hit == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), hit);  // steals `hit`
  }
  return list.release();
}

// ---- open ----------------------------------------------------------------------------------

PyObject* database_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"path"}, {"dimension"}, {"sync"}, {"index_mode"}, {"max_entries"}};
    PyObject* values[5];
    if (!parse_arguments("TessaraDB.open()", kParams, args, nargs, kwnames, values)) {
      return nullptr;
    }
    std::filesystem::path path;
    std::uint64_t dimension = 0;
    std::optional<std::uint64_t> max_entries;
    if (!to_path(values[0], "path", path) || !to_u64(values[1], "dimension", dimension)) {
      return nullptr;
    }
    if (!PyUnicode_Check(values[2])) {
      raise_cannot_convert("sync", values[2], "str");
      return nullptr;
    }
    if (values[4] != Py_None) {
      std::uint64_t limit = 0;
      if (!to_u64(values[4], "max_entries", limit)) return nullptr;
      max_entries = limit;
    }

    if (dimension == 0) {
      raise_config_error("dimension must be > 0");
      return nullptr;
    }
    TessaraDBConfig config;
    if (!to_sync_policy(values[2], config.sync) || !to_index_mode(values[3], config.index_mode)) {
      return nullptr;
    }
    config.checkpoint = CheckpointPolicy{CheckpointPolicy::Disabled{}};
    config.capacity.max_entries = max_entries;
    config.capacity.max_bytes = std::nullopt;
    config.dimension = static_cast<std::size_t>(dimension);

    auto opened = TessaraDB::open_with_config(path, config);
    if (!opened) {
      // Stored embeddings of another length: the database's own dimension is the one the index
      // refused.
      const auto mismatch = opened.error().dimension_mismatch();
      if (mismatch && mismatch->expected == dimension) {
        raise_config_error(dimension_mismatch_text(mismatch->actual, dimension));
        return nullptr;
      }
      return map_tessaradb_err(opened.error());
    }
    std::unique_ptr<TessaraDB> db = std::move(*opened);
    const Stats stats = db->stats();
    if (stats.entries > 0 && stats.vector_dimension != dimension) {
      close_database(std::move(db));
      raise_config_error(dimension_mismatch_text(stats.vector_dimension, dimension));
      return nullptr;
    }

    ModuleState& state = module_state();
    DatabaseObject* self = alloc_object<DatabaseObject>(state.database_type);
    if (self == nullptr) {
      close_database(std::move(db));
      return nullptr;
    }
    self->db = std::move(db);
    self->dimension = dimension;
    self->owner_pid = getpid();
    open_handles().insert(reinterpret_cast<PyObject*>(self));
    return reinterpret_cast<PyObject*>(self);
  });
}

// ---- writes and queries ----------------------------------------------------------------------

PyObject* database_remember_embedding(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"embedding"},
        {"metadata", ParamKind::KeywordOnly, false},
        {"namespace", ParamKind::KeywordOnly, false},
        {"content", ParamKind::KeywordOnly, false},
    };
    PyObject* values[4];
    if (!parse_arguments("TessaraDB.remember_embedding()", kParams, args, nargs, kwnames,
                         values)) {
      return nullptr;
    }
    DatabaseObject* self = as_database(py_self);
    std::vector<float> embedding;
    std::optional<StrMap> metadata;
    std::string namespace_name = "default", content;
    if (!to_embedding(values[0], "embedding", embedding) ||
        !to_optional_str_map(values[1], "metadata", metadata) ||
        (values[2] != nullptr && !to_string(values[2], "namespace", namespace_name)) ||
        (values[3] != nullptr && !to_string(values[3], "content", content)) ||
        !check_embedding_length(self, embedding) || !check_owner(self)) {
      return nullptr;
    }
    auto id = [&] {
      GilRelease unlocked;
      if (content.empty()) {
        return self->db->remember_in_namespace(std::move(namespace_name), std::move(embedding),
                                               std::move(metadata));
      }
      return self->db->remember_with_content(std::move(namespace_name), std::move(content),
                                             std::move(embedding), std::move(metadata));
    }();
    if (!id) return map_tessaradb_err(id.error());
    return PyLong_FromUnsignedLongLong(id->value);
  });
}

PyObject* database_ask_embedding(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"embedding"},
        {"top_k", ParamKind::KeywordOnly, false},
        {"filter", ParamKind::KeywordOnly, false},
    };
    PyObject* values[3];
    if (!parse_arguments("TessaraDB.ask_embedding()", kParams, args, nargs, kwnames, values)) {
      return nullptr;
    }
    DatabaseObject* self = as_database(py_self);
    std::vector<float> embedding;
    std::size_t top_k = 5;
    std::optional<StrMap> filter;
    if (!to_embedding(values[0], "embedding", embedding) ||
        (values[1] != nullptr && !to_size(values[1], "top_k", top_k)) ||
        !to_optional_str_map(values[2], "filter", filter) ||
        !check_embedding_length(self, embedding)) {
      return nullptr;
    }
    auto hits = [&] {
      GilRelease unlocked;
      return self->db->ask(std::move(embedding), top_k, std::move(filter));
    }();
    if (!hits) return map_tessaradb_err(hits.error());
    return to_hit_list(*hits);
  });
}

PyObject* database_ask_in_namespace(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"namespace"},
        {"embedding"},
        {"top_k", ParamKind::KeywordOnly, false},
        {"filter", ParamKind::KeywordOnly, false},
    };
    PyObject* values[4];
    if (!parse_arguments("TessaraDB.ask_in_namespace()", kParams, args, nargs, kwnames,
                         values)) {
      return nullptr;
    }
    DatabaseObject* self = as_database(py_self);
    std::string namespace_name;
    std::vector<float> embedding;
    std::size_t top_k = 5;
    std::optional<StrMap> filter;
    if (!to_string(values[0], "namespace", namespace_name) ||
        !to_embedding(values[1], "embedding", embedding) ||
        (values[2] != nullptr && !to_size(values[2], "top_k", top_k)) ||
        !to_optional_str_map(values[3], "filter", filter) ||
        !check_embedding_length(self, embedding)) {
      return nullptr;
    }
    auto hits = [&] {
      GilRelease unlocked;
      return self->db->ask_in_namespace(std::move(namespace_name), std::move(embedding), top_k,
                                        std::move(filter));
    }();
    if (!hits) return map_tessaradb_err(hits.error());
    return to_hit_list(*hits);
  });
}

// Parses the single id argument of get / delete_memory / get_neighbors.
bool parse_id(const char* function, const char* name, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames, MemoryId& out) {
  const Param params[] = {{name}};
  PyObject* values[1];
  std::uint64_t id = 0;
  if (!parse_arguments(function, params, args, nargs, kwnames, values) ||
      !to_u64(values[0], name, id)) {
    return false;
  }
  out = MemoryId{id};
  return true;
}

PyObject* database_get(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MemoryId id;
    if (!parse_id("TessaraDB.get()", "mid", args, nargs, kwnames, id)) return nullptr;
    auto memory = as_database(py_self)->db->get_memory(id);
    if (!memory) return map_tessaradb_err(memory.error());
    MemoryFields fields;
    fields.id = memory->id.value;
    fields.namespace_ = std::move(memory->namespace_);
    fields.created_at = memory->created_at;
    fields.importance = memory->importance;
    fields.content = std::move(memory->content);
    fields.metadata = std::move(memory->metadata);
    return new_memory(module_state(), std::move(fields));
  });
}

PyObject* database_delete_memory(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    DatabaseObject* self = as_database(py_self);
    MemoryId id;
    if (!parse_id("TessaraDB.delete_memory()", "mid", args, nargs, kwnames, id) ||
        !check_owner(self)) {
      return nullptr;
    }
    auto deleted = [&] {
      GilRelease unlocked;
      return self->db->delete_memory(id);
    }();
    if (!deleted) return map_tessaradb_err(deleted.error());
    Py_RETURN_NONE;
  });
}

PyObject* database_connect(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"from_id"}, {"to_id"}, {"relation"}};
    PyObject* values[3];
    if (!parse_arguments("TessaraDB.connect()", kParams, args, nargs, kwnames, values)) {
      return nullptr;
    }
    DatabaseObject* self = as_database(py_self);
    std::uint64_t from = 0, to = 0;
    std::string relation;
    if (!to_u64(values[0], "from_id", from) || !to_u64(values[1], "to_id", to) ||
        !to_string(values[2], "relation", relation) || !check_owner(self)) {
      return nullptr;
    }
    auto connected = self->db->connect(MemoryId{from}, MemoryId{to}, std::move(relation));
    if (!connected) return map_tessaradb_err(connected.error());
    Py_RETURN_NONE;
  });
}

PyObject* database_get_neighbors(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MemoryId id;
    if (!parse_id("TessaraDB.get_neighbors()", "id", args, nargs, kwnames, id)) return nullptr;
    auto neighbors = as_database(py_self)->db->get_neighbors(id);
    if (!neighbors) return map_tessaradb_err(neighbors.error());
    PyRef list{PyList_New(static_cast<Py_ssize_t>(neighbors->size()))};
    if (!list) return nullptr;
    for (std::size_t i = 0; i < neighbors->size(); ++i) {
      const auto& [target, relation] = (*neighbors)[i];
      PyRef id_object{PyLong_FromUnsignedLongLong(target.value)};
      PyRef relation_object{to_py_str(relation)};
      if (!id_object || !relation_object) return nullptr;
      PyObject* pair = PyTuple_Pack(2, id_object.get(), relation_object.get());  // no steal
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals `pair`
    }
    return list.release();
  });
}

// ---- maintenance -----------------------------------------------------------------------------

// compact / flush / checkpoint: no arguments, one facade call without the interpreter lock.
template <Result<void, TessaraDBError> (TessaraDB::*Operation)()>
PyObject* maintenance(const char* function, PyObject* py_self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* none[1];
    if (!parse_arguments(function, std::span<const Param>{}, args, nargs, kwnames,
                         std::span<PyObject*>(none, 0))) {
      return nullptr;
    }
    DatabaseObject* self = as_database(py_self);
    if (!check_owner(self)) return nullptr;
    auto done = [&] {
      GilRelease unlocked;
      return ((*self->db).*Operation)();
    }();
    if (!done) return map_tessaradb_err(done.error());
    Py_RETURN_NONE;
  });
}

PyObject* database_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return maintenance<&TessaraDB::compact>("TessaraDB.compact()", self, args, nargs, kwnames);
}
PyObject* database_flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return maintenance<&TessaraDB::flush>("TessaraDB.flush()", self, args, nargs, kwnames);
}
PyObject* database_checkpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return maintenance<&TessaraDB::checkpoint>("TessaraDB.checkpoint()", self, args, nargs,
                                             kwnames);
}

// ---- statistics and protocols ----------------------------------------------------------------

PyObject* database_stats(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* none[1];
    if (!parse_arguments("TessaraDB.stats()", std::span<const Param>{}, args, nargs, kwnames,
                         std::span<PyObject*>(none, 0))) {
      return nullptr;
    }
    const Stats stats = as_database(py_self)->db->stats();
    return new_stats(module_state(),
                     StatsFields{stats.entries, stats.indexed_embeddings, stats.wal_length,
                                 stats.vector_dimension, stats.storage_version});
  });
}

PyObject* database_enter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* none[1];
    if (!parse_arguments("TessaraDB.__enter__()", std::span<const Param>{}, args, nargs, kwnames,
                         std::span<PyObject*>(none, 0))) {
      return nullptr;
    }
    Py_INCREF(self);
    return self;
  });
}

PyObject* database_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"_exc_type"}, {"_exc_value"}, {"_traceback"}};
    PyObject* values[3];
    if (!parse_arguments("TessaraDB.__exit__()", kParams, args, nargs, kwnames, values)) {
      return nullptr;
    }
    Py_RETURN_FALSE;  // leaving the block neither closes the database nor swallows exceptions
  });
}

PyObject* database_repr(PyObject* py_self) {
  return guarded([&]() -> PyObject* {
    DatabaseObject* self = as_database(py_self);
    const Stats stats = self->db->stats();
    const std::string text = "TessaraDB(entries=" + std::to_string(stats.entries) +
                             ", dimension=" + std::to_string(self->dimension) +
                             ", indexed=" + std::to_string(stats.indexed_embeddings) + ")";
    return to_py_str(text);
  });
}

Py_ssize_t database_length(PyObject* py_self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    const std::uint64_t entries = as_database(py_self)->db->stats().entries;
    if (entries > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "entries count does not fit in a Py_ssize_t");
      return -1;
    }
    return static_cast<Py_ssize_t>(entries);
  });
}

void database_dealloc(PyObject* py_self) {
  DatabaseObject* self = as_database(py_self);
  open_handles().erase(py_self);
  std::unique_ptr<TessaraDB> db = std::move(self->db);
  if (db && self->owner_pid != getpid()) {
    // A forked child holds a copy of the parent's database without its threads: closing it would
    // wait for threads that do not exist here and write over the parent's files. The parent
    // closes the real one; the child's copy is left to the process's end.
    static_cast<void>(db.release());
  }
  close_database(std::move(db));
  dealloc_object<DatabaseObject>(py_self);
}

// ---- the type ------------------------------------------------------------------------------

template <typename Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef database_methods[] = {
    {"open", as_method(database_open), kFastKeywords | METH_STATIC,
     "open(path, *, dimension, sync='strict', index_mode='exact', max_entries=None)\n--\n\n"
     "Open or create a TessaraDB database.\n"
     "\n"
     "Args:\n"
     "    path: Directory path for the database files.\n"
     "    dimension: Vector embedding dimension (required).\n"
     "    sync: Durability policy: \"strict\" (sync every write), \"batch\" or \"async\".\n"
     "    index_mode: \"exact\", \"hnsw\", or a dict such as {\"type\": \"hnsw\", \"m\": 16,\n"
     "        \"ef_construction\": 200, \"ef_search\": 50}.\n"
     "    max_entries: Largest number of memories kept (the oldest are evicted), or None.\n"
     "\n"
     "Returns:\n"
     "    A TessaraDB handle.\n"
     "\n"
     "Raises:\n"
     "    TessaraDBError: If the database cannot be opened or the dimension mismatches an\n"
     "        existing database.\n"},
    {"remember_embedding", as_method(database_remember_embedding), kFastKeywords,
     "remember_embedding(self, embedding, *, metadata=None, namespace='default', content='')\n"
     "--\n\n"
     "Store a new memory with the given embedding vector.\n"
     "\n"
     "Args:\n"
     "    embedding: The vector; its length must match the configured dimension.\n"
     "    metadata: Optional dict of string key-value pairs.\n"
     "    namespace: Namespace of the memory (default \"default\").\n"
     "    content: Optional text stored with the memory as UTF-8 bytes.\n"
     "\n"
     "Returns:\n"
     "    The assigned memory ID.\n"},
    {"ask_embedding", as_method(database_ask_embedding), kFastKeywords,
     "ask_embedding(self, embedding, *, top_k=5, filter=None)\n--\n\n"
     "Query the database by embedding vector similarity.\n"
     "\n"
     "Args:\n"
     "    embedding: The query vector.\n"
     "    top_k: Number of results to return (default 5).\n"
     "    filter: Optional dict of metadata key-value pairs every hit must carry.\n"
     "\n"
     "Returns:\n"
     "    list[Hit] sorted by descending relevance.\n"},
    {"ask_in_namespace", as_method(database_ask_in_namespace), kFastKeywords,
     "ask_in_namespace(self, namespace, embedding, *, top_k=5, filter=None)\n--\n\n"
     "Search within a single namespace. The namespace filtering is done in the engine before\n"
     "results are returned.\n"
     "\n"
     "Args:\n"
     "    namespace: The namespace to search.\n"
     "    embedding: The query vector.\n"
     "    top_k: Number of results to return (default 5).\n"
     "    filter: Optional dict of metadata key-value pairs every hit must carry.\n"
     "\n"
     "Returns:\n"
     "    list[Hit] ranked by score, scoped to the namespace.\n"},
    {"get", as_method(database_get), kFastKeywords,
     "get(self, mid)\n--\n\nRetrieve a full memory by ID.\n"},
    {"delete_memory", as_method(database_delete_memory), kFastKeywords,
     "delete_memory(self, mid)\n--\n\nDelete a memory by ID.\n"},
    {"connect", as_method(database_connect), kFastKeywords,
     "connect(self, from_id, to_id, relation)\n--\n\nCreate an edge between two memories.\n"},
    {"get_neighbors", as_method(database_get_neighbors), kFastKeywords,
     "get_neighbors(self, id)\n--\n\n"
     "Retrieve the outgoing graph connections from a specific memory.\n"
     "\n"
     "Returns:\n"
     "    A list of (target_id, relation_label) tuples.\n"},
    {"compact", as_method(database_compact), kFastKeywords,
     "compact(self)\n--\n\nCompact on-disk segment storage (removes tombstoned entries).\n"},
    {"flush", as_method(database_flush), kFastKeywords,
     "flush(self)\n--\n\nFlush all pending WAL writes to disk.\n"},
    {"checkpoint", as_method(database_checkpoint), kFastKeywords,
     "checkpoint(self)\n--\n\nForce a checkpoint (snapshot state + truncate WAL).\n"},
    {"stats", as_method(database_stats), kFastKeywords,
     "stats(self)\n--\n\nGet database statistics.\n"},
    {"__enter__", as_method(database_enter), kFastKeywords, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(database_exit), kFastKeywords,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char kDatabaseDoc[] =
    "Embedded vector + graph memory database for AI agents.\n"
    "\n"
    "Example:\n"
    "    db = TessaraDB.open(\"/tmp/agent.mem\", dimension=128)\n"
    "    mid = db.remember_embedding([0.1] * 128)\n"
    "    hits = db.ask_embedding([0.1] * 128, top_k=5)\n"
    "    print(hits[0].score)\n";

PyType_Slot database_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDatabaseDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(database_repr)},
    {Py_mp_length, reinterpret_cast<void*>(database_length)},
    {Py_tp_methods, database_methods},
    {0, nullptr},
};

PyType_Spec database_spec = {
    "tessaradb.TessaraDB", sizeof(DatabaseObject), 0, Py_TPFLAGS_DEFAULT, database_slots,
};

}  // namespace

PyObject* create_database_type() { return PyType_FromSpec(&database_spec); }

bool flush_all_databases() {
  // Strong references first: a handle dropped by another thread while one is being flushed
  // stays alive until its flush returns.
  std::vector<PyRef> handles;
  const pid_t self_pid = getpid();
  for (PyObject* handle : open_handles()) {
    if (as_database(handle)->owner_pid == self_pid) handles.push_back(PyRef::borrow(handle));
  }
  std::optional<TessaraDBError> first_error;
  for (const PyRef& handle : handles) {
    TessaraDB* db = as_database(handle.get())->db.get();
    if (db == nullptr) continue;
    auto flushed = [&] {
      GilRelease unlocked;
      return db->flush();
    }();
    if (!flushed && !first_error) first_error = std::move(flushed).error();
  }
  if (first_error) {
    map_tessaradb_err(*first_error);
    return false;
  }
  return true;
}

}  // namespace tessaradb::python
