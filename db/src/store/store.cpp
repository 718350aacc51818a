#include "store/store.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <type_traits>
#include <utility>

#include "query/planner.hpp"
#include "storage/stale_temporaries.hpp"

namespace tessaradb {
namespace {

using StoreError = TessaraDBStoreError;

// One line on standard error, written with a single call so that lines of different threads do
// not interleave.
void print_line(const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

StoreError engine_error(EngineError error) {
  return StoreError{StoreError::Engine{std::move(error)}};
}

// What the full comparison of the index with the state found: S = memories with an embedding,
// I = ids the index holds.
struct IndexComparison {
  bool equal = true;
  std::size_t state_count = 0;
  std::size_t index_count = 0;
};

// Walks both sets. Only used at open and after a write whose quick check failed.
IndexComparison compare_index_with_state(const StateMachine& state, const VectorIndex& index) {
  IndexComparison result;
  state.memories().for_each([&](std::uint64_t id, const StateMachine::EntryPtr& entry) {
    if (!entry->has_embedding()) return;
    ++result.state_count;
    if (!index.has(MemoryId{id})) result.equal = false;
  });
  index.for_each_id([&](MemoryId id) {
    if (!index.has(id)) return;
    ++result.index_count;
    const MemoryEntry* entry = state.get(id);
    if (entry == nullptr || !entry->has_embedding()) result.equal = false;
  });
  return result;
}

StoreError index_mismatch(const IndexComparison& found) {
  return StoreError{StoreError::InvariantViolation{
      "vector index mismatch: state=" + std::to_string(found.state_count) +
      " index=" + std::to_string(found.index_count)}};
}

bool has_embedding(const StateMachine& state, MemoryId id) {
  const MemoryEntry* entry = state.get(id);
  return entry != nullptr && entry->has_embedding();
}

// Points the state's embeddings of the ids the index moved (a partition rebuilt to reclaim dead
// rows) at their new rows, so the state does not keep the old blocks alive.
void share_moved_rows(Engine& engine, VectorIndex& index) {
  for (MemoryId id : index.take_moved_ids()) (void)engine.share_embedding(id, index.row_view(id));
}

// The vector index for the engine's state: exact, or around the HNSW graph saved at `hnsw_path`
// (reconciled with the state) or a fresh one. Counts the memories with embeddings into
// `embedded`. `prefilled` (exact mode only) already holds a row for every memory the checkpoint
// and log decoders handed it, the last one decoded for each id; a state embedding that is a view
// of that row is already indexed, any other is indexed here, and rows of ids the state no longer
// embeds (deleted by the replay) are removed. Every embedding of the state ends up sharing its
// row of the index.
Result<IndexLayer, StoreError> build_index_layer(Engine& engine, const StoreOptions& options,
                                                 const std::filesystem::path& hnsw_path,
                                                 std::optional<VectorIndex> prefilled,
                                                 std::size_t& embedded) {
  const StateMachine& state = engine.state_machine();
  std::optional<VectorIndex> index = std::move(prefilled);
  const bool was_prefilled = index.has_value();
  std::shared_ptr<HnswBackend> loaded;
  // A prefilled index (exact mode) was filled while the checkpoint and the log were decoded.
  if (const HnswConfig* config = index ? nullptr : options.index_mode.hnsw()) {
    auto read = VectorIndex::load_hnsw(hnsw_path, options.dimension, *config);
    if (!read) {
      print_line("Failed to load HNSW index, rebuilding: " + read.error().message());
    } else if (*read) {
      loaded = std::move(*read);
      print_line("Loaded HNSW index from disk (fast recovery)");
    } else {
      print_line("No HNSW index file found, building fresh index");
    }
    auto created = VectorIndex::new_with_loaded_hnsw(options.dimension, *config, loaded);
    if (created) {
      index.emplace(std::move(*created));
    } else {
      loaded.reset();  // exact search after all: there is no graph to reconcile
    }
  }
  if (!index) index.emplace(options.dimension);

  embedded = 0;
  bool failed = false;
  std::optional<VectorError> error;
  std::vector<MemoryId> to_share;  // indexed here: their state entries still own their floats
  state.memories().for_each([&](std::uint64_t, const StateMachine::EntryPtr& entry) {
    if (!entry->has_embedding()) return true;
    ++embedded;
    if (was_prefilled && entry->embedding.shares_storage_with(index->row_view(entry->id))) {
      return true;  // indexed from the checkpoint and untouched by the replay
    }
    // index_in_namespace keeps a graph vector that equals the stored one and replaces one that
    // differs, so a loaded graph ends up holding exactly the state's vectors.
    auto indexed = index->index_in_namespace(entry->namespace_, entry->id, entry->embedding);
    if (!indexed) {
      error = std::move(indexed).error();
      failed = true;
      return false;
    }
    to_share.push_back(entry->id);
    return true;
  });
  if (failed) return StoreError{StoreError::Vector{std::move(*error)}};
  // Every embedding of the state is indexed now, so the index holds more rows exactly when the
  // replay deleted memories, or stripped their embeddings, after the decoders indexed them.
  if (was_prefilled && index->len() != embedded) {
    std::vector<MemoryId> stale;
    index->for_each_id([&](MemoryId id) {
      if (!has_embedding(state, id)) stale.push_back(id);
    });
    for (MemoryId id : stale) (void)index->remove(id);
  }
  // Keys of memories deleted, or stripped of their embedding, after the file was saved.
  if (loaded) index->remove_stale_hnsw_keys();
  for (MemoryId id : to_share) (void)engine.share_embedding(id, index->row_view(id));
  share_moved_rows(engine, *index);
  return IndexLayer{std::move(*index)};
}

}  // namespace

std::string TessaraDBStoreError::message() const {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Engine>) {
          return "Engine error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Vector>) {
          return "Vector index error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Query>) {
          return "Query error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Checkpoint>) {
          return "Checkpoint error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Wal>) {
          return "WAL error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, InvariantViolation>) {
          return "Invariant violation: " + k.text;
        } else {
          static_assert(std::is_same_v<K, MissingEmbedding>);
          return "Embedding required when content changes for memory id " + debug_string(k.id);
        }
      },
      kind);
}

// ---- construction
// ---------------------------------------------------------------------------------

Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> TessaraDBStore::new_with_policies(
    const StoreOptions& options, FileSystem& fs) {
  if (options.remove_stale_temporaries) remove_stale_rewrite_temporaries(options.wal_path, fs);
  auto engine = Engine::create(options.wal_path, options.segments_dir, fs);
  if (!engine) return engine_error(std::move(engine).error());
  return from_engine(std::move(*engine), options, fs);
}

Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> TessaraDBStore::recover_with_policies(
    const StoreOptions& options, FileSystem& fs) {
  if (options.remove_stale_temporaries) remove_stale_rewrite_temporaries(options.wal_path, fs);
  // Exact mode fills the index while the checkpoint and the log are decoded: each decoded vector
  // goes into its row at once and the entry keeps a view of that row, so the decoder's copy is
  // freed before the next record is read and the open never holds two copies of the vectors.
  // Rows of inserts that the replay overrides are reconciled in build_index_layer. (In HNSW mode
  // the graph is loaded and reconciled after the engine opens, as before.)
  std::optional<VectorIndex> prefilled;
  DecodedEntryHook on_entry;
  if (options.index_mode.hnsw() == nullptr) {
    prefilled.emplace(options.dimension);
    on_entry = [index = &*prefilled](MemoryEntry& entry) {
      if (!entry.embedding) return;
      // A vector of the wrong length is left in the entry; indexing the state reports it.
      if (index->index_in_namespace(entry.namespace_, entry.id, entry.embedding)) {
        entry.embedding = index->row_view(entry.id);
      }
    };
  }
  auto engine = Engine::open_existing(options.wal_path, options.segments_dir, fs, on_entry);
  if (!engine) {
    // A checkpoint that cannot be loaded is the store's own Checkpoint failure.
    if (auto* failed = std::get_if<EngineError::Checkpoint>(&engine.error().kind)) {
      return StoreError{StoreError::Checkpoint{std::move(failed->inner)}};
    }
    return engine_error(std::move(engine).error());
  }
  return from_engine_with_index(std::move(*engine), options, fs, std::move(prefilled));
}

Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> TessaraDBStore::from_engine(
    Engine engine, const StoreOptions& options, FileSystem& fs) {
  return from_engine_with_index(std::move(engine), options, fs, std::nullopt);
}

Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> TessaraDBStore::from_engine_with_index(
    Engine engine, const StoreOptions& options, FileSystem& fs,
    std::optional<VectorIndex> prefilled) {
  const std::filesystem::path hnsw_path =
      replace_extension(checkpoint_path_for(options.wal_path), "hnsw");
  std::size_t embedded = 0;
  auto layer = build_index_layer(engine, options, hnsw_path, std::move(prefilled), embedded);
  if (!layer) return std::move(layer).error();
  const IndexComparison found = compare_index_with_state(engine.state_machine(), layer->vector);
  if (!found.equal) return index_mismatch(found);

  auto first = std::make_shared<const ReadSnapshot>(ReadSnapshot{*layer, engine.state_machine()});
  WriteState write_state{std::move(*layer), std::move(engine), embedded, false, std::nullopt};
  std::unique_ptr<TessaraDBStore> store(
      new TessaraDBStore(options, fs, std::move(write_state), std::move(first)));

  // The threads run members of the store, so they start once it is complete.
  try {
    if (!store->sync_policy_.is_strict()) {
      store->sync_thread_.emplace([s = store.get()] { s->run_sync_thread(); });
    }
    if (store->checkpoint_policy_.is_periodic()) {
      store->checkpoint_thread_.emplace([s = store.get()] { s->run_checkpoint_thread(); });
    }
  } catch (const std::system_error&) {
    print_line("failed to spawn thread");
    std::abort();
  }
  return store;
}

TessaraDBStore::TessaraDBStore(const StoreOptions& options, FileSystem& fs, WriteState write_state,
                               std::shared_ptr<const ReadSnapshot> first_snapshot)
    : sync_policy_(options.sync),
      checkpoint_policy_(options.checkpoint),
      capacity_policy_(options.capacity),
      checkpoint_path_(checkpoint_path_for(options.wal_path)),
      hnsw_path_(replace_extension(checkpoint_path_, "hnsw")),
      fs_(fs),
      owner_pid_(static_cast<int>(::getpid())),
      writer_(std::move(write_state)),
      snapshot_(std::move(first_snapshot)) {}

TessaraDBStore::~TessaraDBStore() {
  if (static_cast<int>(::getpid()) != owner_pid_) {
    // A forked child: the threads live only in the parent and the locks may have been held at
    // the fork. Leave the parent's files alone; the handles are let go without being joined.
    if (sync_thread_) new std::thread(std::move(*sync_thread_));
    if (checkpoint_thread_) new std::thread(std::move(*checkpoint_thread_));
    return;
  }
  request_shutdown(checkpoint_runtime_);
  if (checkpoint_thread_ && checkpoint_thread_->joinable()) checkpoint_thread_->join();
  request_shutdown(sync_runtime_);
  if (sync_thread_ && sync_thread_->joinable()) sync_thread_->join();

  (void)flush();
  if (checkpoint_policy_.is_periodic()) (void)checkpoint_now();
  auto saved = snapshot()->indexes.vector.save_hnsw(hnsw_path_);
  if (!saved) print_line("Warning: Failed to save HNSW on drop: " + saved.error().message());
}

// ---- writes
// ---------------------------------------------------------------------------------------

Result<CommandId, TessaraDBStoreError> TessaraDBStore::insert_memory(MemoryEntry entry) {
  std::scoped_lock lock(writer_mutex_);
  if (writer_.io_failure) return *writer_.io_failure;
  if (const MemoryEntry* stored = writer_.engine.state_machine().get(entry.id)) {
    if (!entry.has_embedding()) {
      // Without a new embedding the stored one is kept, which is only right while it still
      // describes the same content.
      if (stored->content != entry.content) {
        return StoreError{StoreError::MissingEmbedding{entry.id}};
      }
      entry.embedding = stored->embedding;
    }
  }
  return execute_write_transaction_locked(InsertMemory{std::move(entry)});
}

Result<CommandId, TessaraDBStoreError> TessaraDBStore::delete_memory(MemoryId id) {
  std::scoped_lock lock(writer_mutex_);
  return execute_write_transaction_locked(DeleteMemory{id});
}

Result<CommandId, TessaraDBStoreError> TessaraDBStore::add_edge(MemoryId from, MemoryId to,
                                                                std::string relation) {
  std::scoped_lock lock(writer_mutex_);
  return execute_write_transaction_locked(AddEdge{from, to, std::move(relation)});
}

Result<CommandId, TessaraDBStoreError> TessaraDBStore::execute_write_transaction_locked(
    Command command) {
  if (writer_.io_failure) return *writer_.io_failure;
  VectorIndex& index = writer_.indexes.vector;
  if (const auto* insert = std::get_if<InsertMemory>(&command)) {
    const auto& embedding = insert->entry.embedding;
    if (embedding && embedding.size() != index.dimension()) {
      return StoreError{StoreError::Vector{
          VectorError{VectorError::DimensionMismatch{index.dimension(), embedding.size()}}}};
    }
  }

  // The state before the command, to learn which embeddings the write added or removed. An O(1)
  // copy that shares what the previous snapshot already shares.
  const StateMachine before = writer_.engine.state_machine();
  auto command_id = writer_.engine.execute_command_unsynced(command);
  if (!command_id) {
    note_io_failure_locked(command_id.error());
    return engine_error(std::move(command_id).error());
  }

  // From here on the command is applied; any failure leaves the index possibly behind the state,
  // so the next write compares the full sets.
  auto fail = [&](StoreError error) {
    writer_.needs_full_check = true;
    return error;
  };
  if (sync_policy_.is_strict()) {
    auto synced = sync_files_locked();
    if (!synced) return fail(engine_error(std::move(synced).error()));
  }

  std::vector<MemoryId> touched;
  if (auto* insert = std::get_if<InsertMemory>(&command)) {
    MemoryEntry& entry = insert->entry;
    touched.push_back(entry.id);
    if (entry.embedding) {
      auto indexed = index.index_in_namespace(entry.namespace_, entry.id, entry.embedding);
      if (!indexed) return fail(StoreError{StoreError::Vector{std::move(indexed).error()}});
      // The state shares the row just written instead of keeping its own copy of the floats;
      // the command's copy goes with the command.
      (void)writer_.engine.share_embedding(entry.id, index.row_view(entry.id));
    } else {
      (void)index.remove(entry.id);
    }
  } else if (const auto* del = std::get_if<DeleteMemory>(&command)) {
    touched.push_back(del->id);
    (void)index.remove(del->id);
  }

  std::uint64_t operations = 1;
  if (capacity_policy_.is_limited()) {
    auto evicted = enforce_capacity_locked(touched);
    if (!evicted) return fail(std::move(evicted).error());
    operations += *evicted;
  }
  share_moved_rows(writer_.engine, index);
  if (auto checked = check_index_locked(before, touched); !checked) {
    return fail(std::move(checked).error());
  }

  publish_snapshot_locked();
  if (sync_policy_.is_strict()) {
    clear_pending_sync_state(sync_runtime_);
  } else {
    mark_pending_write(sync_runtime_, operations);
  }
  mark_pending_checkpoint(checkpoint_runtime_, checkpoint_policy_, operations);
  return *command_id;
}

Result<std::uint64_t, TessaraDBStoreError> TessaraDBStore::enforce_capacity_locked(
    std::vector<MemoryId>& touched) {
  CapacityLimits limits;
  if (capacity_policy_.max_entries) limits.max_entries = *capacity_policy_.max_entries;
  limits.max_bytes = capacity_policy_.max_bytes;
  auto result = writer_.engine.enforce_capacity_with_sync(limits, sync_policy_.is_strict());
  if (!result) {
    note_io_failure_locked(result.error());
    return engine_error(std::move(result).error());
  }
  for (MemoryId id : result->evicted) {
    (void)writer_.indexes.vector.remove(id);
    touched.push_back(id);
  }
  return static_cast<std::uint64_t>(result->evicted.size());
}

// The sets compared are S (memories with an embedding) and I (ids the index holds). They were
// equal after the previous write, so they are equal now when every id this write touched is in
// both or in neither, and the running size of S equals the index's size. Anything else, or an
// earlier failure, falls back to walking both sets, which also yields the true sizes for the
// message.
Result<void, TessaraDBStoreError> TessaraDBStore::check_index_locked(
    const StateMachine& before, const std::vector<MemoryId>& touched) {
  const StateMachine& state = writer_.engine.state_machine();
  const VectorIndex& index = writer_.indexes.vector;
  std::vector<MemoryId> ids = touched;
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

  bool consistent = !writer_.needs_full_check;
  for (MemoryId id : ids) {
    const bool had = has_embedding(before, id);
    const bool has = has_embedding(state, id);
    writer_.embedded_memories = writer_.embedded_memories + has - had;
    if (has != index.has(id)) consistent = false;
  }
  if (writer_.embedded_memories != index.len()) consistent = false;
  if (consistent) return {};

  const IndexComparison found = compare_index_with_state(state, index);
  writer_.embedded_memories = found.state_count;
  writer_.needs_full_check = !found.equal;
  if (!found.equal) return index_mismatch(found);
  return {};
}

void TessaraDBStore::publish_snapshot_locked() {
  // Two O(1) copies: the snapshot shares every node and row with the writer's structures.
  snapshot_.store(std::make_shared<const ReadSnapshot>(
      ReadSnapshot{writer_.indexes, writer_.engine.state_machine()}));
}

Result<void, EngineError> TessaraDBStore::sync_files_locked() {
  auto synced = writer_.engine.sync_all();
  if (!synced) {
    // A failed fsync may have dropped the pages it was asked to write: nothing later may claim
    // to have made them durable.
    if (!writer_.io_failure) writer_.io_failure = engine_error(synced.error());
    return std::move(synced).error();
  }
  return {};
}

void TessaraDBStore::note_io_failure_locked(const EngineError& error) {
  if (writer_.io_failure) return;
  if (writer_.engine.wal().failure() || writer_.engine.segments().failure()) {
    writer_.io_failure = engine_error(error);
  }
}

// ---- reads
// ----------------------------------------------------------------------------------------

std::shared_ptr<const ReadSnapshot> TessaraDBStore::snapshot() const { return snapshot_.load(); }

StateMachine TessaraDBStore::state_machine() const { return snapshot()->state_machine; }

std::size_t TessaraDBStore::indexed_embeddings() const { return snapshot()->indexes.vector.len(); }

std::size_t TessaraDBStore::vector_dimension() const {
  return snapshot()->indexes.vector.dimension();
}

std::uint64_t TessaraDBStore::wal_len() const {
  std::scoped_lock lock(writer_mutex_);
  return writer_.engine.wal().entry_count();
}

Result<SnapshotQuery, TessaraDBStoreError> TessaraDBStore::query_with_snapshot(
    std::string_view query_text, const QueryOptions& options, const QueryEmbedder& embedder) const {
  std::shared_ptr<const ReadSnapshot> snap = snapshot();
  const QueryPlan plan = QueryPlanner::plan(options, snap->indexes.vector.len());
  auto execution = QueryExecutor::execute_with_trace(query_text, plan, snap->state_machine,
                                                     snap->indexes.vector, embedder);
  if (!execution) return StoreError{StoreError::Query{std::move(execution).error()}};
  return SnapshotQuery{std::move(*execution), std::move(snap)};
}

// ---- durability
// ------------------------------------------------------------------------------------

Result<void, TessaraDBStoreError> TessaraDBStore::flush() {
  std::scoped_lock lock(writer_mutex_);
  if (writer_.io_failure) return *writer_.io_failure;
  auto synced = sync_files_locked();
  if (!synced) return engine_error(std::move(synced).error());
  clear_pending_sync_state(sync_runtime_);
  return {};
}

Result<void, CheckpointError> TessaraDBStore::save_checkpoint_file(const StateMachine& state,
                                                                   std::uint64_t last_applied_id) {
  return save_checkpoint(checkpoint_path_, state, last_applied_id, fs_);
}

Result<void, TessaraDBStoreError> TessaraDBStore::rewrite_log_locked(std::uint64_t covered) {
  if (const auto& failure = writer_.engine.wal().failure()) {
    // Appends are handed to the kernel as they happen, so nothing waits in a buffer; a log whose
    // write failed, though, has a tail nobody can vouch for and must not be rewritten.
    if (!writer_.io_failure) {
      writer_.io_failure =
          engine_error(EngineError{EngineError::Wal{WalError{WalError::Io{*failure}}}});
    }
    return *writer_.io_failure;
  }
  if (covered == 0) return {};  // the checkpoint covers no entry: nothing to cut
  // Entries are numbered by position; those from `covered` on were appended after the state
  // that was saved and are kept, renumbered from 0.
  auto truncated = truncate_prefix(writer_.engine.wal().path(), covered - 1, fs_);
  if (!truncated) return StoreError{StoreError::Wal{std::move(truncated).error()}};
  auto reopened = writer_.engine.reopen_wal();
  if (!reopened) return engine_error(std::move(reopened).error());
  return {};
}

// The checkpoint holds the engine's state, not the published snapshot: the two differ after a
// write that failed past the engine, and the log rewrite drops exactly the entries the engine's
// state contains.
Result<void, TessaraDBStoreError> TessaraDBStore::checkpoint_now() {
  {
    std::scoped_lock lock(writer_mutex_);
    if (writer_.io_failure) return *writer_.io_failure;
    const StateMachine state = writer_.engine.state_machine();
    const std::uint64_t covered = writer_.engine.wal().entry_count();
    {
      std::scoped_lock file_lock(checkpoint_file_mutex_);
      auto saved = save_checkpoint_file(state, writer_.engine.last_applied_id());
      if (!saved) return StoreError{StoreError::Checkpoint{std::move(saved).error()}};
      checkpoint_generation_.fetch_add(1);
    }
    auto hnsw = writer_.indexes.vector.save_hnsw(hnsw_path_);
    if (!hnsw) print_line("Warning: Failed to save HNSW index: " + hnsw.error().message());
    auto rewritten = rewrite_log_locked(covered);
    if (!rewritten) return std::move(rewritten).error();
  }
  clear_pending_checkpoint_state(checkpoint_runtime_);
  return {};
}

Result<CompactionResult, TessaraDBStoreError> TessaraDBStore::compact_segments() {
  std::scoped_lock lock(writer_mutex_);
  if (writer_.io_failure) return *writer_.io_failure;
  auto compacted = writer_.engine.compact_segments();
  if (!compacted) {
    note_io_failure_locked(compacted.error());
    return engine_error(std::move(compacted).error());
  }
  return std::move(*compacted);
}

// ---- background threads -------------------------------------------------------------------------

void TessaraDBStore::run_sync_thread() {
  std::unique_lock lock(sync_runtime_.mutex);
  PendingWork& work = sync_runtime_.work;
  for (;;) {
    if (work.shutdown) return;
    const WaitBound bound = sync_wait_bound(sync_policy_, work, MonotonicClock::now());
    if (!bound) {
      sync_runtime_.wake.wait(lock);
    } else if (*bound > MonotonicClock::duration::zero()) {
      sync_runtime_.wake.wait_for(lock, *bound);
    }
    // Woken, timed out or spuriously: all three look at the record again.
    if (work.shutdown) return;
    if (work.pending_ops == 0) continue;
    work.pending_ops = 0;
    work.pending_since.reset();
    lock.unlock();  // never held while taking the writer lock
    background_sync();
    lock.lock();
  }
}

// The files are opened under the writer lock, so every write whose pending mark this pass
// consumed is in them, and synced after it is released: fsync is per file, not per descriptor,
// so syncing our own descriptor makes the engine's appends durable, and writers do not wait for
// the disk. A file replaced meanwhile (log rewrite, compaction) is covered by what replaced it,
// and writes to its successor mark new pending work for the next pass.
void TessaraDBStore::background_sync() {
  struct Target {
    std::unique_ptr<WritableFile> file;
    std::filesystem::path path;
    bool is_log;
  };
  std::vector<Target> targets;
  {
    std::scoped_lock writer(writer_mutex_);
    // A failed store has reported its failure already; syncing again would only repeat it.
    if (writer_.io_failure) return;
    const Engine& engine = writer_.engine;
    std::vector<std::pair<std::filesystem::path, bool>> paths{{engine.wal().path(), true}};
    if (engine.segments().has_open_segment()) {
      paths.emplace_back(engine.segments().segment_path(engine.segments().current_segment()),
                         false);
    }
    for (const auto& [path, is_log] : paths) {
      auto file = fs_.open_writable(path, WriteMode::Existing);
      if (!file) {
        // Without a descriptor of our own, sync through the engine's, under the lock.
        targets.clear();
        auto synced = sync_files_locked();
        if (!synced) print_line("tessaradb sync manager flush error: " + synced.error().message());
        return;
      }
      targets.push_back(Target{std::move(*file), path, is_log});
    }
  }
  for (Target& target : targets) {
    // Every byte below this size was written before the sync starts, so the sync covers it.
    const auto size = target.file->size();
    auto synced = target.file->sync();
    if (synced) {
      if (size) {
        (target.is_log ? log_pages_ : segment_pages_).after_sync(*target.file, target.path, *size);
      }
      continue;
    }
    const EngineError error =
        target.is_log
            ? EngineError{EngineError::Wal{WalError{WalError::Io{std::move(synced).error()}}}}
            : EngineError{
                  EngineError::Segment{SegmentError{SegmentError::Io{std::move(synced).error()}}}};
    {
      std::scoped_lock writer(writer_mutex_);
      if (writer_.io_failure) return;
      writer_.io_failure = engine_error(error);
    }
    print_line("tessaradb sync manager flush error: " + error.message());
    return;
  }
}

void TessaraDBStore::run_checkpoint_thread() {
  std::unique_lock lock(checkpoint_runtime_.mutex);
  PendingWork& work = checkpoint_runtime_.work;
  for (;;) {
    if (work.shutdown) return;
    const WaitBound bound = checkpoint_wait_bound(checkpoint_policy_, work, MonotonicClock::now());
    if (!bound) {
      checkpoint_runtime_.wake.wait(lock);
    } else if (*bound > MonotonicClock::duration::zero()) {
      checkpoint_runtime_.wake.wait_for(lock, *bound);
    }
    if (work.shutdown) return;
    if (work.pending_ops == 0) continue;
    if (const auto due = checkpoint_wait_bound(checkpoint_policy_, work, MonotonicClock::now());
        due && *due > MonotonicClock::duration::zero()) {
      continue;  // woken early by a write: the checkpoint is not due yet
    }
    work.pending_ops = 0;
    work.pending_since.reset();
    lock.unlock();
    background_checkpoint();
    lock.lock();
  }
}

void TessaraDBStore::background_checkpoint() {
  StateMachine state;
  std::uint64_t last_applied_id = 0;
  std::uint64_t covered = 0;
  std::uint64_t generation = 0;
  {
    // One hold of the writer lock: the state is exactly the state after the log's first
    // `covered` entries.
    std::scoped_lock lock(writer_mutex_);
    if (writer_.io_failure) return;
    state = writer_.engine.state_machine();
    last_applied_id = writer_.engine.last_applied_id();
    covered = writer_.engine.wal().entry_count();
    generation = checkpoint_generation_.load();
  }
  {
    // Saved without the writer lock: writes go on meanwhile and are kept by the rewrite below.
    std::scoped_lock file_lock(checkpoint_file_mutex_);
    if (checkpoint_generation_.load() != generation) return;  // a newer checkpoint is on disk
    auto saved = save_checkpoint_file(state, last_applied_id);
    if (!saved) {
      print_line("tessaradb checkpoint write error: " + saved.error().message());
      return;
    }
  }
  std::scoped_lock lock(writer_mutex_);
  // An explicit checkpoint since the save has rewritten the log: its positions no longer match.
  if (checkpoint_generation_.load() != generation || writer_.io_failure) return;
  if (writer_.engine.wal().failure() || covered == 0) return;
  auto truncated = truncate_prefix(writer_.engine.wal().path(), covered - 1, fs_);
  if (!truncated) {
    print_line("tessaradb WAL truncation error: " + truncated.error().message());
    return;
  }
  auto reopened = writer_.engine.reopen_wal();
  if (!reopened) print_line("tessaradb WAL reopen error: " + reopened.error().message());
}

}  // namespace tessaradb
