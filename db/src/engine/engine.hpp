#pragma once

// Engine: one durable unit of write-ahead log, segment storage and in-memory state.
//
// Every command goes log first, then segment file, then state. Opening a database rebuilds the
// state from the log alone, or from a checkpoint plus the log, after finishing or rolling back
// an interrupted compaction. The engine never syncs on its own during normal execution: the
// store decides when the log and the current segment are synced (sync_wal, sync_segments,
// sync_all) and serialises every call under its writer lock.
//
// Maintenance: enforce_capacity_with_sync evicts the oldest memories while a capacity limit is
// exceeded, each eviction an ordinary logged delete; compact_segments rewrites the live records
// into a fresh segments directory and swaps it in with two renames.
//
// Thread-safety: none. The store calls every operation with its writer lock held; read
// snapshots copy the state (an O(1) copy) and never touch the engine.
//
// Every file operation goes through the FileSystem given at open, which must outlive the engine.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/command.hpp"
#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "core/state_machine.hpp"
#include "storage/checkpoint.hpp"
#include "storage/file.hpp"
#include "storage/segment.hpp"
#include "storage/serialization.hpp"
#include "storage/wal.hpp"

namespace tessaradb {

namespace detail {
class CapacityTracker;
}

// Why a compaction failed: "IO error: {}" or "Segment error: {}".
struct CompactionError {
  struct Io {
    IoError inner;
  };
  struct Segment {
    SegmentError inner;
  };
  std::variant<Io, Segment> kind;

  std::string message() const;
};

struct EngineError {
  struct Io {  // "IO error: {}"
    IoError inner;
  };
  struct Wal {  // "WAL error: {}"
    WalError inner;
  };
  struct StateMachine {  // "State machine error: {}"
    StateMachineError inner;
  };
  struct Segment {  // "Segment error: {}"
    SegmentError inner;
  };
  struct Compaction {  // "Compaction error: {}"
    CompactionError inner;
  };
  struct Checkpoint {  // "Checkpoint error: {}" (only Engine::create and open_existing)
    CheckpointError inner;
  };
  std::variant<Io, Wal, StateMachine, Segment, Compaction, Checkpoint> kind;

  // The case's text with the inner error's message in place: a delete of an absent memory reads
  // "Segment error: Entry not found: MemoryId(9)".
  std::string message() const;
};

// Capacity limits; an absent limit is not enforced. A limit is exceeded when the measure is
// strictly greater than it, so a database exactly at a limit evicts nothing.
struct CapacityLimits {
  std::optional<std::uint64_t> max_entries;  // number of memories
  std::optional<std::uint64_t> max_bytes;    // sum of memory_size over all memories

  bool any() const { return max_entries.has_value() || max_bytes.has_value(); }
};

// What enforce_capacity_with_sync did.
struct CapacityResult {
  std::vector<MemoryId> evicted;  // in eviction order
  std::uint64_t entries_before = 0;
  std::uint64_t entries_after = 0;
  std::uint64_t bytes_before = 0;
  std::uint64_t bytes_after = 0;
};

// What compact_segments did.
struct CompactionResult {
  std::vector<std::uint32_t> compacted_segments;  // the segments that qualified, ascending
  std::uint64_t records_written = 0;              // live records rewritten (0 when none qualified)
};

// The payload size of one memory, the measure of max_bytes: bytes of namespace + bytes of
// content + 4 x the number of embedding values (0 without an embedding) + for each metadata pair
// the bytes of key and value. Not the size of the encoded record. A memory with namespace
// "default", 10 content bytes, a 4-value embedding and metadata {"k": "vv"} measures 36.
std::uint64_t memory_size(const MemoryEntry& entry);

class Engine {
 public:
  // Opens the database at these paths whatever it holds (the store calls it when the log file
  // does not exist yet):
  //   1. recover_compaction_state(segments_dir);
  //   2. when a checkpoint exists beside the log (checkpoint_path_for(wal_path)), recovers from
  //      it exactly as recover_from_checkpoint does, whether or not the log exists: its state is
  //      never replaced by an empty one that a later checkpoint would save over it. A checkpoint
  //      that cannot be loaded fails with Checkpoint;
  //   3. when the log exists, recovers as recover_from_checkpoint without a checkpoint;
  //   4. otherwise creates the log empty, opens the segment storage (indexing any segment files
  //      already present and starting a new current segment) and starts from an empty state with
  //      last_applied_id 0.
  // `on_entry`, when set, sees each memory decoded from the checkpoint, then the entry of each
  // insert read from the log, in that order and before any of them enters the state (see
  // DecodedEntryHook), on the calling thread. Inserts the replay skips or later commands undo are
  // seen too.
  static Result<Engine, EngineError> create(const std::filesystem::path& wal_path,
                                            const std::filesystem::path& segments_dir,
                                            FileSystem& fs = default_file_system(),
                                            const DecodedEntryHook& on_entry = {});

  // Opens an existing database, with the checkpoint the caller loaded (or none):
  //   1. recover_compaction_state(segments_dir);
  //   2. opens the segment storage (failure: Segment, except with a checkpoint, see 4);
  //   3. reads the log tolerantly, cutting a torn or damaged tail (failure: Wal);
  //   4. with a checkpoint: starts from its state and its last_applied_id. Every memory of the
  //      checkpoint whose indexed record is missing or differs from it (compared by payload
  //      length and checksum) is appended again and the appends synced; nothing is rewritten
  //      when the segments already hold the checkpoint's records. Only when the segments
  //      directory cannot be loaded is it rebuilt from the checkpoint (removed, recreated, every
  //      memory written in ascending id order, then synced; failures: Io for the removal,
  //      Segment otherwise). Without a checkpoint: an empty state and base 0;
  //   5. replays every log entry in order. An insert whose stored record is identical to the
  //      entry writes nothing; a missing, unreadable or different one is appended. A delete sets
  //      the segment index's deleted mark when the id is indexed. An entry the state refuses
  //      (possible after a crash between writing a checkpoint and rewriting the log) is skipped
  //      and still counts as replayed, so it never blocks an open. Each segment file is opened
  //      once for the whole replay;
  //   6. syncs the current segment when replay wrote to it or the log was cut;
  //   7. opens the log for appending (creating an empty one when missing): the next CommandId is
  //      the number of entries in the file.
  // last_applied_id = the checkpoint's last_applied_id (or 0) + the number of entries replayed.
  // Records of memories the final state does not hold are marked deleted, for compaction.
  // A failure aborts the open; files already changed stay changed (a cut log tail, a rebuilt
  // segments directory, records appended during repair or replay), all of them consistent with
  // the log and the checkpoint.
  static Result<Engine, EngineError> recover_from_checkpoint(
      const std::filesystem::path& wal_path, const std::filesystem::path& segments_dir,
      std::optional<CheckpointData> checkpoint, FileSystem& fs = default_file_system());

  // What the store does to reopen a database: recover_compaction_state(segments_dir), then
  // loads the checkpoint beside the log (checkpoint_path_for(wal_path); none when absent, any
  // other failure is Checkpoint) and recovers exactly as recover_from_checkpoint. When the file
  // system allows concurrent calls, the checkpoint is read and decoded while the segment files
  // are loaded on a second thread; the result is the same. `on_entry` as for create.
  static Result<Engine, EngineError> open_existing(const std::filesystem::path& wal_path,
                                                   const std::filesystem::path& segments_dir,
                                                   FileSystem& fs = default_file_system(),
                                                   const DecodedEntryHook& on_entry = {});

  Engine(Engine&&) noexcept;
  Engine& operator=(Engine&&) noexcept;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine();

  // Executes one command and returns its CommandId (its position in the log file).
  //
  // A command the state would refuse is refused before it reaches the log, consumes no
  // CommandId and changes nothing: a delete of an absent memory fails with Segment (entry not
  // found: "Segment error: Entry not found: MemoryId(9)"), an edge with a missing endpoint or
  // across namespaces with StateMachine. Otherwise:
  //   1. the command is appended to the log (failure: Wal; nothing else happens);
  //   2. an insert writes its record to the current segment (failure: Segment, the state is not
  //      changed but the log entry stays); a delete sets the record's deleted mark;
  //   3. the command is applied to the state;
  //   4. last_applied_id becomes the CommandId.
  // Nothing is synced: the bytes are handed to the kernel (they survive a process crash, not a
  // power loss) until the store calls sync_wal / sync_segments.
  Result<CommandId, EngineError> execute_command_unsynced(const Command& command);

  // Reopens the log file at its path for appending (creating it when missing) and recounts its
  // entries; the store calls it after rewriting the log with truncate_prefix. On failure (Wal)
  // the engine refuses every later command and log sync with that error until a reopen
  // succeeds: the previous writer would write into the replaced file, where nothing survives.
  Result<void, EngineError> reopen_wal();

  // Makes every log append so far survive a power loss (fsync). Failure: Wal with the I/O error;
  // a failed log refuses every later append and sync until the database is reopened.
  Result<void, EngineError> sync_wal();

  // Syncs the current segment file when one is open; succeeds without one. Failure: Segment
  // with the I/O error, sticky like the log's.
  Result<void, EngineError> sync_segments();

  // sync_wal, then sync_segments: what a strict write, a flush and the sync thread do.
  Result<void, EngineError> sync_all();

  // Evicts memories while a limit is exceeded, oldest first: ordered by created_at, then by
  // importance (least important first; NaN importances come before every number), then by id.
  // Each eviction is a DeleteMemory through execute_command_unsynced; with `sync_now` the log and
  // the current segment are synced after each one (failures: Wal, Segment). The first failure is
  // returned at once; evictions already done stay done. Limits are strict: a measure equal to
  // its limit evicts nothing.
  //
  // Cost: the running count, byte total and ordered eviction candidates are kept up to date by
  // every command once capacity has been enforced for the first time (that first call builds
  // them in O(n log n)); afterwards a call costs O(log n) per eviction plus O(1), never a pass
  // over the state.
  Result<CapacityResult, EngineError> enforce_capacity_with_sync(const CapacityLimits& limits,
                                                                 bool sync_now);

  // Rewrites the live records into a fresh segments directory and swaps it in:
  //   1. the current segment is synced and closed (failure: Segment);
  //   2. qualifying segments are those below the current one whose index entries are more than
  //      20% deleted. With none, the storage is reopened over the same directory (a new current
  //      segment; the deletion marks are kept, so they still count towards a later compaction)
  //      and an empty result is returned;
  //   3. otherwise every live record (read and verified once, one handle per segment file) is
  //      written in ascending id order into "<name>.compact.<stamp>" beside the segments
  //      directory, which is synced; then segments -> "<name>.backup.<stamp>", the rewrite ->
  //      segments, the parent directory synced, the backup removed, and the storage reopened
  //      over the rewritten directory.
  // Failures of step 3 are Compaction (I/O or segment failure), except the final reopen
  // (Segment). After a failure the storage keeps its index and reopens its current segment on the
  // next insert; the directories on disk are repaired by recover_compaction_state at the next
  // open. The state does not change. Cost: reads and writes every live record once.
  Result<CompactionResult, EngineError> compact_segments();

  // Finishes or rolls back an interrupted compaction of `segments_dir`. Only directories beside
  // it named exactly "<name>.backup.<digits>" and "<name>.compact.<digits>" are touched (name:
  // the segments directory's own name). When `segments_dir` does not exist and backups do, the
  // newest backup (largest stamp) is renamed back to it. Every other backup and every rewrite
  // directory is then removed, and the parent directory synced. Never fails: problems are
  // ignored, and the open that follows reports what it cannot read.
  static void recover_compaction_state(const std::filesystem::path& segments_dir,
                                       FileSystem& fs = default_file_system());

  // The authoritative state. Valid until the next command; copy it (O(1)) to keep it.
  const StateMachine& state_machine() const { return state_; }
  // StateMachine::share_embedding on the engine's state: lets the store swap a memory's floats
  // for the identical ones its vector index holds. Changes nothing observable.
  bool share_embedding(MemoryId id, Embedding embedding) {
    return state_.share_embedding(id, std::move(embedding));
  }

  // 0 for a new database; after an open, the checkpoint's last_applied_id (or 0) plus the number
  // of log entries replayed; after each executed command, that command's CommandId. The store
  // saves it in checkpoints and passes it to truncate_prefix.
  std::uint64_t last_applied_id() const { return last_applied_id_; }

  // The log and the segment storage, for reading their counters and failures (the store reports
  // wal().entry_count() as the log length). Writes go through the operations above.
  const WriteAheadLog& wal() const { return wal_; }
  const SegmentStorage& segments() const { return segments_; }

 private:
  Engine(WriteAheadLog wal, SegmentStorage segments, StateMachine state,
         std::uint64_t last_applied_id, FileSystem& fs);

  // recover_from_checkpoint after recover_compaction_state. `opened` is the segment storage
  // already opened over segments_dir (or the failure of that open); none opens it here.
  // `on_entry` sees the entry of each log insert as the log is read.
  static Result<Engine, EngineError> recover(
      const std::filesystem::path& wal_path, const std::filesystem::path& segments_dir,
      std::optional<CheckpointData> checkpoint,
      std::optional<Result<SegmentStorage, SegmentError>> opened, FileSystem& fs,
      const DecodedEntryHook& on_entry);
  Result<void, EngineError> check_before_logging(const Command& command) const;
  void track(const Command& command);

  WriteAheadLog wal_;
  SegmentStorage segments_;
  StateMachine state_;
  std::uint64_t last_applied_id_ = 0;
  FileSystem* fs_;
  // Set when reopen_wal failed: the log writer points at a replaced file.
  std::optional<WalError> wal_reopen_failure_;
  // Running totals and eviction order; built by the first capacity enforcement.
  std::unique_ptr<detail::CapacityTracker> capacity_;
};

}  // namespace tessaradb
