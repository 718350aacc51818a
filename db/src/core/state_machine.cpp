#include "core/state_machine.hpp"

#include <algorithm>
#include <type_traits>

namespace tessaradb {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

StateMachineError not_found(MemoryId id) {
  return StateMachineError{StateMachineError::MemoryNotFound{id}};
}

}  // namespace

std::string StateMachineError::message() const {
  return std::visit(
      Overloaded{
          [](const MemoryNotFound& e) { return "Memory not found: " + debug_string(e.id); },
          [](const CrossNamespaceEdge& e) {
            return "Cross-namespace edge is not allowed: from=" + debug_string(e.from) + " (" +
                   e.from_namespace + ") to=" + debug_string(e.to) + " (" + e.to_namespace + ")";
          },
      },
      kind);
}

StateMachine StateMachine::from_parts(MemoryMap memories, GraphMap graph,
                                      TemporalIndex temporal_index) {
  StateMachine state;
  state.memories_ = std::move(memories);
  state.graph_ = std::move(graph);
  state.temporal_index_ = std::move(temporal_index);
  state.graph_.for_each([&](std::uint64_t from, const EdgeListPtr& edges) {
    if (!edges) return;
    for (const Edge& edge : *edges) state.add_incoming(edge.to, MemoryId{from});
  });
  return state;
}

void StateMachine::insert_memory(MemoryEntry entry) {
  insert_memory(std::make_shared<const MemoryEntry>(std::move(entry)));
}

void StateMachine::insert_memory(EntryPtr entry) {
  const MemoryId id = entry->id;
  if (const EntryPtr* old = memories_.find(id.value)) {
    const std::uint64_t old_time = (*old)->created_at;
    if (PersistentSet* ids = temporal_index_.find_mut(old_time)) {
      ids->erase(id.value);
      if (ids->empty()) temporal_index_.erase(old_time);
    }
  }
  const std::uint64_t created_at = entry->created_at;
  memories_.insert_or_assign(id.value, std::move(entry));
  temporal_index_.get_or_insert(created_at).insert(id.value);
}

bool StateMachine::share_embedding(MemoryId id, Embedding embedding) {
  const EntryPtr* found = memories_.find(id.value);
  if (found == nullptr || !identical_bits((*found)->embedding, embedding)) return false;
  if ((*found)->embedding.shares_storage_with(embedding)) return true;
  MemoryEntry copy = **found;
  copy.embedding = std::move(embedding);
  *memories_.find_mut(id.value) = std::make_shared<const MemoryEntry>(std::move(copy));
  return true;
}

Result<void, StateMachineError> StateMachine::delete_memory(MemoryId id) {
  EntryPtr entry = get_shared(id);
  if (!entry) return not_found(id);
  memories_.erase(id.value);

  // Outgoing edges: drop the whole list and forget this source at each target.
  if (const EdgeListPtr* out = graph_.find(id.value)) {
    const EdgeListPtr edges = *out;
    for (const Edge& edge : *edges) {
      if (edge.to != id) remove_incoming(edge.to, id);
    }
    graph_.erase(id.value);
  }

  // Incoming edges: each source keeps its list, without the edges to `id`, even when emptied.
  if (const PersistentSet* sources = incoming_.find(id.value)) {
    const PersistentSet copy = *sources;
    copy.for_each([&](std::uint64_t from) {
      const EdgeListPtr* list = graph_.find(from);
      if (!list || !*list) return;
      auto kept = std::make_shared<EdgeList>();
      kept->reserve((*list)->size());
      for (const Edge& edge : **list) {
        if (edge.to != id) kept->push_back(edge);
      }
      graph_.insert_or_assign(from, std::move(kept));
    });
    incoming_.erase(id.value);
  }

  // A memory's id sits only in the temporal list of its own created_at; that list stays even
  // when this empties it.
  if (PersistentSet* ids = temporal_index_.find_mut(entry->created_at)) ids->erase(id.value);
  return {};
}

Result<void, StateMachineError> StateMachine::add_edge(MemoryId from, MemoryId to,
                                                       const std::string& relation) {
  if (auto checked = check_command(AddEdge{from, to, relation}); !checked) return checked;
  const EdgeListPtr* list = graph_.find(from.value);
  const Edge edge{to, relation};
  auto updated = std::make_shared<EdgeList>();
  if (list && *list) {
    const EdgeList& edges = **list;
    auto pos = std::lower_bound(edges.begin(), edges.end(), edge);
    if (pos != edges.end() && *pos == edge) return {};
    updated->reserve(edges.size() + 1);
    updated->assign(edges.begin(), pos);
    updated->push_back(edge);
    updated->insert(updated->end(), pos, edges.end());
  } else {
    updated->push_back(edge);
  }
  graph_.insert_or_assign(from.value, std::move(updated));
  add_incoming(to, from);
  return {};
}

void StateMachine::remove_edges(MemoryId from, MemoryId to) {
  const EdgeListPtr* list = graph_.find(from.value);
  if (!list || !*list) return;
  const EdgeList& edges = **list;
  if (std::none_of(edges.begin(), edges.end(), [&](const Edge& e) { return e.to == to; })) return;
  auto kept = std::make_shared<EdgeList>();
  for (const Edge& edge : edges) {
    if (edge.to != to) kept->push_back(edge);
  }
  graph_.insert_or_assign(from.value, std::move(kept));
  remove_incoming(to, from);
}

Result<std::vector<std::pair<MemoryId, std::string>>, StateMachineError>
StateMachine::get_neighbors(MemoryId id) const {
  if (!contains(id)) return not_found(id);
  std::vector<std::pair<MemoryId, std::string>> out;
  if (const EdgeListPtr* list = graph_.find(id.value); list && *list) {
    out.reserve((*list)->size());
    for (const Edge& edge : **list) out.emplace_back(edge.to, edge.relation);
  }
  return out;
}

std::vector<const MemoryEntry*> StateMachine::all_memories() const {
  std::vector<const MemoryEntry*> out;
  out.reserve(memories_.size());
  memories_.for_each([&](std::uint64_t, const EntryPtr& e) { out.push_back(e.get()); });
  return out;  // the trie walks keys in ascending order
}

Result<void, StateMachineError> StateMachine::apply_command(const Command& command) {
  return std::visit(
      Overloaded{
          [&](const InsertMemory& c) -> Result<void, StateMachineError> {
            insert_memory(c.entry);
            return {};
          },
          [&](const DeleteMemory& c) { return delete_memory(c.id); },
          [&](const AddEdge& c) { return add_edge(c.from, c.to, c.relation); },
          [&](const RemoveEdge& c) -> Result<void, StateMachineError> {
            remove_edges(c.from, c.to);
            return {};
          },
      },
      command);
}

Result<void, StateMachineError> StateMachine::check_command(const Command& command) const {
  if (const auto* del = std::get_if<DeleteMemory>(&command)) {
    if (!contains(del->id)) return not_found(del->id);
  } else if (const auto* edge = std::get_if<AddEdge>(&command)) {
    const MemoryEntry* from = get(edge->from);
    if (!from) return not_found(edge->from);
    const MemoryEntry* to = get(edge->to);
    if (!to) return not_found(edge->to);
    if (from->namespace_ != to->namespace_) {
      return StateMachineError{StateMachineError::CrossNamespaceEdge{
          edge->from, from->namespace_, edge->to, to->namespace_}};
    }
  }
  return {};
}

void StateMachine::add_incoming(MemoryId to, MemoryId from) {
  incoming_.get_or_insert(to.value).insert(from.value);
}

void StateMachine::remove_incoming(MemoryId to, MemoryId from) {
  if (PersistentSet* sources = incoming_.find_mut(to.value)) {
    sources->erase(from.value);
    if (sources->empty()) incoming_.erase(to.value);
  }
}

namespace {

template <typename V, typename Eq>
bool maps_equal(const PersistentMap<V>& a, const PersistentMap<V>& b, Eq eq) {
  if (a.size() != b.size()) return false;
  bool equal = true;
  a.for_each([&](std::uint64_t key, const V& value) {
    const V* other = b.find(key);
    equal = other && eq(value, *other);
    return equal;
  });
  return equal;
}

bool sets_equal(const PersistentSet& a, const PersistentSet& b) {
  if (a.size() != b.size()) return false;
  return a.for_each([&](std::uint64_t key) { return b.contains(key); });
}

}  // namespace

bool operator==(const StateMachine& a, const StateMachine& b) {
  using EntryPtr = StateMachine::EntryPtr;
  using EdgeListPtr = StateMachine::EdgeListPtr;
  return maps_equal(a.memories_, b.memories_,
                    [](const EntryPtr& x, const EntryPtr& y) { return *x == *y; }) &&
         maps_equal(a.graph_, b.graph_,
                    [](const EdgeListPtr& x, const EdgeListPtr& y) {
                      if (!x || !y) return !x && !y ? true : (x ? x->empty() : y->empty());
                      return *x == *y;
                    }) &&
         maps_equal(a.temporal_index_, b.temporal_index_, sets_equal);
}

}  // namespace tessaradb
