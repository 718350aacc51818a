#include "engine/engine.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#include "engine/capacity.hpp"
#include "engine/segment_reader.hpp"
#include "storage/frame.hpp"

namespace tessaradb {
namespace {

EngineError wal_error(WalError e) { return EngineError{EngineError::Wal{std::move(e)}}; }
EngineError segment_error(SegmentError e) {
  return EngineError{EngineError::Segment{std::move(e)}};
}
EngineError state_error(StateMachineError e) {
  return EngineError{EngineError::StateMachine{std::move(e)}};
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Whether a stored record holds exactly the bytes `entry` would be written as. Floats compare by
// bit pattern: a record with a NaN importance is identical to itself (operator== would call it
// different and every open would append it again), and -0.0 is not taken for 0.0.
bool identical_record(const MemoryEntry& a, const MemoryEntry& b) {
  if (a.id != b.id || a.namespace_ != b.namespace_ || a.content != b.content ||
      a.metadata != b.metadata || a.created_at != b.created_at ||
      !same_bits(a.importance, b.importance) ||
      !identical_bits(a.embedding, b.embedding)) {
    return false;
  }
  return true;
}

// Replaces the segments directory by one holding exactly the memories of `state`, ascending by
// id, synced. Used when the directory cannot be loaded at all; a crash half-way leaves a partial
// directory that the next open loads and repairs from the same checkpoint.
Result<SegmentStorage, EngineError> rebuild_segments(const std::filesystem::path& segments_dir,
                                                     const StateMachine& state, FileSystem& fs) {
  if (auto removed = fs.remove_all(segments_dir); !removed) {
    return EngineError{EngineError::Io{std::move(removed).error()}};
  }
  auto storage = SegmentStorage::open(segments_dir, fs);
  if (!storage) return segment_error(std::move(storage).error());
  bool failed = false;
  SegmentError failure{SegmentError::EntryNotFound{MemoryId{}}};
  state.memories().for_each([&](std::uint64_t, const StateMachine::EntryPtr& entry) {
    auto written = storage->write_entry(*entry);
    if (written) return true;
    failure = std::move(written).error();
    failed = true;
    return false;
  });
  if (failed) return segment_error(std::move(failure));
  if (auto synced = storage->sync(); !synced) return segment_error(std::move(synced).error());
  return std::move(*storage);
}

// Whether the record the index holds for `entry.id` is exactly `entry` as write_entry would
// store it: same payload length and same checksum as its encoding. The stored checksum was
// verified against the frame's bytes when the index was loaded (or computed when the record was
// written), so equal checksums mean equal bytes unless a 32-bit collision hides a difference.
bool stored_record_matches(const SegmentIndex& index, const MemoryEntry& entry,
                           std::vector<std::byte>& scratch) {
  const auto it = index.find(entry.id);
  if (it == index.end() || it->second.deleted) return false;
  const std::uint64_t size = kEnvelopeHeaderBytes + encoded_size(entry);
  if (size != it->second.length) return false;
  scratch.resize(static_cast<std::size_t>(size));
  write_versioned(entry, scratch);
  return crc32_cksum(scratch) == it->second.checksum;
}

// Makes the loaded segment storage hold every memory of `state` (a checkpoint's) exactly: a
// memory whose indexed record is missing or differs (segment bytes the checkpoint outlived: a
// power loss took an unsynced segment tail, or the directory was damaged or replaced) is
// appended again, and the appends are synced. Records of memories the state does not hold are
// left for the orphan marking after replay. Costs one encode and checksum per memory and writes
// only what differs, instead of rewriting the whole directory on every open.
//
// Memories that a log entry inserts or deletes are skipped: replay leaves their records right
// (it appends the logged version when the stored one differs, or marks the record deleted), and
// their stored record is usually the newer logged one, which differs from the checkpoint's.
//
// The comparison only reads, so it is split across two threads when there is enough of it; the
// appends keep the state's order.
Result<void, EngineError> repair_segments_from(
    SegmentStorage& segments, const StateMachine& state,
    const std::vector<std::pair<CommandId, Command>>& log) {
  std::unordered_set<MemoryId> replayed;
  for (const auto& [position, command] : log) {
    if (const auto* insert = std::get_if<InsertMemory>(&command)) {
      replayed.insert(insert->entry.id);
    } else if (const auto* del = std::get_if<DeleteMemory>(&command)) {
      replayed.insert(del->id);
    }
  }
  std::vector<const MemoryEntry*> entries;
  entries.reserve(state.memories().size());
  state.memories().for_each([&](std::uint64_t, const StateMachine::EntryPtr& entry) {
    if (!replayed.contains(entry->id)) entries.push_back(entry.get());
  });
  std::vector<char> stale_flags(entries.size(), 0);
  const auto check = [&](std::size_t begin, std::size_t end) {
    std::vector<std::byte> scratch;
    for (std::size_t i = begin; i < end; ++i) {
      stale_flags[i] = !stored_record_matches(segments.index(), *entries[i], scratch);
    }
  };
  constexpr std::size_t kParallelFrom = 4096;
  const std::size_t half = entries.size() / 2;
  std::thread helper;
  if (entries.size() >= kParallelFrom && std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::thread(check, half, entries.size());
    } catch (const std::system_error&) {
      // No thread to spare: the caller's thread does all of it.
    }
  }
  check(0, helper.joinable() ? half : entries.size());
  if (helper.joinable()) helper.join();

  std::vector<const MemoryEntry*> stale;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (stale_flags[i]) stale.push_back(entries[i]);
  }
  if (stale.empty()) return {};
  for (const MemoryEntry* entry : stale) {
    if (auto written = segments.write_entry(*entry); !written) {
      return segment_error(std::move(written).error());
    }
  }
  if (auto synced = segments.sync(); !synced) return segment_error(std::move(synced).error());
  return {};
}

}  // namespace

std::string CompactionError::message() const {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Io>) {
          return "IO error: " + k.inner.message();
        } else {
          return "Segment error: " + k.inner.message();
        }
      },
      kind);
}

std::string EngineError::message() const {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Io>) {
          return "IO error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Wal>) {
          return "WAL error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, StateMachine>) {
          return "State machine error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Segment>) {
          return "Segment error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Compaction>) {
          return "Compaction error: " + k.inner.message();
        } else {
          return "Checkpoint error: " + k.inner.message();
        }
      },
      kind);
}

std::uint64_t memory_size(const MemoryEntry& entry) {
  std::uint64_t size = entry.namespace_.size() + entry.content.size();
  if (entry.embedding) size += 4 * static_cast<std::uint64_t>(entry.embedding.size());
  for (const auto& [key, value] : entry.metadata) size += key.size() + value.size();
  return size;
}

Engine::Engine(WriteAheadLog wal, SegmentStorage segments, StateMachine state,
               std::uint64_t last_applied_id, FileSystem& fs)
    : wal_(std::move(wal)),
      segments_(std::move(segments)),
      state_(std::move(state)),
      last_applied_id_(last_applied_id),
      fs_(&fs) {}

Engine::Engine(Engine&&) noexcept = default;
Engine& Engine::operator=(Engine&&) noexcept = default;
Engine::~Engine() = default;

Result<Engine, EngineError> Engine::create(const std::filesystem::path& wal_path,
                                           const std::filesystem::path& segments_dir,
                                           FileSystem& fs, const DecodedEntryHook& on_entry) {
  recover_compaction_state(segments_dir, fs);

  // A checkpoint beside the log (or beside a missing log: lost, or never recreated after the
  // checkpoint's rename) holds the database. Opening without it would start from a state that
  // lacks what the checkpoint covers, and the next checkpoint would overwrite it for good.
  auto checkpoint = load_checkpoint(checkpoint_path_for(wal_path), fs, on_entry);
  if (!checkpoint) return EngineError{EngineError::Checkpoint{std::move(checkpoint).error()}};
  if (*checkpoint) {
    return recover(wal_path, segments_dir, std::move(*checkpoint), std::nullopt, fs, on_entry);
  }

  auto log_exists = fs.exists(wal_path);
  if (!log_exists) return EngineError{EngineError::Io{std::move(log_exists).error()}};
  if (*log_exists) {
    return recover(wal_path, segments_dir, std::nullopt, std::nullopt, fs, on_entry);
  }

  auto wal = WriteAheadLog::open(wal_path, fs);
  if (!wal) return wal_error(std::move(wal).error());
  auto segments = SegmentStorage::open(segments_dir, fs);
  if (!segments) return segment_error(std::move(segments).error());
  return Engine(std::move(*wal), std::move(*segments), StateMachine{}, 0, fs);
}

Result<Engine, EngineError> Engine::recover_from_checkpoint(
    const std::filesystem::path& wal_path, const std::filesystem::path& segments_dir,
    std::optional<CheckpointData> checkpoint, FileSystem& fs) {
  recover_compaction_state(segments_dir, fs);
  return recover(wal_path, segments_dir, std::move(checkpoint), std::nullopt, fs, {});
}

Result<Engine, EngineError> Engine::open_existing(const std::filesystem::path& wal_path,
                                                  const std::filesystem::path& segments_dir,
                                                  FileSystem& fs,
                                                  const DecodedEntryHook& on_entry) {
  recover_compaction_state(segments_dir, fs);
  const std::filesystem::path checkpoint_path = checkpoint_path_for(wal_path);

  // The two biggest reads of an open are independent: the checkpoint (read and decoded here)
  // and the segment files (read, verified and indexed by the helper thread).
  std::optional<Result<SegmentStorage, SegmentError>> opened;
  std::thread helper;
  if (fs.allows_concurrent_calls() && std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::thread([&] { opened.emplace(SegmentStorage::open(segments_dir, fs)); });
    } catch (const std::system_error&) {
      // No thread to spare: recover opens the segments after the checkpoint.
    }
  }
  auto checkpoint = load_checkpoint(checkpoint_path, fs, on_entry);
  if (helper.joinable()) helper.join();
  if (!checkpoint) return EngineError{EngineError::Checkpoint{std::move(checkpoint).error()}};
  return recover(wal_path, segments_dir, std::move(*checkpoint), std::move(opened), fs, on_entry);
}

Result<Engine, EngineError> Engine::recover(
    const std::filesystem::path& wal_path, const std::filesystem::path& segments_dir,
    std::optional<CheckpointData> checkpoint,
    std::optional<Result<SegmentStorage, SegmentError>> opened, FileSystem& fs,
    const DecodedEntryHook& on_entry) {
  // The segments directory is loaded as it stands. With a checkpoint, one that cannot be loaded
  // (damage before the last frame of an older file, an unreadable file) is rebuilt from the
  // checkpoint below instead of failing the open: the checkpoint holds every record it needs.
  std::optional<SegmentStorage> segments;
  if (!opened) opened.emplace(SegmentStorage::open(segments_dir, fs));
  if (*opened) {
    segments.emplace(std::move(**opened));
  } else if (!checkpoint) {
    return segment_error(std::move(*opened).error());
  }

  auto log = read_all_tolerant(wal_path, fs, on_entry);
  if (!log) return wal_error(std::move(log).error());

  StateMachine state;
  std::uint64_t base = 0;
  if (checkpoint) {
    state = std::move(checkpoint->state_machine);
    base = checkpoint->last_applied_id;
    if (segments) {
      if (auto repaired = repair_segments_from(*segments, state, log->entries); !repaired) {
        return std::move(repaired).error();
      }
    } else {
      auto rebuilt = rebuild_segments(segments_dir, state, fs);
      if (!rebuilt) return std::move(rebuilt).error();
      segments.emplace(std::move(*rebuilt));
    }
  }

  // Replay. Every entry counts as replayed; one the state refuses is skipped whole (segments
  // included). Such an entry is a command the state already reflects: a checkpoint written just
  // before a crash holds the effect of the log entries that the log rewrite would have dropped.
  detail::SegmentRecordReader reader(*segments, fs);
  bool wrote_segments = false;
  std::uint64_t replayed = 0;
  for (auto& [position, command] : log->entries) {
    ++replayed;
    if (!state.check_command(command)) continue;
    if (auto* insert = std::get_if<InsertMemory>(&command)) {
      auto stored = reader.read(insert->entry.id);
      if (!stored || !identical_record(*stored, insert->entry)) {
        auto written = segments->write_entry(insert->entry);
        if (!written) return segment_error(std::move(written).error());
        wrote_segments = true;
      }
      // The entry moves into the state: the log's copy is not read again.
      state.insert_memory(std::move(insert->entry));
      continue;
    }
    if (const auto* del = std::get_if<DeleteMemory>(&command)) segments->mark_deleted(del->id);
    if (auto applied = state.apply_command(command); !applied) {
      return state_error(std::move(applied).error());
    }
  }
  log->entries = {};  // replayed: released before the rest of the open

  // Records the state does not hold (written before a crash cut their log entry, or left by a
  // log that was lost) are marked deleted, so compaction counts them as garbage and drops them.
  std::vector<MemoryId> orphans;
  for (const auto& [id, where] : segments->index()) {
    if (!where.deleted && !state.contains(id)) orphans.push_back(id);
  }
  for (MemoryId id : orphans) segments->mark_deleted(id);

  if ((wrote_segments || log->was_truncated) && segments->has_open_segment()) {
    if (auto synced = segments->sync(); !synced) return segment_error(std::move(synced).error());
  }

  auto wal = WriteAheadLog::open(wal_path, fs);
  if (!wal) return wal_error(std::move(wal).error());
  return Engine(std::move(*wal), std::move(*segments), std::move(state), base + replayed, fs);
}

Result<void, EngineError> Engine::check_before_logging(const Command& command) const {
  // A delete of an absent memory reports what the segment index would: no such entry.
  if (const auto* del = std::get_if<DeleteMemory>(&command)) {
    if (!state_.contains(del->id))
      return segment_error(SegmentError{SegmentError::EntryNotFound{del->id}});
    return {};
  }
  if (auto checked = state_.check_command(command); !checked) {
    return state_error(std::move(checked).error());
  }
  return {};
}

Result<CommandId, EngineError> Engine::execute_command_unsynced(const Command& command) {
  if (wal_reopen_failure_) return wal_error(*wal_reopen_failure_);
  if (auto checked = check_before_logging(command); !checked) return std::move(checked).error();

  // The memory a write replaces or removes, for the capacity totals.
  StateMachine::EntryPtr before;
  if (capacity_) {
    if (const auto* insert = std::get_if<InsertMemory>(&command)) {
      before = state_.get_shared(insert->entry.id);
    } else if (const auto* del = std::get_if<DeleteMemory>(&command)) {
      before = state_.get_shared(del->id);
    }
  }

  auto position = wal_.append(command);
  if (!position) return wal_error(std::move(position).error());

  if (const auto* insert = std::get_if<InsertMemory>(&command)) {
    auto written = segments_.write_entry(insert->entry);
    if (!written) return segment_error(std::move(written).error());
  } else if (const auto* del = std::get_if<DeleteMemory>(&command)) {
    // The state holds the memory (checked above); its record is indexed unless an earlier
    // failure kept it from disk, in which case there is nothing to mark.
    segments_.mark_deleted(del->id);
  }

  if (auto applied = state_.apply_command(command); !applied) {
    return state_error(std::move(applied).error());
  }

  if (capacity_) {
    if (const auto* insert = std::get_if<InsertMemory>(&command)) {
      capacity_->on_insert(before.get(), *state_.get(insert->entry.id));
    } else if (std::holds_alternative<DeleteMemory>(command)) {
      capacity_->on_delete(*before);
    }
  }

  last_applied_id_ = *position;
  return *position;
}

Result<void, EngineError> Engine::reopen_wal() {
  const std::filesystem::path path = wal_.path();
  auto reopened = WriteAheadLog::open(path, *fs_);
  if (!reopened) {
    wal_reopen_failure_ = reopened.error();
    return wal_error(std::move(reopened).error());
  }
  wal_ = std::move(*reopened);
  wal_reopen_failure_.reset();
  return {};
}

Result<void, EngineError> Engine::sync_wal() {
  if (wal_reopen_failure_) return wal_error(*wal_reopen_failure_);
  if (auto flushed = wal_.flush(); !flushed) return wal_error(std::move(flushed).error());
  if (auto synced = wal_.sync(); !synced) return wal_error(std::move(synced).error());
  return {};
}

Result<void, EngineError> Engine::sync_segments() {
  if (auto flushed = segments_.flush(); !flushed) return segment_error(std::move(flushed).error());
  if (auto synced = segments_.sync(); !synced) return segment_error(std::move(synced).error());
  return {};
}

Result<void, EngineError> Engine::sync_all() {
  if (auto synced = sync_wal(); !synced) return synced;
  return sync_segments();
}

Result<CapacityResult, EngineError> Engine::enforce_capacity_with_sync(const CapacityLimits& limits,
                                                                       bool sync_now) {
  if (!capacity_) capacity_ = std::make_unique<detail::CapacityTracker>(state_);
  const auto exceeded = [&] {
    return (limits.max_entries && capacity_->entries() > *limits.max_entries) ||
           (limits.max_bytes && capacity_->bytes() > *limits.max_bytes);
  };

  CapacityResult result;
  result.entries_before = capacity_->entries();
  result.bytes_before = capacity_->bytes();
  while (exceeded()) {
    // A limit can only be exceeded while at least one memory exists.
    const MemoryId victim = *capacity_->first();
    auto deleted = execute_command_unsynced(DeleteMemory{victim});
    if (!deleted) return std::move(deleted).error();
    if (sync_now) {
      if (auto synced = sync_all(); !synced) return std::move(synced).error();
    }
    result.evicted.push_back(victim);
  }
  result.entries_after = capacity_->entries();
  result.bytes_after = capacity_->bytes();
  return result;
}

}  // namespace tessaradb
