// Segment compaction and the repair of an interrupted one.
//
// The swap: the live records are written into "<name>.compact.<stamp>" beside the segments
// directory and synced; then segments -> "<name>.backup.<stamp>", the rewrite -> segments, the
// parent directory synced, and the backup removed. A crash leaves one of three situations, which
// recover_compaction_state resolves at the next open:
//   - segments and a (partial or complete) rewrite: the rewrite is removed;
//   - a backup and a complete rewrite but no segments: the backup is renamed back;
//   - the rewritten segments and a backup: the backup is removed.

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "engine/segment_reader.hpp"

namespace tessaradb {
namespace {

EngineError compaction_io(IoError e) {
  return EngineError{EngineError::Compaction{CompactionError{CompactionError::Io{std::move(e)}}}};
}
EngineError compaction_segment(SegmentError e) {
  return EngineError{
      EngineError::Compaction{CompactionError{CompactionError::Segment{std::move(e)}}}};
}

// The segments directory as a path with a final component ("db/segments/" -> "db/segments").
std::filesystem::path without_trailing_separator(const std::filesystem::path& dir) {
  return dir.has_filename() || !dir.has_parent_path() ? dir : dir.parent_path();
}

// The directory's own name, which prefixes its compaction directories.
std::string directory_name(const std::filesystem::path& dir) {
  const std::string name = without_trailing_separator(dir).filename().string();
  return name.empty() ? "segments" : name;
}

// Nanoseconds since the Unix epoch, 0 before it.
std::string stamp_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return std::to_string(ns < 0 ? 0 : ns);
}

// The stamp of `file_name` when it is exactly `prefix` followed by one or more ASCII digits.
std::optional<std::string> stamp_of(const std::string& file_name, const std::string& prefix) {
  if (file_name.size() <= prefix.size() || file_name.compare(0, prefix.size(), prefix) != 0) {
    return std::nullopt;
  }
  std::string stamp = file_name.substr(prefix.size());
  if (!std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return stamp;
}

// Numeric order of digit strings of any length.
bool stamp_less(const std::string& a, const std::string& b) {
  const auto significant = [](const std::string& s) {
    const auto first = s.find_first_not_of('0');
    return first == std::string::npos ? std::string() : s.substr(first);
  };
  const std::string x = significant(a), y = significant(b);
  return x.size() != y.size() ? x.size() < y.size() : x < y;
}

}  // namespace

void Engine::recover_compaction_state(const std::filesystem::path& segments_dir, FileSystem& fs) {
  const std::filesystem::path dir = without_trailing_separator(segments_dir);
  const std::filesystem::path parent = parent_directory(dir);
  const std::string name = directory_name(dir);
  const std::string backup_prefix = name + ".backup.";
  const std::string compact_prefix = name + ".compact.";

  auto listed = fs.list_directory(parent);
  if (!listed) return;
  std::vector<std::pair<std::string, std::string>> backups;  // (stamp, file name)
  std::vector<std::string> rewrites;
  for (const std::string& entry : *listed) {
    if (auto stamp = stamp_of(entry, backup_prefix)) {
      backups.emplace_back(std::move(*stamp), entry);
    } else if (stamp_of(entry, compact_prefix)) {
      rewrites.push_back(entry);
    }
  }
  if (backups.empty() && rewrites.empty()) return;

  // When it cannot be told whether segments exists, a backup may be the only copy of the
  // records: leave everything as it is.
  auto present = fs.exists(dir);
  if (!present) return;
  if (!*present && !backups.empty()) {
    // The swap stopped between its two renames: put the newest backup back.
    const auto newest =
        std::max_element(backups.begin(), backups.end(),
                         [](const auto& a, const auto& b) { return stamp_less(a.first, b.first); });
    if (!fs.rename(parent / newest->second, dir)) return;  // keep every backup then
    (void)fs.sync_directory(parent);
    backups.erase(newest);
  }
  for (const auto& backup : backups) (void)fs.remove_all(parent / backup.second);
  for (const auto& rewrite : rewrites) (void)fs.remove_all(parent / rewrite);
  (void)fs.sync_directory(parent);
}

Result<CompactionResult, EngineError> Engine::compact_segments() {
  if (auto prepared = segments_.prepare_for_maintenance(); !prepared) {
    return EngineError{EngineError::Segment{std::move(prepared).error()}};
  }
  CompactionResult result;
  result.compacted_segments = segments_.get_compactable_segments();
  std::sort(result.compacted_segments.begin(), result.compacted_segments.end());
  const std::filesystem::path dir = without_trailing_separator(segments_.dir());

  if (result.compacted_segments.empty()) {
    // Reopen over the same files for a new current segment, and carry the deletion marks over:
    // they live only in memory, and dropping them would hide those records from the next
    // compaction's count.
    std::vector<MemoryId> deleted;
    for (const auto& [id, where] : segments_.index()) {
      if (where.deleted) deleted.push_back(id);
    }
    auto reopened = SegmentStorage::open(dir, *fs_);
    if (!reopened) return EngineError{EngineError::Segment{std::move(reopened).error()}};
    for (MemoryId id : deleted) reopened->mark_deleted(id);
    segments_ = std::move(*reopened);
    return result;
  }

  // Every live record, ascending by id; read one at a time so that memory stays bounded by one
  // record, not by the database.
  std::vector<std::pair<MemoryId, SegmentIndexEntry>> live;
  live.reserve(segments_.index().size());
  for (const auto& [id, where] : segments_.index()) {
    if (!where.deleted) live.emplace_back(id, where);
  }
  std::sort(live.begin(), live.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  const std::filesystem::path parent = parent_directory(dir);
  const std::string name = directory_name(dir);
  const std::string stamp = stamp_now();
  const std::filesystem::path rewrite = parent / (name + ".compact." + stamp);
  const std::filesystem::path backup = parent / (name + ".backup." + stamp);

  {
    // A leftover of that exact name would be indexed together with the new records.
    if (auto cleared = fs_->remove_all(rewrite); !cleared) {
      return compaction_io(std::move(cleared).error());
    }
    auto target = SegmentStorage::open(rewrite, *fs_);
    if (!target) return compaction_segment(std::move(target).error());
    detail::SegmentRecordReader reader(segments_, *fs_);
    for (const auto& [id, where] : live) {
      auto record = reader.read_at(where);
      if (!record) return compaction_segment(std::move(record).error());
      auto written = target->write_entry(*record);
      if (!written) return compaction_segment(std::move(written).error());
      ++result.records_written;
    }
    if (auto flushed = target->flush(); !flushed) {
      return compaction_segment(std::move(flushed).error());
    }
    if (auto synced = target->sync(); !synced) return compaction_segment(std::move(synced).error());
  }  // the rewrite's files are closed here, before its directory is renamed

  if (auto moved = fs_->rename(dir, backup); !moved) return compaction_io(std::move(moved).error());
  if (auto moved = fs_->rename(rewrite, dir); !moved) {
    // Put the old directory back at once, so the engine keeps working on the files its index
    // describes; if even that fails, the next open renames the backup back.
    (void)fs_->rename(backup, dir);
    return compaction_io(std::move(moved).error());
  }
  // Both renames must be durable before the backup goes: a crash that forgot them could
  // otherwise find neither the old nor the new directory under its name.
  const bool swap_is_durable = static_cast<bool>(fs_->sync_directory(parent));

  // The index now describes files that were renamed away: reload it from the rewritten
  // directory before anything else can read through it.
  auto reopened = SegmentStorage::open(dir, *fs_);
  if (!reopened) return EngineError{EngineError::Segment{std::move(reopened).error()}};
  segments_ = std::move(*reopened);

  // An undurable swap keeps its backup; the next open removes it once segments is found.
  if (swap_is_durable) {
    if (auto removed = fs_->remove_all(backup); !removed) {
      return compaction_io(std::move(removed).error());
    }
    (void)fs_->sync_directory(parent);
  }
  return result;
}

}  // namespace tessaradb
