#include "engine/capacity.hpp"

#include <cmath>

#include "engine/engine.hpp"

namespace tessaradb::detail {

bool evicted_before(const EvictionKey& a, const EvictionKey& b) {
  if (a.created_at != b.created_at) return a.created_at < b.created_at;
  const bool a_nan = std::isnan(a.importance);
  const bool b_nan = std::isnan(b.importance);
  if (a_nan != b_nan) return a_nan;
  if (!a_nan && a.importance != b.importance) return a.importance < b.importance;
  return a.id < b.id;
}

CapacityTracker::CapacityTracker(const StateMachine& state) {
  state.memories().for_each([&](std::uint64_t, const StateMachine::EntryPtr& entry) {
    order_.insert(EvictionKey::of(*entry));
    bytes_ += memory_size(*entry);
  });
}

void CapacityTracker::on_insert(const MemoryEntry* replaced, const MemoryEntry& entry) {
  if (replaced) on_delete(*replaced);
  order_.insert(EvictionKey::of(entry));
  bytes_ += memory_size(entry);
}

void CapacityTracker::on_delete(const MemoryEntry& entry) {
  // The key is found by the same ordering it was inserted with, so a NaN importance still finds
  // its own node.
  order_.erase(EvictionKey::of(entry));
  bytes_ -= memory_size(entry);
}

std::optional<MemoryId> CapacityTracker::first() const {
  if (order_.empty()) return std::nullopt;
  return MemoryId{order_.begin()->id};
}

}  // namespace tessaradb::detail
