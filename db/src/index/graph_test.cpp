#include "index/graph.hpp"

#include <gtest/gtest.h>

#include <map>

namespace tessaradb {
namespace {

MemoryEntry memory(std::uint64_t id, std::string ns = "n") {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = std::move(ns);
  return e;
}

std::map<std::uint64_t, std::uint64_t> sorted(const GraphDepths& depths) {
  std::map<std::uint64_t, std::uint64_t> out;
  for (const auto& [id, depth] : depths) out[id.value] = depth;
  return out;
}

// 1 -> 2 -> 3 -> 4, 2 -> 1 (cycle), 1 -> 5 twice (two relations), 6 alone,
// 7 and 8 in namespace "other" with 7 -> 8.
StateMachine sample_state() {
  StateMachine state;
  for (std::uint64_t id = 1; id <= 6; ++id) state.insert_memory(memory(id));
  state.insert_memory(memory(7, "other"));
  state.insert_memory(memory(8, "other"));
  for (auto [from, to, relation] : std::vector<std::tuple<int, int, std::string>>{{1, 2, "next"},
                                                                                  {2, 3, "next"},
                                                                                  {3, 4, "next"},
                                                                                  {2, 1, "back"},
                                                                                  {1, 5, "likes"},
                                                                                  {1, 5, "knows"},
                                                                                  {7, 8, "next"}}) {
    EXPECT_TRUE(state.add_edge(MemoryId(from), MemoryId(to), relation));
  }
  return state;
}

TEST(GraphIndex, BreadthFirstDepths) {
  const StateMachine state = sample_state();
  struct Case {
    const char* name;
    std::uint64_t start;
    std::uint64_t max_hops;
    std::optional<std::string> ns;
    std::map<std::uint64_t, std::uint64_t> want;
  };
  const std::vector<Case> cases = {
      {"one hop, cycle and double edge", 1, 1, std::nullopt, {{1, 0}, {2, 1}, {5, 1}}},
      {"two hops", 1, 2, std::nullopt, {{1, 0}, {2, 1}, {5, 1}, {3, 2}}},
      {"far enough", 1, 10, std::nullopt, {{1, 0}, {2, 1}, {5, 1}, {3, 2}, {4, 3}}},
      {"cycle back to start", 2, 2, std::nullopt, {{2, 0}, {3, 1}, {1, 1}, {4, 2}, {5, 2}}},
      {"no outgoing edges", 6, 3, std::nullopt, {{6, 0}}},
      {"namespace of the start", 7, 2, "other", {{7, 0}, {8, 1}}},
      {"start in another namespace", 1, 2, "other", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto depths = GraphIndex::bfs_internal(state, MemoryId{c.start}, c.max_hops, c.ns);
    ASSERT_TRUE(depths);
    EXPECT_EQ(sorted(*depths), c.want);
  }
}

TEST(GraphIndex, NamespaceFilterSkipsOtherTargets) {
  StateMachine state;
  state.insert_memory(memory(1, "a"));
  state.insert_memory(memory(2, "a"));
  ASSERT_TRUE(state.add_edge(MemoryId{1}, MemoryId{2}, "r"));
  // The state keeps edges of a memory that later moved to another namespace.
  state.insert_memory(memory(2, "b"));
  auto filtered = GraphIndex::bfs_internal(state, MemoryId{1}, 3, "a");
  ASSERT_TRUE(filtered);
  EXPECT_EQ(sorted(*filtered), (std::map<std::uint64_t, std::uint64_t>{{1, 0}}));
  auto unfiltered = GraphIndex::bfs_internal(state, MemoryId{1}, 3, std::nullopt);
  ASSERT_TRUE(unfiltered);
  EXPECT_EQ(sorted(*unfiltered), (std::map<std::uint64_t, std::uint64_t>{{1, 0}, {2, 1}}));
}

TEST(GraphIndex, Errors) {
  const StateMachine state = sample_state();
  auto zero = GraphIndex::bfs_internal(state, MemoryId{99}, 0, std::nullopt);
  ASSERT_FALSE(zero);  // max_hops is checked before the start
  EXPECT_EQ(zero.error().message(), "Invalid max_hops: 0");
  auto unknown = GraphIndex::bfs_internal(state, MemoryId{99}, 1, std::nullopt);
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().message(), "Memory not found: MemoryId(99)");
}

}  // namespace
}  // namespace tessaradb
