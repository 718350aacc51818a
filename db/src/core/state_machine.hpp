#pragma once

// StateMachine: the complete logical state of one database, changed only by applying commands in
// log order, so that replaying a log over a checkpointed state reproduces the state exactly.
//
// Copies are cheap: every map is a PersistentMap, so copying a StateMachine shares all of its
// contents and a later command copies only the few nodes it touches. The store publishes a copy
// after every write; that copy behaves exactly like a deep copy taken at that moment.
//
// No I/O, no locks. A StateMachine is a value: one thread may write it while others read copies.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/command.hpp"
#include "core/memory_entry.hpp"
#include "core/persistent_map.hpp"
#include "core/result.hpp"

namespace tessaradb {

struct StateMachineError {
  struct MemoryNotFound {
    MemoryId id;
  };
  struct CrossNamespaceEdge {
    MemoryId from;
    std::string from_namespace;
    MemoryId to;
    std::string to_namespace;
  };
  std::variant<MemoryNotFound, CrossNamespaceEdge> kind;

  // "Memory not found: MemoryId(9)" or
  // "Cross-namespace edge is not allowed: from=MemoryId(1) (a) to=MemoryId(2) (b)".
  std::string message() const;
};

class StateMachine {
 public:
  using EntryPtr = std::shared_ptr<const MemoryEntry>;
  using EdgeList = std::vector<Edge>;  // sorted by (to, relation), no two equal edges
  using EdgeListPtr = std::shared_ptr<const EdgeList>;
  // memories: id -> entry. graph: source id -> outgoing edges (an emptied list stays).
  // temporal_index: created_at -> ids with that creation time, ascending (an emptied set stays).
  using MemoryMap = PersistentMap<EntryPtr>;
  using GraphMap = PersistentMap<EdgeListPtr>;
  using TemporalIndex = PersistentMap<PersistentSet>;

  StateMachine() = default;  // an empty state

  // Builds a state from decoded maps (a checkpoint). The reverse-edge index is derived here.
  static StateMachine from_parts(MemoryMap memories, GraphMap graph, TemporalIndex temporal_index);

  // Inserts or replaces; never fails. A replaced memory keeps its edges, even when the new entry
  // has another namespace, and moves to the temporal list of its new created_at (dropping the
  // old key if that leaves it empty).
  void insert_memory(MemoryEntry entry);
  void insert_memory(EntryPtr entry);

  // Swaps the stored embedding of `id` for `embedding` when the two hold the same floats bit for
  // bit (typically the same values in storage shared with the vector index), so the state stops
  // holding a copy of its own. Nothing observable changes: no other field, no edge, no temporal
  // list. Costs one entry copy and the path to it, O(log n + dimension). Returns false and
  // changes nothing when `id` is absent or the values differ.
  bool share_embedding(MemoryId id, Embedding embedding);

  // Removes the memory, its outgoing list and every edge that points to it. Costs what the memory
  // touches (its edges and its temporal list), not the size of the state. Lists that the delete
  // empties stay in their maps. Fails with MemoryNotFound and changes nothing when absent.
  Result<void, StateMachineError> delete_memory(MemoryId id);

  // Adds from -> to with `relation`. Fails with MemoryNotFound (source checked first) or
  // CrossNamespaceEdge; an edge that already exists succeeds without change.
  Result<void, StateMachineError> add_edge(MemoryId from, MemoryId to, const std::string& relation);

  // Removes every edge from -> to, whatever its label. Never fails, checks no memory.
  void remove_edges(MemoryId from, MemoryId to);

  // The outgoing (target, relation) pairs of `id`, sorted; empty when it has none. Fails with
  // MemoryNotFound when the memory is absent.
  Result<std::vector<std::pair<MemoryId, std::string>>, StateMachineError> get_neighbors(
      MemoryId id) const;

  // Every entry, ascending by id. The pointers stay valid while this state (or any copy sharing
  // the entries) lives.
  std::vector<const MemoryEntry*> all_memories() const;

  // Dispatches one command to the operation above.
  Result<void, StateMachineError> apply_command(const Command& command);

  // Would `command` succeed? Checks exactly what apply_command would refuse, without changing
  // anything, so a caller can refuse a command before it reaches the log.
  Result<void, StateMachineError> check_command(const Command& command) const;

  // Read access.
  const MemoryEntry* get(MemoryId id) const {
    const EntryPtr* e = memories_.find(id.value);
    return e ? e->get() : nullptr;
  }
  EntryPtr get_shared(MemoryId id) const {
    const EntryPtr* e = memories_.find(id.value);
    return e ? *e : nullptr;
  }
  bool contains(MemoryId id) const { return memories_.contains(id.value); }
  std::size_t memory_count() const { return memories_.size(); }
  const MemoryMap& memories() const { return memories_; }
  const GraphMap& graph() const { return graph_; }
  const TemporalIndex& temporal_index() const { return temporal_index_; }

  // Same memories, graph and temporal index (memories compared with MemoryEntry equality, so a
  // state holding a NaN importance is unequal to itself).
  friend bool operator==(const StateMachine& a, const StateMachine& b);

 private:
  void add_incoming(MemoryId to, MemoryId from);
  void remove_incoming(MemoryId to, MemoryId from);

  MemoryMap memories_;
  GraphMap graph_;
  TemporalIndex temporal_index_;
  // Reverse-edge index: target -> sources with at least one edge to it. Lets a delete find its
  // incoming edges without visiting the whole graph.
  PersistentMap<PersistentSet> incoming_;
};

}  // namespace tessaradb
