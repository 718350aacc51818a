#pragma once

// TessaraDB: the embedding-level interface of one open database directory. Open a directory
// with a configuration, remember memories (an embedding with optional content and metadata, in a
// namespace), ask similarity queries, fetch, delete and connect memories, list neighbours, and
// run flush, checkpoint, compaction and statistics.
//
// The facade assigns memory identifiers, stamps creation times, builds the query options and
// turns store results into plain values that share nothing with the store. The store does all
// locking: every operation may be called from any number of threads at once on one TessaraDB.
// Reads (ask, ask_in_namespace, get_memory, get_neighbors, stats) work on published snapshots
// and never wait for writers.
//
// Every failure is a TessaraDBError value; nothing is retried and nothing throws (except
// std::bad_alloc when memory runs out).
//
// A forked child inherits the handle but not the right to write: remember, delete_memory,
// connect, compact, flush and checkpoint called in another process than the one that opened the
// handle fail with Io, and touch nothing. Reads keep working.
//
// The implementation lives in facade/tessaradb.cpp. The caller's vector reaches the executor
// through FixedEmbedder (query/hybrid.hpp): its `embed` returns a copy of the one embedding it
// holds, whatever the text, and never fails.
//
// Names this header takes from the store (store/store.hpp):
//   TessaraDBStore          the store one TessaraDB owns;
//   TessaraDBStoreError     the store's error, a tagged union with `std::string message()` and a
//                           case `TessaraDBStoreError::Vector { VectorError inner; }`;
//   SyncPolicy              kind: variant<Strict{}, Batch{max_ops, max_delay_ms}, Async{interval_ms}>;
//   CheckpointPolicy        kind: variant<Disabled{}, Periodic{every_ops, every_ms}>;
//   CapacityPolicy          max_entries (optional size_t), max_bytes (optional uint64_t);
//   IndexMode               kind: variant<Exact{}, Hnsw{HnswConfig config}> (the store builds its
//                           vector index from it, so it is defined at the store's level).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "core/state_machine.hpp"
#include "index/errors.hpp"
#include "index/hnsw.hpp"
#include "storage/file.hpp"
#include "store/store.hpp"

namespace tessaradb {

// Everything open_with_config needs to know about a database.
struct TessaraDBConfig {
  CheckpointPolicy checkpoint;  // Disabled, or Periodic{every_ops, every_ms}
  CapacityPolicy capacity;      // max_entries and max_bytes, each optional; enforced on every write
  IndexMode index_mode;         // Exact, or Hnsw with an HnswConfig {m, ef_construction, ef_search}
  SyncPolicy sync;              // Strict, Batch{max_ops, max_delay_ms} or Async{interval_ms}
  std::size_t dimension = 0;    // the length of every embedding
};

// A copy of one stored memory, all seven fields. Owns its data; shares nothing with the store.
using Memory = MemoryEntry;

// One hit of ask / ask_in_namespace: the memory and its score (similarity mapped to [0, 1]).
struct AskHit {
  MemoryId id;
  float score = 0.0f;

  friend bool operator==(const AskHit&, const AskHit&) = default;
};

// Statistics. The figures are read one after the other and may come from different snapshots
// while writes run concurrently.
struct Stats {
  std::uint64_t entries = 0;            // memories in the current state
  std::size_t indexed_embeddings = 0;   // live embeddings held by the vector index
  std::uint64_t wal_length = 0;         // the log's entry count as the engine keeps it
  std::size_t vector_dimension = 0;     // the vector index's dimension
  std::uint32_t storage_version = 1;    // always 1
};

// The facade's error. message() spells out the fixed texts:
//   Store           "Store error: " + inner.message()
//   StateMachine    "State machine error: " + inner.message()
//   Io              "IO error: " + inner.message()
//   MemoryNotFound  "Memory not found: " + the plain decimal id ("Memory not found: 7")
struct TessaraDBError {
  struct Store {
    TessaraDBStoreError inner;
  };
  struct StateMachine {
    StateMachineError inner;
  };
  struct Io {
    IoError inner;
  };
  struct MemoryNotFound {
    std::uint64_t id;
  };
  std::variant<Store, StateMachine, Io, MemoryNotFound> kind;

  std::string message() const;

  // The vector index's refusal of an embedding of the wrong length, when this is a Store error
  // wrapping VectorError::DimensionMismatch: {expected, actual}. Empty for every other error.
  std::optional<VectorError::DimensionMismatch> dimension_mismatch() const;
};

class TessaraDB {
 public:
  using Neighbors = std::vector<std::pair<MemoryId, std::string>>;

  // Opens the database in `directory`, creating it and any missing parents (0777 before umask)
  // when absent:
  //   1. Create the directory; failure is Io.
  //   2. Take the directory lock: an exclusive advisory flock on the directory itself (no lock
  //      file). A process holds one lock per directory, shared by all of its TessaraDB objects
  //      on it and released with the last one, so opening the same directory again in the same
  //      process succeeds. When another process holds it (including the parent of a forked
  //      child: a child never reuses locks it inherited), the open fails with Io whose text
  //      names the directory as in use by another process, and nothing else is touched.
  //   3. The log is directory/"tessaradb.wal", the segments directory/"segments". When the log
  //      or the checkpoint (directory/"tessaradb.ckpt") exists, the store recovers
  //      (recover_with_policies); otherwise a new store is created (new_with_policies). Both get
  //      the dimension, the three policies and the index mode. Failure is Store: a checkpoint
  //      that cannot be read, stored embeddings whose length differs from config.dimension
  //      (Store wrapping VectorError::DimensionMismatch{expected: config.dimension, actual: the
  //      stored length}), an index that does not match the state.
  //   4. The identifier counter starts one above the largest stored id, or at 1.
  // A failed open releases the lock again (unless another TessaraDB of this process holds it)
  // and leaves the stored data as it was.
  static Result<std::unique_ptr<TessaraDB>, TessaraDBError> open_with_config(
      const std::filesystem::path& directory, const TessaraDBConfig& config);

  // Drops the store: stops its background threads, flushes, writes a final checkpoint when the
  // checkpoint policy is Periodic and saves the HNSW file in HNSW mode; then releases this
  // object's share of the directory lock. Blocks for that I/O; never fails (the store reports
  // problems on standard error).
  ~TessaraDB();

  TessaraDB(const TessaraDB&) = delete;
  TessaraDB& operator=(const TessaraDB&) = delete;

  // Remembers `embedding` in `namespace_` with empty content (remember_in_namespace) or with
  // `content` (remember_with_content), the given metadata (none means an empty map), importance
  // 0.0 and created_at = the current whole seconds since the Unix epoch (0 if the clock reads
  // earlier). Returns the new id. The id is taken from the counter before the store is called
  // and is consumed even when the call fails, so ids can have gaps; concurrent calls always get
  // distinct ids (their inserts may reach the log in any order). The embedding's length is
  // checked by the store: a wrong length is Store wrapping VectorError::DimensionMismatch and
  // writes nothing. Any other store failure is Store.
  Result<MemoryId, TessaraDBError> remember_in_namespace(std::string namespace_,
                                                         std::vector<float> embedding,
                                                         std::optional<Metadata> metadata);
  Result<MemoryId, TessaraDBError> remember_with_content(std::string namespace_,
                                                         std::string content,
                                                         std::vector<float> embedding,
                                                         std::optional<Metadata> metadata);

  // The `top_k` best memories for `embedding` over all namespaces, best first, as (id, score).
  // Runs one query on the current snapshot with graph expansion of 1 hop, the metadata filter
  // (none: no filtering; an empty map matches everything), weights 70/20/10 and no time range.
  // Failures are Store wrapping the query error: top_k 0 gives "Store error: Query error:
  // Invalid top_k: 0" before any search; a database without indexed embeddings gives
  // "Store error: Query error: Vector error: No embeddings indexed". Copies nothing beyond its
  // hits.
  Result<std::vector<AskHit>, TessaraDBError> ask(std::vector<float> embedding, std::size_t top_k,
                                                  std::optional<Metadata> filter) const;

  // As ask, restricted to `namespace_`: the query runs with the namespace set, and then every hit
  // whose memory is no longer present in the current state, or lies in another namespace, is
  // dropped; at most `top_k` hits are returned, in the executor's order.
  Result<std::vector<AskHit>, TessaraDBError> ask_in_namespace(
      std::string namespace_, std::vector<float> embedding, std::size_t top_k,
      std::optional<Metadata> filter) const;

  // A copy of the memory with `id` from the current snapshot, or MemoryNotFound{id}. Copies
  // only that one entry.
  Result<Memory, TessaraDBError> get_memory(MemoryId id) const;

  // Deletes the memory and every edge touching it. An absent id is Store, reading
  // "Store error: Engine error: Segment error: Entry not found: MemoryId(<id>)", and leaves
  // the log unchanged.
  Result<void, TessaraDBError> delete_memory(MemoryId id);

  // Adds the edge from -> to labelled `relation`. A missing memory or a pair in two namespaces
  // is refused by the state machine inside the engine and arrives as Store, e.g. "Store error:
  // Engine error: State machine error: Cross-namespace edge is not allowed: from=MemoryId(1)
  // (a) to=MemoryId(2) (b)"; nothing is written to the log then.
  Result<void, TessaraDBError> connect(MemoryId from, MemoryId to, std::string relation);

  // The outgoing (target, relation) pairs of `id` in the current state, sorted by target and
  // then relation. An absent id is StateMachine: "State machine error: Memory not found:
  // MemoryId(<id>)".
  Result<Neighbors, TessaraDBError> get_neighbors(MemoryId id) const;

  // Rewrites the segment files without deleted records; what compaction found is not reported.
  Result<void, TessaraDBError> compact();

  // Writes out and syncs the log and the open segment file: on success every earlier write
  // survives a power loss.
  Result<void, TessaraDBError> flush();

  // Saves a checkpoint of the current state (and the HNSW file in HNSW mode) and rewrites the
  // log without the commands the checkpoint holds.
  Result<void, TessaraDBError> checkpoint();

  // Never fails.
  Stats stats() const;

 private:
  TessaraDB() = default;

  // Shared by every TessaraDB of this process on the same directory; defined in tessaradb.cpp.
  struct DirectoryLock;

  // This process's lock on `directory`: the one another TessaraDB of this process holds, or a
  // new flock. Another process's lock fails with Io naming the directory as in use.
  static Result<std::shared_ptr<DirectoryLock>, TessaraDBError> lock_directory(
      const std::filesystem::path& directory);
  // Io when called in a process other than the one that opened this handle (a forked child).
  std::optional<TessaraDBError> check_writer() const;

  std::shared_ptr<DirectoryLock> directory_lock_;
  std::unique_ptr<TessaraDBStore> store_;
  std::atomic<std::uint64_t> next_id_{1};  // the id the next remember call takes
};

}  // namespace tessaradb
