// When writes reach the disk under each sync policy, what survives a killed process, and
// checkpoints (explicit and in the background).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "storage/checkpoint.hpp"
#include "store/store.hpp"
#include "testing/storage_fault_fs.hpp"
#include "testing/store_fixture.hpp"

namespace tessaradb {
namespace {

using testing::eventually;
using testing::FaultInjectingFileSystem;
using testing::store_memory;

class StoreDurabilityTest : public testing::StoreFixture {
 protected:
  // Has everything appended to the log so far been synced since? Read from the file system's
  // operation log: the last log append must be followed by a sync of the log.
  static bool log_synced(const FaultInjectingFileSystem& fs) {
    const auto ops = fs.log();
    std::ptrdiff_t last_append = -1, last_sync = -1;
    for (std::size_t i = 0; i < ops.size(); ++i) {
      if (ops[i] == "append tessaradb.wal") last_append = static_cast<std::ptrdiff_t>(i);
      if (ops[i] == "sync tessaradb.wal") last_sync = static_cast<std::ptrdiff_t>(i);
    }
    return last_append >= 0 && last_sync > last_append;
  }
  // The same for the segment files: the last record append is followed by a segment sync.
  static bool segment_synced(const FaultInjectingFileSystem& fs) {
    const auto ops = fs.log();
    std::ptrdiff_t last_append = -1, last_sync = -1;
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const bool segment = ops[i].size() > 4 && ops[i].compare(ops[i].size() - 4, 4, ".seg") == 0;
      if (!segment) continue;
      if (ops[i].rfind("append ", 0) == 0) last_append = static_cast<std::ptrdiff_t>(i);
      if (ops[i].rfind("sync ", 0) == 0) last_sync = static_cast<std::ptrdiff_t>(i);
    }
    return last_append >= 0 && last_sync > last_append;
  }
};

TEST_F(StoreDurabilityTest, StrictSyncsLogAndSegmentBeforeTheWriteReturns) {
  FaultInjectingFileSystem fs;
  auto store = open_store(options({SyncPolicy::Strict{}}), fs);
  ASSERT_TRUE(store);
  for (std::uint64_t id = 1; id <= 3; ++id) {
    ASSERT_TRUE(store->insert_memory(store_memory(id)));
    EXPECT_TRUE(log_synced(fs));
    EXPECT_TRUE(segment_synced(fs));
  }
  ASSERT_TRUE(store->delete_memory(MemoryId{2}));
  EXPECT_TRUE(log_synced(fs));
}

TEST_F(StoreDurabilityTest, BatchAndAsyncWritesReachTheDiskInTheBackgroundOnFlushAndOnDrop) {
  struct Case {
    const char* name;
    SyncPolicy policy;
  };
  const Case cases[] = {
      {"batch 64/50", {SyncPolicy::Batch{64, 50}}},
      {"batch zeros count as one", {SyncPolicy::Batch{0, 0}}},
      {"async 10", {SyncPolicy::Async{10}}},
      {"async zero counts as one", {SyncPolicy::Async{0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
    FaultInjectingFileSystem fs;
    {
      auto store = open_store(options(c.policy), fs);
      ASSERT_TRUE(store);
      // Background: a single write followed by silence is synced by the sync thread.
      ASSERT_TRUE(store->insert_memory(store_memory(1)));
      EXPECT_TRUE(eventually([&] { return log_synced(fs) && segment_synced(fs); }));

      // flush: synced when it returns.
      for (std::uint64_t id = 2; id <= 20; ++id)
        ASSERT_TRUE(store->insert_memory(store_memory(id)));
      ASSERT_TRUE(store->flush());
      EXPECT_TRUE(log_synced(fs));
      EXPECT_TRUE(segment_synced(fs));

      for (std::uint64_t id = 21; id <= 30; ++id)
        ASSERT_TRUE(store->insert_memory(store_memory(id)));
    }
    // drop: the threads are joined and everything written before is synced.
    EXPECT_TRUE(log_synced(fs));
    EXPECT_TRUE(segment_synced(fs));
    auto reopened = open_store(options(c.policy));
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->state_machine().memory_count(), 30u);
  }
}

TEST_F(StoreDurabilityTest, SyncThreadFailureFailsTheStore) {
  FaultInjectingFileSystem fs;
  ::testing::internal::CaptureStderr();
  {
    auto store = open_store(options({SyncPolicy::Batch{64, 50}}), fs);
    ASSERT_TRUE(store);
    fs.fail_nth("sync", 1, EIO);
    ASSERT_TRUE(store->insert_memory(store_memory(1)));
    // Whether the sync thread or this flush meets the failed sync first, the store is failed
    // from then on with that error.
    EXPECT_TRUE(eventually([&] { return !store->flush(); }));
    auto refused = store->insert_memory(store_memory(2));
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find("IO error: sync"), std::string::npos);
    EXPECT_EQ(store->flush().error().message(), refused.error().message());
  }
  const std::string printed = ::testing::internal::GetCapturedStderr();
  // Printed at most once: a failed store does not retry.
  const auto first = printed.find("tessaradb sync manager flush error: ");
  if (first != std::string::npos) {
    EXPECT_EQ(printed.find("tessaradb sync manager flush error: ", first + 1), std::string::npos);
  }
}

// A child process writes under Strict and reports every acknowledged insert through a pipe; the
// parent kills it at a random moment. Every acknowledged write must be there after reopening.
TEST_F(StoreDurabilityTest, StrictAcknowledgedWritesSurviveSigkill) {
  // A message with this bit announces a delete of the id before it starts: from then on the
  // memory may or may not be present.
  constexpr std::uint64_t kWillDelete = std::uint64_t{1} << 63;
  std::mt19937 rng{12345};
  std::uint64_t next_id = 1;
  std::set<std::uint64_t> acknowledged;
  auto receive = [&](std::uint64_t message) {
    if (message & kWillDelete) {
      acknowledged.erase(message & ~kWillDelete);
    } else {
      acknowledged.insert(message);
    }
  };
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(fds[0]);
      auto store = std::filesystem::exists(wal_path())
                       ? TessaraDBStore::recover_with_policies(options())
                       : TessaraDBStore::new_with_policies(options());
      if (!store) ::_exit(2);
      auto send = [&](std::uint64_t message) {
        if (::write(fds[1], &message, sizeof message) != sizeof message) ::_exit(5);
      };
      for (std::uint64_t id = next_id;; ++id) {
        if (!(*store)->insert_memory(store_memory(id))) ::_exit(3);
        send(id);
        if (id % 5 == 0 && id > next_id) {  // id - 1 was written by this child
          send((id - 1) | kWillDelete);
          if (!(*store)->delete_memory(MemoryId{id - 1})) ::_exit(4);
        }
      }
    }
    ::close(fds[1]);
    const auto kill_after = std::uniform_int_distribution<std::uint64_t>(1, 80)(rng);
    std::uint64_t received = 0, message = 0;
    while (received < kill_after && ::read(fds[0], &message, sizeof message) == sizeof message) {
      receive(message);
      ++received;
    }
    ::kill(child, SIGKILL);
    // Acknowledgements already in the pipe count too.
    while (::read(fds[0], &message, sizeof message) == sizeof message) receive(message);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    ASSERT_EQ(received, kill_after);

    auto store = open_store(options());
    ASSERT_TRUE(store);
    const StateMachine state = store->state_machine();
    for (std::uint64_t id : acknowledged) {
      const MemoryEntry* entry = state.get(MemoryId{id});
      ASSERT_NE(entry, nullptr) << id;
      EXPECT_EQ(*entry, store_memory(id));
    }
    EXPECT_EQ(store->indexed_embeddings(), state.memory_count());
    // The next child starts above every id this one may have written.
    state.memories().for_each([&](std::uint64_t id, const StateMachine::EntryPtr&) {
      next_id = std::max(next_id, id + 1);
    });
    for (std::uint64_t id : acknowledged) next_id = std::max(next_id, id + 2);
  }
}

// ---- checkpoints
// ------------------------------------------------------------------------------------

TEST_F(StoreDurabilityTest, CheckpointLeavesAnEmptyLogAndALoadableCheckpoint) {
  StateMachine expected;
  {
    auto store = open_store(options());
    ASSERT_TRUE(store);
    for (std::uint64_t id = 1; id <= 6; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
    ASSERT_TRUE(store->add_edge(MemoryId{1}, MemoryId{2}, "next"));
    ASSERT_TRUE(store->delete_memory(MemoryId{4}));
    ASSERT_TRUE(store->checkpoint_now());
    EXPECT_EQ(store->wal_len(), 0u);
    EXPECT_EQ(file_size(wal_path()), 0u);
    auto loaded = load_checkpoint(checkpoint_path());
    ASSERT_TRUE(loaded && *loaded);
    EXPECT_TRUE((*loaded)->state_machine == store->state_machine());

    // Writes after the checkpoint go to the fresh log.
    ASSERT_TRUE(store->insert_memory(store_memory(7)));
    EXPECT_EQ(store->wal_len(), 1u);
    expected = store->state_machine();
  }
  auto store = open_store(options());
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->state_machine() == expected);
  EXPECT_EQ(store->indexed_embeddings(), 6u);
}

TEST_F(StoreDurabilityTest, FailedCheckpointSaveLeavesTheLogUntouched) {
  FaultInjectingFileSystem fs;
  auto store = open_store(options(), fs);
  ASSERT_TRUE(store);
  for (std::uint64_t id = 1; id <= 3; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
  const auto log_bytes = file_size(wal_path());
  fs.fail_nth("rename", 1, ENOSPC);
  auto failed = store->checkpoint_now();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message().rfind("Checkpoint error: IO error: rename", 0), 0u)
      << failed.error().message();
  EXPECT_EQ(file_size(wal_path()), log_bytes);
  EXPECT_EQ(store->wal_len(), 3u);
  EXPECT_FALSE(std::filesystem::exists(checkpoint_path()));
  // Not an I/O failure of the log: the store keeps working, and a retry succeeds.
  EXPECT_TRUE(store->insert_memory(store_memory(4)));
  EXPECT_TRUE(store->checkpoint_now());
}

TEST_F(StoreDurabilityTest, CheckpointWithoutItsLogRecoversTheCheckpoint) {
  for (const bool through_recover : {false, true}) {
    SCOPED_TRACE(through_recover ? "recover_with_policies" : "new_with_policies");
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
    {
      auto store = open_store(options());
      ASSERT_TRUE(store);
      for (std::uint64_t id = 1; id <= 4; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
      ASSERT_TRUE(store->checkpoint_now());
    }
    std::filesystem::remove(wal_path());
    auto store = through_recover ? TessaraDBStore::recover_with_policies(options())
                                 : TessaraDBStore::new_with_policies(options());
    ASSERT_TRUE(store) << store.error().message();
    EXPECT_EQ((*store)->state_machine().memory_count(), 4u);
    EXPECT_EQ((*store)->indexed_embeddings(), 4u);
  }
}

// A checkpoint thread saving while writers append, with explicit checkpoints in between: no write
// may be lost, whichever checkpoint lands last.
TEST_F(StoreDurabilityTest, BackgroundCheckpointsKeepEveryWrite) {
  StoreOptions o = options({SyncPolicy::Batch{8, 5}});
  o.checkpoint = CheckpointPolicy{CheckpointPolicy::Periodic{5, 2}};
  constexpr std::uint64_t kWrites = 300;
  {
    auto store = open_store(o);
    ASSERT_TRUE(store);
    std::thread writer([&] {
      for (std::uint64_t id = 1; id <= kWrites; ++id) {
        ASSERT_TRUE(store->insert_memory(store_memory(id)));
        if (id % 10 == 0) {
          ASSERT_TRUE(store->add_edge(MemoryId{id}, MemoryId{id - 1}, "prev"));
        }
      }
    });
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(store->checkpoint_now());
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    writer.join();
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(checkpoint_path()); }));
    // The thread cuts the log once the writes stop.
    EXPECT_TRUE(eventually([&] { return store->wal_len() < kWrites; }));
  }
  auto store = open_store(o);
  ASSERT_TRUE(store);
  const StateMachine state = store->state_machine();
  EXPECT_EQ(state.memory_count(), kWrites);
  for (std::uint64_t id = 10; id <= kWrites; id += 10) {
    auto neighbours = state.get_neighbors(MemoryId{id});
    ASSERT_TRUE(neighbours);
    EXPECT_EQ(neighbours->size(), 1u) << id;
  }
}

}  // namespace
}  // namespace tessaradb
