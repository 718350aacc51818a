#pragma once

// GraphIndex: which memories can be reached from one memory along at most `max_hops` outgoing
// edges. It keeps no data: it walks the edge lists of the state machine being queried, so it is
// a pure function of that (immutable) state and any number of walks may run at once.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "core/state_machine.hpp"
#include "index/errors.hpp"

namespace tessaradb {

// Memory -> number of edges on the shortest path from the start (the start itself has 0).
using GraphDepths = std::unordered_map<MemoryId, std::uint64_t>;

class GraphIndex {
 public:
  // Breadth-first walk from `start`, visiting neighbours in the state machine's edge order.
  // Errors: InvalidMaxHops(0) for max_hops 0 (checked first), MemoryNotFound(start) when start
  // is not a memory. With `ns`, a start of another namespace gives an empty map, and a target
  // is entered only when it is a memory of namespace `ns`. Without `ns`, targets are entered
  // unchecked; one that is not a memory is simply not expanded. Each memory is entered once, so
  // a walk costs one neighbour lookup per memory reached within max_hops edges.
  static Result<GraphDepths, GraphError> bfs_internal(const StateMachine& state_machine,
                                                      MemoryId start, std::uint64_t max_hops,
                                                      std::optional<std::string_view> ns);
};

}  // namespace tessaradb
