#include "engine/capacity.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "testing/engine_fixture.hpp"
#include "testing/storage_fault_fs.hpp"

namespace tessaradb {
namespace {

using testing::EngineDir;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

MemoryEntry memory(std::uint64_t id, std::uint64_t created_at, float importance,
                   std::string content = "") {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = "default";
  e.content = std::move(content);
  e.created_at = created_at;
  e.importance = importance;
  return e;
}

void insert(Engine& engine, const MemoryEntry& entry) {
  auto id = engine.execute_command_unsynced(InsertMemory{entry});
  ASSERT_TRUE(id) << id.error().message();
}

std::vector<std::uint64_t> ids(const std::vector<MemoryId>& evicted) {
  std::vector<std::uint64_t> out;
  for (MemoryId id : evicted) out.push_back(id.value);
  return out;
}

// The eviction procedure in its plainest form: measure the whole state, sort every memory (in
// ascending id order) with a stable sort that counts incomparable importances as equal, and
// re-measure the remaining memories before each eviction.
struct Reference {
  std::vector<std::uint64_t> evicted;
  std::uint64_t entries_before = 0, bytes_before = 0;
};
Reference reference_evictions(const StateMachine& state, const CapacityLimits& limits) {
  std::vector<const MemoryEntry*> remaining = state.all_memories();
  const auto measure = [&](std::uint64_t& entries, std::uint64_t& bytes) {
    entries = remaining.size();
    bytes = 0;
    for (const MemoryEntry* m : remaining) bytes += memory_size(*m);
  };
  const auto exceeded = [&] {
    std::uint64_t entries = 0, bytes = 0;
    measure(entries, bytes);
    return (limits.max_entries && entries > *limits.max_entries) ||
           (limits.max_bytes && bytes > *limits.max_bytes);
  };
  Reference ref;
  measure(ref.entries_before, ref.bytes_before);
  if (!exceeded()) return ref;
  std::vector<const MemoryEntry*> order = remaining;
  std::stable_sort(order.begin(), order.end(), [](const MemoryEntry* a, const MemoryEntry* b) {
    if (a->created_at != b->created_at) return a->created_at < b->created_at;
    if (a->importance < b->importance) return true;
    if (a->importance > b->importance) return false;
    return a->id < b->id;  // equal, or not comparable
  });
  for (const MemoryEntry* victim : order) {
    if (!exceeded()) break;
    remaining.erase(std::find(remaining.begin(), remaining.end(), victim));
    ref.evicted.push_back(victim->id.value);
  }
  return ref;
}

TEST(MemorySize, CountsPayloadBytesOnly) {
  MemoryEntry e = memory(1, 0, 0.0f, "0123456789");
  e.embedding = std::vector<float>(4, 1.0f);
  e.metadata = {{"k", "vv"}};
  EXPECT_EQ(memory_size(e), 7u + 10u + 16u + 3u);
  EXPECT_EQ(memory_size(memory(2, 0, 0.0f)), 7u);  // no embedding: nothing for it
}

TEST(Capacity, EvictsOldestThenLeastImportant) {
  EngineDir dir;
  Engine engine = dir.create();
  insert(engine, memory(1, 10, 0.5f));
  insert(engine, memory(2, 20, 0.9f));
  insert(engine, memory(3, 20, 0.1f));
  insert(engine, memory(4, 30, 0.5f));
  insert(engine, memory(5, 40, 0.5f));
  auto result = engine.enforce_capacity_with_sync(CapacityLimits{3, std::nullopt}, false);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(ids(result->evicted), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(result->entries_before, 5u);
  EXPECT_EQ(result->entries_after, 3u);
  EXPECT_EQ(result->bytes_before, 5u * 7u);
  EXPECT_EQ(result->bytes_after, 3u * 7u);
  EXPECT_EQ(engine.wal().entry_count(), 7u);  // each eviction is a logged delete
  EXPECT_FALSE(engine.state_machine().contains(MemoryId{3}));

  // Evictions are ordinary deletes: they survive a reopen.
  { Engine closing = std::move(engine); }
  Engine reopened = dir.reopen();
  EXPECT_EQ(reopened.state_machine().memory_count(), 3u);
}

TEST(Capacity, LimitsAreStrict) {
  EngineDir dir;
  Engine engine = dir.create();
  for (std::uint64_t id = 1; id <= 4; ++id) insert(engine, memory(id, 100 - id, 0.0f, "abc"));
  struct Case {
    CapacityLimits limits;
    std::vector<std::uint64_t> evicted;
  };
  for (const Case& c : {
           Case{{4, std::nullopt}, {}},         // exactly at the entry limit
           Case{{std::nullopt, 40}, {}},        // exactly at the byte limit (4 x 10)
           Case{{std::nullopt, 39}, {4}},       // one byte over: the oldest goes
           Case{{0, std::nullopt}, {3, 2, 1}},  // 0: everything, oldest first
       }) {
    auto result = engine.enforce_capacity_with_sync(c.limits, false);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(ids(result->evicted), c.evicted);
  }
  EXPECT_EQ(engine.state_machine().memory_count(), 0u);
  auto empty = engine.enforce_capacity_with_sync(CapacityLimits{0, 0}, false);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->evicted.empty());
}

// Where a NaN importance shares a creation time with numbers, no single stable-sort order
// exists; the engine puts NaN first, each NaN by id.
TEST(Capacity, NanImportanceComesBeforeNumbersOfTheSameAge) {
  EngineDir dir;
  Engine engine = dir.create();
  insert(engine, memory(1, 5, 0.5f));
  insert(engine, memory(2, 5, kNaN));
  insert(engine, memory(3, 5, 0.1f));
  insert(engine, memory(4, 5, kNaN));
  insert(engine, memory(5, 4, kNaN));
  insert(engine, memory(6, 5, -0.0f));
  insert(engine, memory(7, 5, 0.0f));
  auto result = engine.enforce_capacity_with_sync(CapacityLimits{0, std::nullopt}, false);
  ASSERT_TRUE(result);
  EXPECT_EQ(ids(result->evicted), (std::vector<std::uint64_t>{5, 2, 4, 6, 7, 3, 1}));
}

TEST(Capacity, EvictionOrderIsAStrictWeakOrdering) {
  const std::vector<float> importances = {
      kNaN, -kNaN, -1.0f, -0.0f, 0.0f, 0.5f, std::numeric_limits<float>::infinity()};
  std::vector<detail::EvictionKey> keys;
  for (std::uint64_t created_at : {1u, 2u}) {
    for (float importance : importances) {
      for (std::uint64_t id : {1u, 2u}) keys.push_back({created_at, importance, id});
    }
  }
  const auto before = detail::evicted_before;
  for (const auto& a : keys) {
    EXPECT_FALSE(before(a, a));
    for (const auto& b : keys) {
      if (before(a, b)) {
        EXPECT_FALSE(before(b, a));
      }
      for (const auto& c : keys) {
        if (before(a, b) && before(b, c)) {
          EXPECT_TRUE(before(a, c));
        }
        const bool ab = !before(a, b) && !before(b, a), bc = !before(b, c) && !before(c, b);
        if (ab && bc) {
          EXPECT_TRUE(!before(a, c) && !before(c, a));
        }
      }
    }
  }
}

// Random commands interleaved with enforcement, against the plain procedure. Within a creation
// time importances are either all NaN or all numbers, so the plain procedure's order is defined.
TEST(Capacity, MatchesThePlainProcedureOnRandomData) {
  std::mt19937 rng{12345};
  const std::vector<float> numbers = {
      -1.0f, -0.0f, 0.0f, 0.1f, 0.5f, 0.9f, std::numeric_limits<float>::infinity()};
  std::size_t total_evicted = 0;
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    EngineDir dir;
    Engine engine = dir.create();
    for (int round = 0; round < 6; ++round) {
      for (int step = 0; step < 25; ++step) {
        const std::uint64_t id = 1 + rng() % 30;
        if (rng() % 4 == 0) {
          if (engine.state_machine().contains(MemoryId{id})) {
            ASSERT_TRUE(engine.execute_command_unsynced(DeleteMemory{MemoryId{id}}));
          }
          continue;
        }
        const std::uint64_t created_at = rng() % 6;
        const float importance = created_at % 3 == 0 ? kNaN : numbers[rng() % numbers.size()];
        MemoryEntry e = memory(id, created_at, importance, std::string(rng() % 20, 'x'));
        if (rng() % 2) e.embedding = std::vector<float>(rng() % 5, 0.25f);
        if (rng() % 2) e.metadata = {{"k" + std::to_string(rng() % 3), "value"}};
        insert(engine, e);
      }
      CapacityLimits limits;
      if (rng() % 3 != 0) limits.max_entries = rng() % 25;
      if (!limits.max_entries || rng() % 2) limits.max_bytes = rng() % 600;
      const Reference ref = reference_evictions(engine.state_machine(), limits);
      auto result = engine.enforce_capacity_with_sync(limits, false);
      ASSERT_TRUE(result) << result.error().message();
      EXPECT_EQ(ids(result->evicted), ref.evicted);
      total_evicted += ref.evicted.size();
      EXPECT_EQ(result->entries_before, ref.entries_before);
      EXPECT_EQ(result->bytes_before, ref.bytes_before);
      const Reference after = reference_evictions(engine.state_machine(), CapacityLimits{});
      EXPECT_EQ(result->entries_after, after.entries_before);
      EXPECT_EQ(result->bytes_after, after.bytes_before);
    }
  }
  EXPECT_GT(total_evicted, 500u);  // the data did exercise eviction
}

TEST(Capacity, SyncNowSyncsAfterEachEvictionAndReportsItsFailure) {
  testing::FaultInjectingFileSystem fs;
  EngineDir dir(fs);
  Engine engine = dir.create();
  for (std::uint64_t id = 1; id <= 4; ++id) insert(engine, memory(id, id, 0.0f));
  fs.clear_log();
  auto result = engine.enforce_capacity_with_sync(CapacityLimits{2, std::nullopt}, true);
  ASSERT_TRUE(result);
  const auto log = fs.log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "sync tessaradb.wal"), 2);
  EXPECT_EQ(std::count(log.begin(), log.end(), "sync 000000.seg"), 2);

  fs.fail_nth("sync", 1, EIO);
  auto failed = engine.enforce_capacity_with_sync(CapacityLimits{1, std::nullopt}, true);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message().rfind("WAL error: IO error: ", 0), 0u);
  EXPECT_FALSE(engine.state_machine().contains(MemoryId{3}));  // the eviction itself stays done
}

}  // namespace
}  // namespace tessaradb
