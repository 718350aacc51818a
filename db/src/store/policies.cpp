#include "store/policies.hpp"

#include <limits>

namespace tessaradb {
namespace {

void mark_pending(PendingRuntime& runtime, std::uint64_t ops) {
  if (ops == 0) return;
  {
    std::scoped_lock lock(runtime.mutex);
    PendingWork& work = runtime.work;
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    work.pending_ops = ops > kMax - work.pending_ops ? kMax : work.pending_ops + ops;
    if (!work.pending_since) work.pending_since = MonotonicClock::now();
  }
  runtime.wake.notify_one();
}

void clear_pending(PendingRuntime& runtime) {
  std::scoped_lock lock(runtime.mutex);
  runtime.work.pending_ops = 0;
  runtime.work.pending_since.reset();
}

// Due now once `max_ops` are pending or `delay` has passed since the oldest; until then the
// remainder of the delay; without anything pending, until woken.
WaitBound count_or_delay_bound(std::uint64_t max_ops, std::uint64_t delay_ms,
                               const PendingWork& work, MonotonicClock::time_point now) {
  if (work.pending_ops >= at_least_one(max_ops)) return MonotonicClock::duration::zero();
  if (!work.pending_since) return std::nullopt;
  const MonotonicClock::duration delay = std::chrono::milliseconds(at_least_one(delay_ms));
  const MonotonicClock::duration elapsed = now - *work.pending_since;
  if (elapsed >= delay) return MonotonicClock::duration::zero();
  return delay - elapsed;
}

}  // namespace

void mark_pending_write(SyncRuntime& runtime, std::uint64_t ops) { mark_pending(runtime, ops); }

void mark_pending_checkpoint(CheckpointRuntime& runtime, const CheckpointPolicy& policy,
                             std::uint64_t ops) {
  if (policy.is_periodic()) mark_pending(runtime, ops);
}

void clear_pending_sync_state(SyncRuntime& runtime) { clear_pending(runtime); }

void clear_pending_checkpoint_state(CheckpointRuntime& runtime) { clear_pending(runtime); }

void request_shutdown(PendingRuntime& runtime) {
  {
    std::scoped_lock lock(runtime.mutex);
    runtime.work.shutdown = true;
  }
  runtime.wake.notify_all();
}

WaitBound sync_wait_bound(const SyncPolicy& policy, const PendingWork& work,
                          MonotonicClock::time_point now) {
  if (const auto* batch = std::get_if<SyncPolicy::Batch>(&policy.kind)) {
    return count_or_delay_bound(batch->max_ops, batch->max_delay_ms, work, now);
  }
  if (const auto* async = std::get_if<SyncPolicy::Async>(&policy.kind)) {
    return std::chrono::milliseconds(at_least_one(async->interval_ms));
  }
  return std::nullopt;
}

WaitBound checkpoint_wait_bound(const CheckpointPolicy& policy, const PendingWork& work,
                                MonotonicClock::time_point now) {
  const auto* periodic = std::get_if<CheckpointPolicy::Periodic>(&policy.kind);
  if (!periodic) return std::nullopt;
  return count_or_delay_bound(periodic->every_ops, periodic->every_ms, work, now);
}

}  // namespace tessaradb
