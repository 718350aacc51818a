#include "engine/engine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "storage/checkpoint.hpp"
#include "storage/wal.hpp"
#include "testing/engine_fixture.hpp"
#include "testing/storage_damage.hpp"
#include "testing/storage_fault_fs.hpp"
#include "testing/storage_records.hpp"

namespace tessaradb {
namespace {

using testing::EngineDir;
using testing::expect_segments_match_state;
using testing::make_entry;

MemoryEntry with_content(MemoryEntry entry, std::string content) {
  entry.content = std::move(content);
  return entry;
}

void execute_ok(Engine& engine, const Command& command) {
  auto id = engine.execute_command_unsynced(command);
  ASSERT_TRUE(id) << id.error().message();
}

TEST(EngineOpen, FreshDirectoryHasAnEmptyLogAndOneEmptySegment) {
  EngineDir dir;
  Engine engine = dir.create();
  EXPECT_EQ(std::filesystem::file_size(dir.wal_path()), 0u);
  EXPECT_EQ(dir.segment_files(),
            (std::vector<std::pair<std::string, std::uint64_t>>{{"000000.seg", 0}}));
  EXPECT_EQ(engine.state_machine().memory_count(), 0u);
  EXPECT_EQ(engine.last_applied_id(), 0u);
  EXPECT_EQ(engine.wal().entry_count(), 0u);
}

TEST(EngineOpen, ReopenFromTheLogAloneWritesNoSegmentBytes) {
  EngineDir dir;
  {
    Engine engine = dir.create();
    for (std::uint64_t id = 1; id <= 3; ++id) execute_ok(engine, InsertMemory{make_entry(id)});
  }
  const std::uint64_t bytes_before = dir.segment_bytes();
  Engine engine = dir.reopen();
  EXPECT_EQ(dir.segment_bytes(), bytes_before);  // every record was already identical on disk
  EXPECT_EQ(engine.state_machine().memory_count(), 3u);
  EXPECT_EQ(engine.last_applied_id(), 3u);
  auto next = engine.execute_command_unsynced(InsertMemory{make_entry(4)});
  ASSERT_TRUE(next);
  EXPECT_EQ(*next, 3u);
  expect_segments_match_state(engine);
}

TEST(EngineOpen, ReopenFromCheckpointAndLogWritesTheCheckpointsMissingRecords) {
  EngineDir dir;
  StateMachine checkpointed;
  checkpointed.insert_memory(make_entry(1));
  checkpointed.insert_memory(make_entry(2));
  ASSERT_TRUE(save_checkpoint(dir.checkpoint_path(), checkpointed, 10));
  {
    auto log = WriteAheadLog::open(dir.wal_path());
    ASSERT_TRUE(log);
    for (const Command& c : std::vector<Command>{
             InsertMemory{make_entry(3)}, InsertMemory{make_entry(4)}, DeleteMemory{MemoryId{1}},
             AddEdge{MemoryId{2}, MemoryId{3}, "next"}, InsertMemory{make_entry(5)}}) {
      ASSERT_TRUE(log->append(c));
    }
  }
  // A segment file holding only a torn frame: none of the checkpoint's records is on disk.
  std::filesystem::create_directories(dir.segments_dir());
  testing::write_file(dir.segments_dir() / "000007.seg",
                      testing::bytes({9, 9, 9, 9, 9, 9, 9, 9, 9}));

  Engine engine = dir.reopen();
  EXPECT_EQ(engine.last_applied_id(), 15u);
  EXPECT_EQ(engine.state_machine().memory_count(), 4u);
  EXPECT_FALSE(engine.state_machine().contains(MemoryId{1}));
  auto neighbors = engine.state_machine().get_neighbors(MemoryId{2});
  ASSERT_TRUE(neighbors);
  EXPECT_EQ(neighbors->size(), 1u);
  expect_segments_match_state(engine);
  auto next = engine.execute_command_unsynced(InsertMemory{make_entry(6)});
  ASSERT_TRUE(next);
  EXPECT_EQ(*next, 5u);
}

// The store's checkpoint: save the engine's state, then rewrite the log without what it covers.
void checkpoint_and_rewrite_log(EngineDir& dir, Engine& engine) {
  ASSERT_TRUE(save_checkpoint(dir.checkpoint_path(), engine.state_machine(),
                              engine.last_applied_id()));
  ASSERT_TRUE(truncate_prefix(dir.wal_path(), engine.last_applied_id()));
  ASSERT_TRUE(engine.reopen_wal());
}

TEST(EngineOpen, CheckpointOpenWritesNothingWhenTheSegmentsHoldItsRecords) {
  EngineDir dir;
  {
    Engine engine = dir.create();
    for (std::uint64_t id = 1; id <= 5; ++id) execute_ok(engine, InsertMemory{make_entry(id)});
    execute_ok(engine, InsertMemory{with_content(make_entry(3), "rewritten")});  // the newer record wins
    execute_ok(engine, DeleteMemory{MemoryId{2}});
    checkpoint_and_rewrite_log(dir, engine);
    // The log tail: a new memory, a changed one and a deleted one, whose stored records are
    // newer than the checkpoint's.
    execute_ok(engine, InsertMemory{make_entry(6)});
    execute_ok(engine, InsertMemory{with_content(make_entry(4), "changed")});
    execute_ok(engine, DeleteMemory{MemoryId{5}});
  }
  const std::uint64_t bytes_before = dir.segment_bytes();
  for (int open = 0; open < 2; ++open) {
    Engine engine = dir.reopen();
    EXPECT_EQ(dir.segment_bytes(), bytes_before);
    EXPECT_EQ(engine.state_machine().memory_count(), 4u);
    EXPECT_EQ(engine.state_machine().get(MemoryId{4})->content, "changed");
    // The deleted memory's record stays on disk, marked deleted for compaction.
    ASSERT_TRUE(engine.segments().index().contains(MemoryId{2}));
    EXPECT_TRUE(engine.segments().index().at(MemoryId{2}).deleted);
    expect_segments_match_state(engine);
  }
}

// Segment records the checkpoint outlived: each case damages the directory after a checkpoint
// whose log was rewritten, so only the checkpoint still holds the memories.
TEST(EngineOpen, CheckpointOpenRestoresRecordsTheSegmentsLost) {
  struct Case {
    const char* name;
    void (*damage)(EngineDir&);
  };
  const Case cases[] = {
      {"directory removed",
       [](EngineDir& d) { std::filesystem::remove_all(d.segments_dir()); }},
      {"last record cut off (unsynced tail lost)",
       [](EngineDir& d) {
         const auto path = d.segments_dir() / "000000.seg";
         testing::truncate_to(path, std::filesystem::file_size(path) - 3);
       }},
      {"older record replaced by a different one",
       [](EngineDir& d) {
         auto storage = SegmentStorage::open(d.segments_dir());
         ASSERT_TRUE(storage);
         ASSERT_TRUE(storage->write_entry(with_content(make_entry(2), "content of X")));
       }},
      {"damage before the last frame of an older file (the directory cannot be loaded)",
       [](EngineDir& d) {
         testing::flip_byte(d.segments_dir() / "000000.seg", 20);
         testing::write_file(d.segments_dir() / "000005.seg", {});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineDir dir;
    {
      Engine engine = dir.create();
      for (std::uint64_t id = 1; id <= 4; ++id) execute_ok(engine, InsertMemory{make_entry(id)});
      checkpoint_and_rewrite_log(dir, engine);
    }
    c.damage(dir);
    auto engine = dir.try_reopen();
    ASSERT_TRUE(engine) << engine.error().message();
    EXPECT_EQ(engine->state_machine().memory_count(), 4u);
    expect_segments_match_state(*engine);
    // What was written is durable and loads again without repair.
    const std::uint64_t bytes = dir.segment_bytes();
    engine = dir.try_reopen();
    ASSERT_TRUE(engine) << engine.error().message();
    EXPECT_EQ(dir.segment_bytes(), bytes);
    expect_segments_match_state(*engine);
  }
}

TEST(EngineOpen, TornLogTailIsCutAndItsRecordNoLongerCountsAsLive) {
  testing::FaultInjectingFileSystem fs;
  EngineDir dir(fs);
  std::uint64_t two_frames = 0;
  {
    Engine engine = dir.create();
    execute_ok(engine, InsertMemory{make_entry(1)});
    execute_ok(engine, InsertMemory{make_entry(2)});
    two_frames = std::filesystem::file_size(dir.wal_path());
    execute_ok(engine, InsertMemory{make_entry(3)});
  }
  testing::truncate_to(dir.wal_path(), std::filesystem::file_size(dir.wal_path()) - 3);
  fs.clear_log();
  Engine engine = dir.reopen();
  EXPECT_EQ(std::filesystem::file_size(dir.wal_path()), two_frames);
  EXPECT_EQ(engine.state_machine().memory_count(), 2u);
  EXPECT_EQ(engine.last_applied_id(), 2u);
  EXPECT_EQ(engine.wal().entry_count(), 2u);
  // The current segment was synced after the cut.
  const auto log = fs.log();
  EXPECT_NE(std::find(log.begin(), log.end(), "sync 000001.seg"), log.end());
  // Memory 3 reached its segment before the crash; it is not part of the state and is not kept.
  expect_segments_match_state(engine);
}

TEST(EngineOpen, ReplayOpensEachSegmentFileOnce) {
  testing::FaultInjectingFileSystem fs;
  EngineDir dir(fs);
  {
    Engine engine = dir.create();
    for (std::uint64_t id = 1; id <= 200; ++id) execute_ok(engine, InsertMemory{make_entry(id)});
  }
  fs.clear_log();
  Engine engine = dir.reopen();
  const auto log = fs.log();
  const auto opens = std::count_if(log.begin(), log.end(), [](const std::string& line) {
    return line.rfind("open_readable ", 0) == 0 && line.ends_with(".seg");
  });
  // SegmentStorage::open reads each of its two files once, and replay opens 000000.seg once.
  EXPECT_LE(opens, 3);
  EXPECT_EQ(engine.state_machine().memory_count(), 200u);
}

TEST(EngineOpen, NanImportanceRecordIsNotAppendedAgainOnEveryOpen) {
  EngineDir dir;
  MemoryEntry entry = make_entry(1);
  entry.importance = std::numeric_limits<float>::quiet_NaN();
  {
    Engine engine = dir.create();
    execute_ok(engine, InsertMemory{entry});
  }
  const std::uint64_t bytes = dir.segment_bytes();
  { Engine engine = dir.reopen(); }
  Engine engine = dir.reopen();
  EXPECT_EQ(dir.segment_bytes(), bytes);
  EXPECT_TRUE(std::isnan(engine.state_machine().get(MemoryId{1})->importance));
}

TEST(EngineExecute, ReinsertAppendsASecondRecordThatWins) {
  EngineDir dir;
  MemoryEntry changed = make_entry(1);
  changed.content = "changed";
  {
    Engine engine = dir.create();
    execute_ok(engine, InsertMemory{make_entry(1)});
    const std::uint64_t one_record = dir.segment_bytes();
    execute_ok(engine, InsertMemory{changed});
    EXPECT_EQ(dir.segment_bytes(),
              2 * one_record - make_entry(1).content.size() + changed.content.size());
    EXPECT_EQ(engine.segments().index().at(MemoryId{1}).offset, one_record);
    EXPECT_EQ(engine.state_machine().get(MemoryId{1})->content, "changed");
  }
  Engine engine = dir.reopen();
  EXPECT_EQ(engine.state_machine().get(MemoryId{1})->content, "changed");
  expect_segments_match_state(engine);
}

// A refused command leaves no log entry, so it can neither consume a CommandId nor make a later
// open fail when replay meets it again.
TEST(EngineExecute, RefusedCommandsLeaveNoLogEntryAndReopenSucceeds) {
  EngineDir dir;
  StateMachine state_before;
  {
    Engine engine = dir.create();
    execute_ok(engine, InsertMemory{make_entry(1, 4, "a")});
    execute_ok(engine, InsertMemory{make_entry(2, 4, "b")});
    execute_ok(engine, DeleteMemory{MemoryId{2}});
    struct Case {
      Command command;
      std::string message;
    };
    for (const Case& c : {
             Case{DeleteMemory{MemoryId{9}}, "Segment error: Entry not found: MemoryId(9)"},
             Case{DeleteMemory{MemoryId{2}}, "Segment error: Entry not found: MemoryId(2)"},
             Case{AddEdge{MemoryId{1}, MemoryId{7}, "r"},
                  "State machine error: Memory not found: MemoryId(7)"},
             Case{AddEdge{MemoryId{8}, MemoryId{1}, "r"},
                  "State machine error: Memory not found: MemoryId(8)"},
         }) {
      SCOPED_TRACE(c.message);
      auto result = engine.execute_command_unsynced(c.command);
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message(), c.message);
      EXPECT_EQ(engine.wal().entry_count(), 3u);
      EXPECT_EQ(engine.last_applied_id(), 2u);
    }
    execute_ok(engine, InsertMemory{make_entry(3, 4, "b")});
    auto cross = engine.execute_command_unsynced(AddEdge{MemoryId{1}, MemoryId{3}, "r"});
    ASSERT_FALSE(cross);
    EXPECT_EQ(cross.error().message(),
              "State machine error: Cross-namespace edge is not allowed: from=MemoryId(1) (a) "
              "to=MemoryId(3) (b)");
    EXPECT_EQ(engine.wal().entry_count(), 4u);
    state_before = engine.state_machine();
  }
  Engine engine = dir.reopen();
  EXPECT_TRUE(engine.state_machine() == state_before);
  EXPECT_EQ(engine.last_applied_id(), 4u);
}

// The store writes the checkpoint, then rewrites the log. A crash in between leaves a log whose
// entries the checkpoint already holds, including deletes of memories it no longer has.
TEST(EngineOpen, CheckpointSavedWithoutTheLogRewriteReopensToTheSameState) {
  EngineDir dir;
  StateMachine state_before;
  {
    Engine engine = dir.create();
    for (std::uint64_t id = 1; id <= 4; ++id) execute_ok(engine, InsertMemory{make_entry(id)});
    execute_ok(engine, AddEdge{MemoryId{1}, MemoryId{2}, "next"});
    execute_ok(engine, AddEdge{MemoryId{3}, MemoryId{4}, "next"});
    // A complete checkpoint cycle: the inserts leave the log.
    ASSERT_TRUE(
        save_checkpoint(dir.checkpoint_path(), engine.state_machine(), engine.last_applied_id()));
    ASSERT_TRUE(truncate_prefix(dir.wal_path(), engine.last_applied_id()));
    ASSERT_TRUE(engine.reopen_wal());
    execute_ok(engine, DeleteMemory{MemoryId{2}});
    execute_ok(engine, RemoveEdge{MemoryId{3}, MemoryId{4}});
    execute_ok(engine, AddEdge{MemoryId{1}, MemoryId{3}, "later"});
    // The second checkpoint is written; the crash comes before the log is rewritten.
    ASSERT_TRUE(
        save_checkpoint(dir.checkpoint_path(), engine.state_machine(), engine.last_applied_id()));
    state_before = engine.state_machine();
  }
  Engine engine = dir.reopen();
  EXPECT_TRUE(engine.state_machine() == state_before);
  EXPECT_EQ(engine.last_applied_id(), 2u + 3u);
  expect_segments_match_state(engine);
}

TEST(EngineOpen, CheckpointWithoutALogOpensWithTheCheckpointState) {
  EngineDir dir;
  StateMachine state_before;
  {
    Engine engine = dir.create();
    for (std::uint64_t id = 1; id <= 3; ++id) execute_ok(engine, InsertMemory{make_entry(id)});
    ASSERT_TRUE(save_checkpoint(dir.checkpoint_path(), engine.state_machine(), 2));
    state_before = engine.state_machine();
  }
  std::filesystem::remove(dir.wal_path());
  for (int how = 0; how < 2; ++how) {
    SCOPED_TRACE(how == 0 ? "create" : "recover_from_checkpoint");
    Engine engine = how == 0 ? dir.create() : dir.reopen();
    EXPECT_TRUE(engine.state_machine() == state_before);
    EXPECT_EQ(engine.last_applied_id(), 2u);
    EXPECT_TRUE(std::filesystem::exists(dir.wal_path()));
    EXPECT_EQ(engine.wal().entry_count(), 0u);
    expect_segments_match_state(engine);
  }
}

TEST(EngineOpen, DamagedCheckpointFailsCreateInsteadOfStartingEmpty) {
  EngineDir dir;
  testing::write_file(dir.checkpoint_path(), testing::bytes({1, 0, 0}));
  auto engine = Engine::create(dir.wal_path(), dir.segments_dir());
  ASSERT_FALSE(engine);
  EXPECT_EQ(engine.error().message().rfind("Checkpoint error: Serialization error: ", 0), 0u)
      << engine.error().message();
}

TEST(EngineWal, ReopenAfterTruncateRenumbersFromZero) {
  EngineDir dir;
  Engine engine = dir.create();
  for (std::uint64_t id = 1; id <= 3; ++id) execute_ok(engine, InsertMemory{make_entry(id)});
  ASSERT_TRUE(truncate_prefix(dir.wal_path(), engine.last_applied_id()));
  ASSERT_TRUE(engine.reopen_wal());
  auto next = engine.execute_command_unsynced(InsertMemory{make_entry(4)});
  ASSERT_TRUE(next);
  EXPECT_EQ(*next, 0u);
  ASSERT_TRUE(engine.sync_all());
  auto read = read_all_tolerant(dir.wal_path());
  ASSERT_TRUE(read);
  ASSERT_EQ(read->entries.size(), 1u);  // the new command reached the rewritten file
}

// After truncate_prefix the old writer points at the replaced file; writing on through it would
// acknowledge commands that no reopen can find.
TEST(EngineWal, FailedReopenRefusesWritesUntilAReopenSucceeds) {
  testing::FaultInjectingFileSystem fs;
  EngineDir dir(fs);
  Engine engine = dir.create();
  execute_ok(engine, InsertMemory{make_entry(1)});
  ASSERT_TRUE(truncate_prefix(dir.wal_path(), engine.last_applied_id()));
  fs.fail_nth("open_writable", 1, EIO);
  ASSERT_FALSE(engine.reopen_wal());
  auto refused = engine.execute_command_unsynced(InsertMemory{make_entry(2)});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message().rfind("WAL error: IO error: ", 0), 0u);
  EXPECT_FALSE(engine.state_machine().contains(MemoryId{2}));
  EXPECT_FALSE(engine.sync_wal());
  ASSERT_TRUE(engine.reopen_wal());
  execute_ok(engine, InsertMemory{make_entry(2)});
  EXPECT_TRUE(engine.sync_all());
}

TEST(EngineExecute, FailuresKeepTheLogThenSegmentThenStateOrder) {
  {
    SCOPED_TRACE("log append fails: nothing else happens");
    testing::FaultInjectingFileSystem fs;
    EngineDir dir(fs);
    Engine engine = dir.create();
    fs.fail_nth("append", 1, ENOSPC);
    auto result = engine.execute_command_unsynced(InsertMemory{make_entry(1)});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message().rfind("WAL error: IO error: ", 0), 0u);
    EXPECT_EQ(dir.segment_bytes(), 0u);
    EXPECT_EQ(engine.state_machine().memory_count(), 0u);
  }
  {
    SCOPED_TRACE("segment write fails: logged, state unchanged, replay restores it");
    testing::FaultInjectingFileSystem fs;
    EngineDir dir(fs);
    {
      Engine engine = dir.create();
      fs.fail_nth("append", 2, ENOSPC);  // the first append is the log's
      auto result = engine.execute_command_unsynced(InsertMemory{make_entry(1)});
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message().rfind("Segment error: IO error: ", 0), 0u);
      EXPECT_EQ(engine.wal().entry_count(), 1u);
      EXPECT_EQ(engine.state_machine().memory_count(), 0u);
      EXPECT_FALSE(engine.sync_segments());  // the failed storage stays failed
    }
    Engine engine = dir.reopen();
    EXPECT_TRUE(engine.state_machine().contains(MemoryId{1}));
    expect_segments_match_state(engine);
  }
}

}  // namespace
}  // namespace tessaradb
