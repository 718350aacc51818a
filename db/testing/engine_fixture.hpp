#pragma once

// A database directory for engine tests: its paths, opening and reopening the engine (with the
// checkpoint on disk, as the store does), and views of the segment files.
//
// Header-only: it needs the engine, and only the engine tests (which link the engine library)
// include it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/segment_reader.hpp"
#include "storage/checkpoint.hpp"
#include "storage/segment.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb::testing {

class EngineDir {
 public:
  explicit EngineDir(FileSystem& fs = default_file_system()) : fs_(fs) {}

  std::filesystem::path root() const { return dir_.path(); }
  std::filesystem::path wal_path() const { return dir_ / "tessaradb.wal"; }
  std::filesystem::path segments_dir() const { return dir_ / "segments"; }
  std::filesystem::path checkpoint_path() const { return checkpoint_path_for(wal_path()); }

  // Engine::create, asserting success.
  Engine create() {
    auto engine = Engine::create(wal_path(), segments_dir(), fs_);
    EXPECT_TRUE(engine) << (engine ? "" : engine.error().message());
    return std::move(*engine);
  }

  // What the store does on reopen: load the checkpoint (if any), then recover from it.
  Result<Engine, EngineError> try_reopen() {
    auto checkpoint = load_checkpoint(checkpoint_path(), fs_);
    EXPECT_TRUE(checkpoint) << (checkpoint ? "" : checkpoint.error().message());
    std::optional<CheckpointData> data;
    if (checkpoint && *checkpoint) data = std::move(**checkpoint);
    return Engine::recover_from_checkpoint(wal_path(), segments_dir(), std::move(data), fs_);
  }
  Engine reopen() {
    auto engine = try_reopen();
    EXPECT_TRUE(engine) << (engine ? "" : engine.error().message());
    return std::move(*engine);
  }

  // Segment file name -> size, for every file in the segments directory.
  std::vector<std::pair<std::string, std::uint64_t>> segment_files() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const auto& entry : std::filesystem::directory_iterator(segments_dir())) {
      out.emplace_back(entry.path().filename().string(), entry.file_size());
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::uint64_t segment_bytes() const {
    std::uint64_t total = 0;
    for (const auto& file : segment_files()) total += file.second;
    return total;
  }

  // Names of the entries of the database directory, sorted.
  std::vector<std::string> root_entries() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(root())) {
      out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  TempDir dir_;
  FileSystem& fs_;
};

// Every memory of the engine's state is indexed live in its segments and reads back from the
// segment files as an equal record; no other id is indexed live.
inline void expect_segments_match_state(const Engine& engine) {
  const StateMachine& state = engine.state_machine();
  std::size_t live = 0;
  for (const auto& [id, where] : engine.segments().index()) {
    if (!where.deleted) ++live;
  }
  EXPECT_EQ(live, state.memory_count());
  detail::SegmentRecordReader reader(engine.segments(), default_file_system());
  for (const MemoryEntry* entry : state.all_memories()) {
    auto stored = reader.read(entry->id);
    ASSERT_TRUE(stored) << stored.error().message();
    EXPECT_TRUE(*stored == *entry) << debug_string(entry->id);
  }
}

}  // namespace tessaradb::testing
