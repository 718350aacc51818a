#include "index/graph.hpp"

#include <deque>
#include <utility>

namespace tessaradb {

Result<GraphDepths, GraphError> GraphIndex::bfs_internal(const StateMachine& state_machine,
                                                         MemoryId start, std::uint64_t max_hops,
                                                         std::optional<std::string_view> ns) {
  if (max_hops == 0) return GraphError{GraphError::InvalidMaxHops{0}};
  const MemoryEntry* first = state_machine.get(start);
  if (first == nullptr) return GraphError{GraphError::MemoryNotFound{start}};
  GraphDepths depths;
  if (ns && first->namespace_ != *ns) return depths;

  depths.emplace(start, 0);
  std::deque<std::pair<MemoryId, std::uint64_t>> queue{{start, 0}};
  while (!queue.empty()) {
    const auto [id, depth] = queue.front();
    queue.pop_front();
    if (depth >= max_hops) continue;
    // Read the edge list in place: a walk touches only what it reaches.
    const StateMachine::EdgeListPtr* edges = state_machine.graph().find(id.value);
    // A target that is not a memory (possible without a namespace filter) is not expanded.
    if (edges == nullptr || *edges == nullptr || !state_machine.contains(id)) continue;
    for (const Edge& edge : **edges) {
      if (ns) {
        const MemoryEntry* target = state_machine.get(edge.to);
        if (target == nullptr || target->namespace_ != *ns) continue;
      }
      if (depths.emplace(edge.to, depth + 1).second) queue.emplace_back(edge.to, depth + 1);
    }
  }
  return depths;
}

}  // namespace tessaradb
