#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "storage/frame.hpp"
#include "storage/serialization.hpp"
#include "testing/engine_fixture.hpp"
#include "testing/storage_damage.hpp"
#include "testing/storage_fault_fs.hpp"
#include "testing/storage_records.hpp"

namespace tessaradb {
namespace {

namespace fs = std::filesystem;
using testing::EngineDir;
using testing::expect_segments_match_state;
using testing::make_entry;

// Ten memories in segment 0, closed by a reopen (the engine then writes to segment 1).
Engine open_with_ten_in_a_closed_segment(EngineDir& dir) {
  {
    Engine engine = dir.create();
    for (std::uint64_t id = 1; id <= 10; ++id) {
      EXPECT_TRUE(engine.execute_command_unsynced(InsertMemory{make_entry(id)}));
    }
  }
  return dir.reopen();
}

void delete_ids(Engine& engine, std::initializer_list<std::uint64_t> ids) {
  for (std::uint64_t id : ids) {
    auto deleted = engine.execute_command_unsynced(DeleteMemory{MemoryId{id}});
    ASSERT_TRUE(deleted) << deleted.error().message();
  }
}

std::uint64_t frame_bytes(const MemoryEntry& entry) {
  return kFrameHeaderBytes + kEnvelopeHeaderBytes + encoded_size(entry);
}

TEST(Compaction, NothingQualifyingKeepsTheDeletionMarks) {
  EngineDir dir;
  Engine engine = open_with_ten_in_a_closed_segment(dir);
  const std::uint32_t current = engine.segments().current_segment();

  auto first = engine.compact_segments();
  ASSERT_TRUE(first) << first.error().message();
  EXPECT_TRUE(first->compacted_segments.empty());
  EXPECT_EQ(first->records_written, 0u);
  EXPECT_EQ(engine.segments().current_segment(), current + 1);  // a new current segment
  EXPECT_TRUE(engine.segments().has_open_segment());

  // 2 of 10 deleted is not more than 20%; the third delete tips it only if the first two
  // still count after the reload.
  delete_ids(engine, {2, 4});
  auto second = engine.compact_segments();
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->compacted_segments.empty());
  delete_ids(engine, {6});
  auto third = engine.compact_segments();
  ASSERT_TRUE(third) << third.error().message();
  EXPECT_EQ(third->compacted_segments, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(third->records_written, 7u);
}

TEST(Compaction, RewritesOnlyTheLiveRecordsAndLeavesNoDirectoriesBehind) {
  EngineDir dir;
  Engine engine = open_with_ten_in_a_closed_segment(dir);
  delete_ids(engine, {3, 5, 8});
  const StateMachine state_before = engine.state_machine();

  auto result = engine.compact_segments();
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->compacted_segments, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(result->records_written, 7u);
  EXPECT_EQ(dir.root_entries(), (std::vector<std::string>{"segments", "tessaradb.wal"}));
  std::uint64_t live_bytes = 0;
  for (const MemoryEntry* entry : state_before.all_memories()) live_bytes += frame_bytes(*entry);
  EXPECT_EQ(dir.segment_bytes(), live_bytes);  // the deleted records are gone from the files
  EXPECT_TRUE(engine.state_machine() == state_before);
  expect_segments_match_state(engine);

  // The engine goes on over the rewritten directory.
  ASSERT_TRUE(engine.execute_command_unsynced(InsertMemory{make_entry(11)}));
  delete_ids(engine, {1});
  const StateMachine state_after = engine.state_machine();
  { Engine closing = std::move(engine); }
  Engine reopened = dir.reopen();
  EXPECT_TRUE(reopened.state_machine() == state_after);
  expect_segments_match_state(reopened);
}

TEST(CompactionRecovery, RepairsOnlyExactlyNamedDirectories) {
  struct Case {
    std::string name;
    std::vector<std::string> before;  // directories beside segments; "segments" if it exists
    std::vector<std::string> after;
  };
  const std::vector<std::string> strangers = {"segments.backup.5x", "segments.backup.",
                                              "segments.compact.-1", "other.backup.1",
                                              "segments.backupx.1"};
  for (const Case& c : std::vector<Case>{
           {"backup without segments is renamed back", {"segments.backup.5"}, {"segments"}},
           {"the newest backup wins",
            {"segments.backup.900", "segments.backup.1000", "segments.compact.1000"},
            {"segments"}},
           {"leftover rewrite is removed", {"segments", "segments.compact.9"}, {"segments"}},
           {"backup beside segments is removed", {"segments", "segments.backup.3"}, {"segments"}},
           {"nothing to do", {"segments"}, {"segments"}},
       }) {
    SCOPED_TRACE(c.name);
    testing::TempDir root;
    for (const std::string& name : c.before) {
      fs::create_directories(root / name);
      testing::write_file(root / name / "000000.seg", testing::bytes({}));
      testing::write_file(root / name / "origin", std::vector<std::byte>(name.size()));
    }
    for (const std::string& name : strangers) fs::create_directories(root / name);
    Engine::recover_compaction_state(root / "segments");

    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(root.path())) {
      found.push_back(entry.path().filename().string());
    }
    std::vector<std::string> expected = c.after;
    expected.insert(expected.end(), strangers.begin(), strangers.end());
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
  }
  // The newest backup is the one restored.
  testing::TempDir root;
  for (const std::string name : {"segments.backup.900", "segments.backup.1000"}) {
    fs::create_directories(root / name);
    testing::write_file(root / name / "origin", std::vector<std::byte>(name.size()));
  }
  Engine::recover_compaction_state(root / "segments");
  EXPECT_EQ(fs::file_size(root / "segments" / "origin"),
            std::string("segments.backup.1000").size());
}

// A crash can stop the swap anywhere; build each resulting directory state and reopen.
TEST(CompactionRecovery, ReopenAfterACrashAtEachStepKeepsEveryLiveMemory) {
  enum class Crash { PartialRewrite, BeforeFirstRename, BetweenRenames, BeforeBackupRemoval };
  for (Crash crash : {Crash::PartialRewrite, Crash::BeforeFirstRename, Crash::BetweenRenames,
                      Crash::BeforeBackupRemoval}) {
    SCOPED_TRACE(static_cast<int>(crash));
    testing::FaultInjectingFileSystem faulty;
    EngineDir dir(faulty);
    StateMachine state_before;
    {
      Engine engine = open_with_ten_in_a_closed_segment(dir);
      delete_ids(engine, {2, 5, 7});
      state_before = engine.state_machine();
      // Stop the compaction at its first rename: the complete rewrite stays on disk.
      faulty.fail_nth("rename", 1, EIO);
      auto failed = engine.compact_segments();
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().message().rfind("Compaction error: IO error: ", 0), 0u);
    }
    fs::path rewrite, backup;
    for (const auto& entry : fs::directory_iterator(dir.root())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("segments.compact.", 0) == 0) {
        rewrite = entry.path();
        backup = dir.root() / ("segments.backup." + name.substr(17));
      }
    }
    ASSERT_FALSE(rewrite.empty());
    switch (crash) {
      case Crash::PartialRewrite:
        testing::truncate_to(rewrite / "000000.seg", 30);
        break;
      case Crash::BeforeFirstRename:
        break;
      case Crash::BetweenRenames:
        fs::rename(dir.segments_dir(), backup);
        break;
      case Crash::BeforeBackupRemoval:
        fs::rename(dir.segments_dir(), backup);
        fs::rename(rewrite, dir.segments_dir());
        break;
    }
    Engine engine = dir.reopen();
    EXPECT_TRUE(engine.state_machine() == state_before);
    EXPECT_EQ(dir.root_entries(), (std::vector<std::string>{"segments", "tessaradb.wal"}));
    expect_segments_match_state(engine);
  }
}

// A failed compaction leaves the engine usable and the directory repairable.
TEST(Compaction, FailureAtEachStepLeavesAWorkingEngine) {
  struct Case {
    std::string operation;
    int nth;
  };
  for (const Case& c :
       {Case{"remove_all", 1}, Case{"open_readable", 1}, Case{"append", 3}, Case{"sync", 2},
        Case{"rename", 1}, Case{"rename", 2}, Case{"remove_all", 2}}) {
    SCOPED_TRACE(c.operation + " #" + std::to_string(c.nth));
    testing::FaultInjectingFileSystem faulty;
    EngineDir dir(faulty);
    StateMachine state_after;
    {
      Engine engine = open_with_ten_in_a_closed_segment(dir);
      delete_ids(engine, {2, 5, 7});
      faulty.fail_nth(c.operation, c.nth, EIO);
      auto failed = engine.compact_segments();
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().message().rfind("Compaction error: ", 0), 0u)
          << failed.error().message();
      auto inserted = engine.execute_command_unsynced(InsertMemory{make_entry(11)});
      ASSERT_TRUE(inserted) << inserted.error().message();
      ASSERT_TRUE(engine.sync_all());
      expect_segments_match_state(engine);
      state_after = engine.state_machine();
    }
    Engine engine = dir.reopen();
    EXPECT_TRUE(engine.state_machine() == state_after);
    EXPECT_EQ(dir.root_entries(), (std::vector<std::string>{"segments", "tessaradb.wal"}));
    expect_segments_match_state(engine);
  }
}

}  // namespace
}  // namespace tessaradb
