#pragma once

// The store's configuration and the small records that carry pending work from the write path to
// the background threads.
//
//   SyncPolicy        when writes reach stable storage: Strict (every write syncs before it
//                     returns), Batch or Async (a sync thread syncs in the background);
//   CheckpointPolicy  Disabled, or Periodic (a checkpoint thread saves the state and cuts the log);
//   CapacityPolicy    optional limits on the number and total size of memories, enforced by
//                     evicting the oldest memories after every write;
//   IndexMode         exact scans only, or an HNSW graph saved beside the database.
//
// Numeric policy values below 1 count as 1 (a zero delay would spin the thread).
//
// SyncRuntime and CheckpointRuntime each hold the number of operations recorded since the last
// flush (or checkpoint), when the oldest of them was recorded, and the shutdown flag, behind their
// own mutex with a condition variable. The runtime mutexes are leaf locks: a thread may take one
// while holding the store's writer lock, never the other way round (see store.hpp).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <variant>

#include "index/hnsw.hpp"

namespace tessaradb {

using MonotonicClock = std::chrono::steady_clock;

struct SyncPolicy {
  struct Strict {};
  struct Batch {
    std::uint64_t max_ops = 64;       // flush without sleeping once this many are pending
    std::uint64_t max_delay_ms = 50;  // flush at the latest this long after the oldest pending
  };
  struct Async {
    std::uint64_t interval_ms = 10;  // flush pending writes at least this often
  };
  std::variant<Strict, Batch, Async> kind;

  bool is_strict() const { return std::holds_alternative<Strict>(kind); }
};

struct CheckpointPolicy {
  struct Disabled {};
  struct Periodic {
    std::uint64_t every_ops = 0;  // checkpoint without waiting once this many are pending
    std::uint64_t every_ms = 0;   // checkpoint at the latest this long after the oldest pending
  };
  std::variant<Disabled, Periodic> kind;

  bool is_periodic() const { return std::holds_alternative<Periodic>(kind); }
};

struct CapacityPolicy {
  std::optional<std::size_t> max_entries;  // evict while there are more memories than this
  std::optional<std::uint64_t> max_bytes;  // evict while their total size is greater than this

  bool is_limited() const { return max_entries.has_value() || max_bytes.has_value(); }
};

struct IndexMode {
  struct Exact {};
  struct Hnsw {
    HnswConfig config;
  };
  std::variant<Exact, Hnsw> kind;

  const HnswConfig* hnsw() const {
    const Hnsw* h = std::get_if<Hnsw>(&kind);
    return h ? &h->config : nullptr;
  }
};

// A policy value as the threads use it: below 1 counts as 1.
constexpr std::uint64_t at_least_one(std::uint64_t value) { return value < 1 ? 1 : value; }

// Work recorded since the last flush or checkpoint.
struct PendingWork {
  std::optional<MonotonicClock::time_point> pending_since;  // the oldest pending record; none: idle
  std::uint64_t pending_ops = 0;                            // saturates at the largest value
  bool shutdown = false;                                    // set once, when the store goes
};

// A PendingWork behind its own mutex, with the condition variable its thread waits on.
struct PendingRuntime {
  // Guards `work`.
  std::mutex mutex;
  PendingWork work;
  std::condition_variable wake;
};

// Filled by writes under Batch and Async, consumed by the sync thread and by flush.
struct SyncRuntime : PendingRuntime {};
// Filled by writes under Periodic, consumed by the checkpoint thread and by checkpoint_now.
struct CheckpointRuntime : PendingRuntime {};

// Records `ops` operations (nothing at all for 0): adds them to pending_ops (saturating), sets
// pending_since to now when it is absent and wakes one waiter.
void mark_pending_write(SyncRuntime& runtime, std::uint64_t ops);

// As mark_pending_write, on the checkpoint runtime, and only when `policy` is Periodic.
void mark_pending_checkpoint(CheckpointRuntime& runtime, const CheckpointPolicy& policy,
                             std::uint64_t ops);

// Forgets everything pending (pending_ops 0, pending_since absent); wakes nobody.
void clear_pending_sync_state(SyncRuntime& runtime);
void clear_pending_checkpoint_state(CheckpointRuntime& runtime);

// Sets `shutdown` and wakes every waiter.
void request_shutdown(PendingRuntime& runtime);

// How long a background thread may sleep before it looks at `work` again:
//   none   sleep until woken;
//   zero   do not sleep: the work is due now;
//   other  sleep at most this long.
using WaitBound = std::optional<MonotonicClock::duration>;

// The sync thread's bound. Batch: none while nothing is pending; zero once max_ops are pending or
// max_delay_ms has passed since pending_since; else the rest of the delay. Async: interval_ms.
// Strict has no thread and gets none.
WaitBound sync_wait_bound(const SyncPolicy& policy, const PendingWork& work,
                          MonotonicClock::time_point now);

// The checkpoint thread's bound, as Batch's with every_ops and every_ms. Disabled gets none.
WaitBound checkpoint_wait_bound(const CheckpointPolicy& policy, const PendingWork& work,
                                MonotonicClock::time_point now);

}  // namespace tessaradb
