#pragma once

// TessaraDBStore: the concurrency layer between the facade and the engine.
//
// Writes are serialised behind one writer lock. Each successful write keeps the vector index in
// step with the state machine and then publishes an immutable ReadSnapshot (the state machine
// and the index layer as they stand after the write) through an atomically replaceable shared
// pointer. Reads load that pointer once and work on the snapshot alone: they never take the
// writer lock and never wait for a writer, not even one that is syncing to disk.
//
// Publishing costs what the write changed, not the size of the database: the state machine and
// the vector index are structurally shared, so a snapshot is a handful of reference counts.
//
// Durability follows the sync policy: Strict syncs the log and the open segment file before a
// write returns; Batch and Async leave that to a sync thread (every append is still handed to
// the kernel before the write returns, so a process crash loses nothing acknowledged; only a
// power loss can lose the last unsynced window). A Periodic checkpoint policy adds a checkpoint
// thread that saves the state and rewrites the log without the commands the checkpoint covers.
//
// Failed I/O is final for the handle: after a write or sync of the log or of a segment file has
// failed (in a write, in flush or in the sync thread), every later write, flush, checkpoint and
// compaction fails with that same error until the database is reopened, because the kernel may
// have dropped data that no later success could vouch for. Reads keep working.
//
// Lock order (the only place it is written down):
//   1. writer_mutex_       the writer lock: writes, flush, checkpoints, compaction, log rewrite;
//   2. checkpoint_file_mutex_   serialises saves of the checkpoint file;
//   3. a runtime mutex (sync_runtime_.mutex or checkpoint_runtime_.mutex): leaf locks;
//   4. the snapshot holder's mutex: a leaf held only to copy or swap one pointer.
// A thread holding a lock may take only locks further down the list. The background threads
// release their runtime mutex before they take the writer lock. The HNSW backend's own mutex
// and the query layer's locks are taken inside index and query calls and never call back here.
//
// Standard error: the HNSW load lines at open, and the background failure lines (sync thread,
// checkpoint thread, HNSW save), one line each. Nothing else is printed.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "core/command.hpp"
#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "core/state_machine.hpp"
#include "engine/engine.hpp"
#include "index/combined.hpp"
#include "index/errors.hpp"
#include "query/executor.hpp"
#include "query/hybrid.hpp"
#include "storage/checkpoint.hpp"
#include "storage/file.hpp"
#include "storage/wal.hpp"
#include "store/policies.hpp"

namespace tessaradb {

// The store's error. message() spells out the fixed texts:
//   Engine              "Engine error: {}"
//   Vector              "Vector index error: {}"
//   Query               "Query error: {}"
//   Checkpoint          "Checkpoint error: {}"
//   Wal                 "WAL error: {}"
//   InvariantViolation  "Invariant violation: {}"
//   MissingEmbedding    "Embedding required when content changes for memory id MemoryId(5)"
struct TessaraDBStoreError {
  struct Engine {
    EngineError inner;
  };
  struct Vector {
    VectorError inner;
  };
  struct Query {
    HybridQueryError inner;
  };
  struct Checkpoint {
    CheckpointError inner;
  };
  struct Wal {
    WalError inner;
  };
  struct InvariantViolation {
    std::string text;  // e.g. "vector index mismatch: state=3 index=2"
  };
  struct MissingEmbedding {
    MemoryId id;
  };
  std::variant<Engine, Vector, Query, Checkpoint, Wal, InvariantViolation, MissingEmbedding> kind;

  std::string message() const;
};

// What readers see: the state machine and the index layer as one write left them. Never changes
// once published; shared by reference count between the store and every reader that loaded it,
// and freed with the last reference. The HNSW graph (when there is one) is shared by the writer
// and every snapshot.
struct ReadSnapshot {
  IndexLayer indexes;
  StateMachine state_machine;
};

// Everything the writer lock protects.
struct WriteState {
  IndexLayer indexes;
  Engine engine;
  // Memories of the engine's state that carry an embedding; kept up to date by every write so
  // that the index check compares counts instead of walking the whole state.
  std::size_t embedded_memories = 0;
  // Set when a check found the index out of step: later writes check the full sets until one
  // passes.
  bool needs_full_check = false;
  // The first failed write or sync of the log or a segment file; returned by every later write,
  // flush, checkpoint and compaction.
  std::optional<TessaraDBStoreError> io_failure;
};

// The published snapshot. load() returns the current one, store() replaces it; the lock inside
// is held only to copy or swap the pointer (the replaced snapshot is released after it), so a
// reader waits at most for a pointer swap, never for a write.
//
// Not std::atomic<std::shared_ptr>: libstdc++ 12 implements its load with a spin lock that it
// releases with relaxed ordering, so a reader's read of the pointer does not happen before the
// next store's write of it. That is a data race by the memory model (ThreadSanitizer reports
// it), and on weakly ordered hardware a reader could pair the new pointer with the old count.
class SnapshotHolder {
 public:
  explicit SnapshotHolder(std::shared_ptr<const ReadSnapshot> first) : current_(std::move(first)) {}
  SnapshotHolder(const SnapshotHolder&) = delete;
  SnapshotHolder& operator=(const SnapshotHolder&) = delete;

  std::shared_ptr<const ReadSnapshot> load() const {
    std::scoped_lock lock(mutex_);
    return current_;
  }

  void store(std::shared_ptr<const ReadSnapshot> next) {
    {
      std::scoped_lock lock(mutex_);
      current_.swap(next);
    }
    // `next` now holds the previous snapshot; freeing it (possibly the last reference) happens
    // here, outside the lock.
  }

 private:
  // Guards current_.
  mutable std::mutex mutex_;
  std::shared_ptr<const ReadSnapshot> current_;
};

// One query's result with the snapshot it ran on. Holding it keeps that snapshot alive.
struct SnapshotQuery {
  QueryExecution execution;
  std::shared_ptr<const ReadSnapshot> snapshot;
};

// Paths and policies of one store.
struct StoreOptions {
  std::filesystem::path wal_path;      // the log, e.g. <dir>/tessaradb.wal
  std::filesystem::path segments_dir;  // <dir>/segments
  std::size_t dimension = 0;           // length of every embedding
  SyncPolicy sync{SyncPolicy::Strict{}};
  CheckpointPolicy checkpoint{CheckpointPolicy::Disabled{}};
  CapacityPolicy capacity;
  IndexMode index_mode{IndexMode::Exact{}};
  // Open removes the temporary files a crash inside a durable rewrite leaves beside the log.
  // A second handle on a directory that this process already has open must not: the first
  // handle may be inside a rewrite, and its temporary file is not stale.
  bool remove_stale_temporaries = true;
};

class TessaraDBStore {
 public:
  // Creates the store of a directory without a log (Engine::create: a checkpoint left without
  // its log is recovered, never replaced by an empty state). Failure: Engine, Vector,
  // InvariantViolation. `fs` must outlive the store.
  static Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> new_with_policies(
      const StoreOptions& options, FileSystem& fs = default_file_system());

  // Reopens an existing database: loads the checkpoint beside the log (none when absent; any other
  // failure is Checkpoint), recovers the engine from it and the log (Engine), then builds the
  // index as new_with_policies does, with the same result and errors. In exact mode each vector is
  // put into its index row as the checkpoint and the log are decoded and the state keeps a view
  // of that row, so the open holds one copy of the vectors (plus a window of the file), never
  // two. Memory: the rows plus a few hundred bytes per memory.
  static Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> recover_with_policies(
      const StoreOptions& options, FileSystem& fs = default_file_system());

  // Builds the store around an opened engine:
  //   1. HNSW mode: loads the HNSW file (the checkpoint path with extension "hnsw") and prints
  //      one line: "Loaded HNSW index from disk (fast recovery)", "No HNSW index file found,
  //      building fresh index" or "Failed to load HNSW index, rebuilding: {}". A graph that
  //      cannot be created at all falls back to exact search silently.
  //   2. Indexes every stored embedding (ascending id). A loaded graph is reconciled with the
  //      state: missing ids are added, changed vectors replaced and keys of memories that are
  //      gone or have no embedding removed, so it answers as a fresh build would. An embedding
  //      of another length than `dimension` fails the open with Vector (DimensionMismatch
  //      {dimension, stored length}).
  //   3. Checks that the index holds exactly the memories with embeddings (InvariantViolation),
  //      publishes the first snapshot and starts the threads the policies ask for: a sync thread
  //      unless Strict, a checkpoint thread when Periodic.
  static Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> from_engine(
      Engine engine, const StoreOptions& options, FileSystem& fs = default_file_system());

  // Shutdown: stops and joins the checkpoint thread, then the sync thread; flushes; under
  // Periodic writes a final checkpoint; saves the HNSW file in HNSW mode (a failure prints
  // "Warning: Failed to save HNSW on drop: {}"). Never fails; results are ignored. In a child
  // process after fork the threads and files belong to the parent: nothing is joined or written.
  ~TessaraDBStore();

  TessaraDBStore(const TessaraDBStore&) = delete;
  TessaraDBStore& operator=(const TessaraDBStore&) = delete;

  // ---- writes: each takes the writer lock for the whole transaction --------------------------
  //
  // A write runs: the embedding length check (inserts; Vector, nothing written); the engine
  // (log, segment, state; Engine, and a command the state would refuse leaves no log entry);
  // under Strict the log and segment syncs (Engine); the index update (Vector); capacity
  // enforcement when a limit is set (every eviction is a logged delete, removed from the index
  // too); the index check (InvariantViolation); then one new snapshot is published and the
  // pending work recorded for the background threads. Returns the command's CommandId.
  //
  // An error before the engine call changes nothing. An error after it leaves the command
  // applied (and logged) while the published snapshot stays at the previous write; the next
  // successful write publishes the state as it then is. Cost: O(log n) plus what the write
  // touches, never a pass over the database.

  // Inserts `entry`, or replaces the memory with its id. A replacement without an embedding keeps
  // the stored embedding when the content is unchanged, and is refused with MissingEmbedding
  // when the content differs. Once indexed, the state's entry holds a view of the index's row
  // (Embedding), not a copy of the floats: memory for vectors is paid once.
  Result<CommandId, TessaraDBStoreError> insert_memory(MemoryEntry entry);
  // Deletes the memory and every edge touching it; an absent id is an Engine error.
  Result<CommandId, TessaraDBStoreError> delete_memory(MemoryId id);
  // Adds from -> to with `relation`; a missing memory or a cross-namespace pair is an Engine
  // error (from the state machine) and writes nothing.
  Result<CommandId, TessaraDBStoreError> add_edge(MemoryId from, MemoryId to, std::string relation);

  // ---- reads: lock-free, on the current snapshot ------------------------------------------------

  // Plans the query for the snapshot's index size and runs the executor on the snapshot. An
  // executor failure is Query. The result carries the snapshot it ran on.
  Result<SnapshotQuery, TessaraDBStoreError> query_with_snapshot(
      std::string_view query_text, const QueryOptions& options,
      const QueryEmbedder& embedder) const;

  // The current snapshot; keep it to read one consistent state.
  std::shared_ptr<const ReadSnapshot> snapshot() const;
  // The current snapshot's state machine (an O(1) copy that behaves as a deep copy).
  StateMachine state_machine() const;
  // Live embeddings held by the current snapshot's vector index.
  std::size_t indexed_embeddings() const;
  // The vector index's dimension.
  std::size_t vector_dimension() const;
  // The log's entry count as the engine keeps it; takes the writer lock.
  std::uint64_t wal_len() const;

  // ---- durability
  // --------------------------------------------------------------------------------

  // Under the writer lock: syncs the log, then the open segment file (none open: the log only),
  // then clears the pending sync work. Failure: Engine (Wal or Segment case with the I/O error);
  // the pending work is then kept.
  Result<void, TessaraDBStoreError> flush();

  // Under the writer lock for its whole duration: saves a checkpoint of the state (Checkpoint),
  // saves the HNSW file in HNSW mode (a failure only prints "Warning: Failed to save HNSW index:
  // {}"), rewrites the log without the commands the checkpoint covers, which leaves it empty
  // (Wal), and reopens it (Engine); then clears the pending checkpoint work. A failed save leaves
  // the log untouched.
  Result<void, TessaraDBStoreError> checkpoint_now();

  // Under the writer lock: Engine::compact_segments (Engine). Publishes nothing: the logical
  // state does not change.
  Result<CompactionResult, TessaraDBStoreError> compact_segments();

  // The checkpoint and HNSW file paths derived from the log path.
  const std::filesystem::path& checkpoint_path() const { return checkpoint_path_; }
  const std::filesystem::path& hnsw_path() const { return hnsw_path_; }

 private:
  TessaraDBStore(const StoreOptions& options, FileSystem& fs, WriteState write_state,
                 std::shared_ptr<const ReadSnapshot> first_snapshot);

  // from_engine around an exact index already holding rows for the memories the checkpoint and
  // the log decoded (see recover_with_policies), or, with nothing, exactly from_engine.
  static Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> from_engine_with_index(
      Engine engine, const StoreOptions& options, FileSystem& fs,
      std::optional<VectorIndex> prefilled);

  // The write transaction; requires writer_mutex_.
  Result<CommandId, TessaraDBStoreError> execute_write_transaction_locked(Command command);
  // Evicts while a capacity limit is exceeded; adds the evicted ids to `touched`.
  Result<std::uint64_t, TessaraDBStoreError> enforce_capacity_locked(
      std::vector<MemoryId>& touched);
  // Checks the index against the state for the ids a write touched; see store.cpp.
  Result<void, TessaraDBStoreError> check_index_locked(const StateMachine& before,
                                                       const std::vector<MemoryId>& touched);
  void publish_snapshot_locked();
  // Syncs the log and the open segment; a failure fails the store.
  Result<void, EngineError> sync_files_locked();
  // After `error` from the engine: when the log or the segment storage has failed, records
  // `error` as the store's final failure.
  void note_io_failure_locked(const EngineError& error);
  // Saves a checkpoint of `state` under checkpoint_file_mutex_.
  Result<void, CheckpointError> save_checkpoint_file(const StateMachine& state,
                                                     std::uint64_t last_applied_id);
  // Rewrites the log without its first `covered` entries and reopens it; requires the writer
  // lock.
  Result<void, TessaraDBStoreError> rewrite_log_locked(std::uint64_t covered);

  void run_sync_thread();
  // One pass of the sync thread: syncs the log and the open segment without holding the writer
  // lock during the fsyncs; a failure fails the store.
  void background_sync();
  void run_checkpoint_thread();
  // Background checkpoint: save outside the writer lock, then rewrite the log under it.
  void background_checkpoint();

  const SyncPolicy sync_policy_;
  const CheckpointPolicy checkpoint_policy_;
  const CapacityPolicy capacity_policy_;
  const std::filesystem::path checkpoint_path_;
  const std::filesystem::path hnsw_path_;
  FileSystem& fs_;
  const int owner_pid_;  // the process that opened the store

  // The writer lock. Guards writer_ (and the order in which snapshots are published).
  mutable std::mutex writer_mutex_;
  WriteState writer_;

  // Serialises saves of the checkpoint file (the background thread saves without the writer lock).
  // Guards checkpoint_generation_'s increments.
  std::mutex checkpoint_file_mutex_;
  // Incremented by every explicit checkpoint, so that a background checkpoint taken before it
  // neither overwrites the newer file nor rewrites the log by a stale bound.
  std::atomic<std::uint64_t> checkpoint_generation_{0};

  // The current snapshot; readers load it without the writer lock.
  SnapshotHolder snapshot_;

  SyncRuntime sync_runtime_;
  // Page-cache release of the files the sync thread syncs; used by that thread only.
  SyncedPageRelease log_pages_;
  SyncedPageRelease segment_pages_;
  CheckpointRuntime checkpoint_runtime_;
  std::optional<std::thread> sync_thread_;        // unless Strict
  std::optional<std::thread> checkpoint_thread_;  // when Periodic
};

}  // namespace tessaradb
