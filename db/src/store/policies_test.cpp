#include "store/policies.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

namespace tessaradb {
namespace {

using std::chrono::milliseconds;

TEST(PendingRuntime, MarkAddsCountsAndKeepsTheOldestInstant) {
  SyncRuntime runtime;
  mark_pending_write(runtime, 0);
  EXPECT_EQ(runtime.work.pending_ops, 0u);
  EXPECT_FALSE(runtime.work.pending_since);

  const auto before = MonotonicClock::now();
  mark_pending_write(runtime, 1);
  ASSERT_TRUE(runtime.work.pending_since);
  const auto first = *runtime.work.pending_since;
  EXPECT_GE(first, before);
  mark_pending_write(runtime, 3);
  EXPECT_EQ(runtime.work.pending_ops, 4u);
  EXPECT_EQ(*runtime.work.pending_since, first);

  clear_pending_sync_state(runtime);
  EXPECT_EQ(runtime.work.pending_ops, 0u);
  EXPECT_FALSE(runtime.work.pending_since);
  EXPECT_FALSE(runtime.work.shutdown);
}

TEST(PendingRuntime, CountSaturatesAtTheLargestValue) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  SyncRuntime runtime;
  mark_pending_write(runtime, kMax - 1);
  mark_pending_write(runtime, 5);
  EXPECT_EQ(runtime.work.pending_ops, kMax);
  mark_pending_write(runtime, 1);
  EXPECT_EQ(runtime.work.pending_ops, kMax);
}

TEST(PendingRuntime, CheckpointMarksOnlyUnderPeriodic) {
  CheckpointRuntime runtime;
  mark_pending_checkpoint(runtime, CheckpointPolicy{CheckpointPolicy::Disabled{}}, 7);
  EXPECT_EQ(runtime.work.pending_ops, 0u);
  EXPECT_FALSE(runtime.work.pending_since);
  mark_pending_checkpoint(runtime, CheckpointPolicy{CheckpointPolicy::Periodic{10, 10}}, 7);
  EXPECT_EQ(runtime.work.pending_ops, 7u);
  EXPECT_TRUE(runtime.work.pending_since);
  clear_pending_checkpoint_state(runtime);
  EXPECT_EQ(runtime.work.pending_ops, 0u);
}

// What each policy tells its thread to do, for one state of the pending record.
TEST(WaitBound, FollowsThePolicyValuesWithZeroCountingAsOne) {
  const auto now = MonotonicClock::now();
  const PendingWork idle;
  PendingWork two_fresh{now, 2, false};
  PendingWork two_30ms_old{now - milliseconds(30), 2, false};
  PendingWork two_old{now - milliseconds(80), 2, false};

  struct Case {
    const char* name;
    SyncPolicy policy;
    const PendingWork* work;
    WaitBound expected;
  };
  const MonotonicClock::duration zero{0};
  const Case cases[] = {
      {"batch idle sleeps until woken", {SyncPolicy::Batch{64, 50}}, &idle, std::nullopt},
      {"batch under both limits", {SyncPolicy::Batch{64, 50}}, &two_fresh, milliseconds(50)},
      {"batch waits the rest of the delay",
       {SyncPolicy::Batch{64, 50}},
       &two_30ms_old,
       milliseconds(20)},
      {"batch delay passed", {SyncPolicy::Batch{64, 50}}, &two_old, zero},
      {"batch count reached", {SyncPolicy::Batch{2, 50}}, &two_fresh, zero},
      {"batch zero max_ops counts as one", {SyncPolicy::Batch{0, 50}}, &two_fresh, zero},
      {"batch zero delay counts as one ms",
       {SyncPolicy::Batch{64, 0}},
       &two_fresh,
       milliseconds(1)},
      {"async sleeps its interval", {SyncPolicy::Async{10}}, &idle, milliseconds(10)},
      {"async zero interval counts as one", {SyncPolicy::Async{0}}, &two_fresh, milliseconds(1)},
      {"strict has no thread", {SyncPolicy::Strict{}}, &two_fresh, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sync_wait_bound(c.policy, *c.work, now), c.expected);
  }

  const CheckpointPolicy periodic{CheckpointPolicy::Periodic{3, 100}};
  EXPECT_EQ(checkpoint_wait_bound(periodic, idle, now), std::nullopt);
  EXPECT_EQ(checkpoint_wait_bound(periodic, two_30ms_old, now), WaitBound{milliseconds(70)});
  EXPECT_EQ(checkpoint_wait_bound(periodic, PendingWork{now, 3, false}, now), WaitBound{zero});
  EXPECT_EQ(checkpoint_wait_bound(CheckpointPolicy{CheckpointPolicy::Disabled{}}, two_old, now),
            std::nullopt);
}

}  // namespace
}  // namespace tessaradb
