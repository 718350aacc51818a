#pragma once

// The bookkeeping behind capacity enforcement: how many memories there are, how large they are
// together (memory_size), and which one is evicted next.
//
// Eviction order: ascending created_at, then ascending importance, then ascending id. Importances
// are ordered as numbers (0.0 and -0.0 are equal and fall through to the id); a NaN importance
// is equal to every other NaN and comes before every number, so the order is a strict weak
// ordering whatever the importances hold. Where no NaN shares a created_at with a number this is
// exactly the order of a stable sort that counts incomparable importances as equal; where one
// does, such a sort has no single answer (its result depends on the algorithm), and NaN, as the
// least meaningful importance, goes first.
//
// Every command that changes the memories reports the change here, so nothing is ever
// re-measured: the counts are kept up to date in O(log n) per change.

#include <cstdint>
#include <optional>
#include <set>

#include "core/memory_entry.hpp"
#include "core/state_machine.hpp"

namespace tessaradb::detail {

// A memory's place in the eviction order.
struct EvictionKey {
  std::uint64_t created_at = 0;
  float importance = 0.0f;
  std::uint64_t id = 0;

  static EvictionKey of(const MemoryEntry& entry) {
    return EvictionKey{entry.created_at, entry.importance, entry.id.value};
  }
};

// True when `a` is evicted before `b`. A strict weak ordering, also with NaN importances.
bool evicted_before(const EvictionKey& a, const EvictionKey& b);

class CapacityTracker {
 public:
  // Measures `state` once: O(n log n).
  explicit CapacityTracker(const StateMachine& state);

  // `entry` was inserted; `replaced` is the memory with the same id it replaced, if any.
  void on_insert(const MemoryEntry* replaced, const MemoryEntry& entry);
  // `entry` was deleted.
  void on_delete(const MemoryEntry& entry);

  std::uint64_t entries() const { return order_.size(); }
  std::uint64_t bytes() const { return bytes_; }

  // The memory evicted next, or none when there are no memories.
  std::optional<MemoryId> first() const;

 private:
  struct Before {
    bool operator()(const EvictionKey& a, const EvictionKey& b) const {
      return evicted_before(a, b);
    }
  };
  std::set<EvictionKey, Before> order_;
  std::uint64_t bytes_ = 0;
};

}  // namespace tessaradb::detail
