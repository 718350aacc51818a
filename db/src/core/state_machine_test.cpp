#include "core/state_machine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tessaradb {
namespace {

MemoryEntry entry(std::uint64_t id, std::string ns = "default", std::uint64_t created_at = 100) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = std::move(ns);
  e.embedding = std::vector<float>{1.0f, 2.0f};
  e.created_at = created_at;
  return e;
}

std::vector<std::uint64_t> temporal_ids(const StateMachine& s, std::uint64_t key) {
  std::vector<std::uint64_t> out;
  const PersistentSet* ids = s.temporal_index().find(key);
  if (ids) ids->for_each([&](std::uint64_t id) { out.push_back(id); });
  return out;
}

std::vector<std::pair<MemoryId, std::string>> neighbors(const StateMachine& s, std::uint64_t id) {
  auto result = s.get_neighbors(MemoryId{id});
  EXPECT_TRUE(result) << result.error().message();
  return result ? *result : std::vector<std::pair<MemoryId, std::string>>{};
}

TEST(MemoryEntryEquality, FollowsTheFieldRules) {
  const MemoryEntry base = entry(1);
  MemoryEntry nan = base;
  nan.importance = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(nan == nan) << "a NaN importance is never equal, not even to itself";

  MemoryEntry zero = base, negative_zero = base;
  zero.embedding = std::vector<float>{0.0f};
  negative_zero.embedding = std::vector<float>{-0.0f};
  EXPECT_TRUE(zero == negative_zero);

  MemoryEntry absent = base, empty = base;
  absent.embedding.reset();
  empty.embedding = std::vector<float>{};
  EXPECT_FALSE(absent == empty);
  EXPECT_TRUE(absent == absent);

  MemoryEntry a = base, b = base;
  a.metadata.emplace("x", "1");
  a.metadata.emplace("y", "2");
  b.metadata.emplace("y", "2");
  b.metadata.emplace("x", "1");
  EXPECT_TRUE(a == b);

  MemoryEntry shorter = base;
  shorter.embedding = std::vector<float>{1.0f};
  EXPECT_FALSE(base == shorter);
  EXPECT_EQ(debug_string(MemoryId{7}), "MemoryId(7)");
}

TEST(EdgeOrdering, ByTargetThenRelationBytes) {
  EXPECT_LT((Edge{MemoryId{1}, "z"}), (Edge{MemoryId{2}, "a"}));
  EXPECT_LT((Edge{MemoryId{1}, "ab"}), (Edge{MemoryId{1}, "abc"}));
  EXPECT_LT((Edge{MemoryId{1}, "Z"}), (Edge{MemoryId{1}, "a"}));
  EXPECT_LT((Edge{MemoryId{1}, "a"}), (Edge{MemoryId{1}, "\xc3\xa9"})) << "bytes compare unsigned";
}

TEST(StateMachine, ErrorMessages) {
  StateMachine s;
  s.insert_memory(entry(1, "a"));
  s.insert_memory(entry(2, "b"));
  auto cross = s.add_edge(MemoryId{1}, MemoryId{2}, "rel");
  ASSERT_FALSE(cross);
  EXPECT_EQ(cross.error().message(),
            "Cross-namespace edge is not allowed: from=MemoryId(1) (a) to=MemoryId(2) (b)");
  auto missing = s.delete_memory(MemoryId{9});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "Memory not found: MemoryId(9)");
  auto both_missing = s.add_edge(MemoryId{5}, MemoryId{6}, "");
  ASSERT_FALSE(both_missing);
  EXPECT_EQ(both_missing.error().message(), "Memory not found: MemoryId(5)") << "source first";
  auto target_missing = s.add_edge(MemoryId{1}, MemoryId{6}, "");
  ASSERT_FALSE(target_missing);
  EXPECT_EQ(target_missing.error().message(), "Memory not found: MemoryId(6)");
  EXPECT_TRUE(s.graph().empty()) << "failed edges change nothing";
}

TEST(StateMachine, DuplicateAndMultiLabelEdges) {
  StateMachine s;
  for (std::uint64_t id : {1, 2, 3}) s.insert_memory(entry(id));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{3}, "b"));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{2}, "next"));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{3}, "a"));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{3}, "b"));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{1}, "self"));
  using P = std::pair<MemoryId, std::string>;
  EXPECT_EQ(neighbors(s, 1), (std::vector<P>{{MemoryId{1}, "self"}, {MemoryId{2}, "next"},
                                             {MemoryId{3}, "a"}, {MemoryId{3}, "b"}}));
  EXPECT_TRUE(neighbors(s, 2).empty()) << "no edges is an empty list, not an error";
  EXPECT_FALSE(s.get_neighbors(MemoryId{42}));
}

TEST(StateMachine, DeleteRemovesBothDirectionsAndKeepsEmptiedLists) {
  StateMachine s;
  for (std::uint64_t id : {1, 2, 3}) s.insert_memory(entry(id, "default", 100));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{2}, "to-b"));
  ASSERT_TRUE(s.add_edge(MemoryId{2}, MemoryId{3}, "to-c"));
  ASSERT_TRUE(s.add_edge(MemoryId{2}, MemoryId{2}, "loop"));
  ASSERT_TRUE(s.add_edge(MemoryId{3}, MemoryId{2}, "back"));
  ASSERT_TRUE(s.delete_memory(MemoryId{2}));

  EXPECT_FALSE(s.contains(MemoryId{2}));
  EXPECT_EQ(s.graph().find(2), nullptr) << "the outgoing list goes with the memory";
  ASSERT_NE(s.graph().find(1), nullptr) << "an emptied incoming list stays";
  EXPECT_TRUE((*s.graph().find(1))->empty());
  EXPECT_TRUE(neighbors(s, 3).empty());
  EXPECT_FALSE(s.get_neighbors(MemoryId{2}));
  EXPECT_EQ(temporal_ids(s, 100), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_FALSE(s.delete_memory(MemoryId{2})) << "deleting twice fails the second time";

  ASSERT_TRUE(s.delete_memory(MemoryId{1}));
  ASSERT_TRUE(s.delete_memory(MemoryId{3}));
  ASSERT_NE(s.temporal_index().find(100), nullptr) << "a list emptied by delete stays";
  EXPECT_TRUE(s.temporal_index().find(100)->empty());

  // Re-adding an edge to a deleted-and-reinserted id must not resurrect old edges.
  s.insert_memory(entry(2));
  s.insert_memory(entry(1));
  EXPECT_TRUE(neighbors(s, 2).empty());
}

TEST(StateMachine, ReinsertMovesTemporalKeyAndKeepsEdges) {
  StateMachine s;
  s.insert_memory(entry(1, "default", 100));
  s.insert_memory(entry(2, "default", 100));
  s.insert_memory(entry(3, "default", 200));
  ASSERT_TRUE(s.add_edge(MemoryId{3}, MemoryId{1}, "r"));
  s.insert_memory(entry(3, "other", 300));
  EXPECT_EQ(s.temporal_index().find(200), nullptr) << "an insert drops the key it empties";
  EXPECT_EQ(temporal_ids(s, 300), (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(neighbors(s, 3).size(), 1u) << "edges survive a namespace change on re-insert";
  s.insert_memory(entry(1, "default", 300));
  EXPECT_EQ(temporal_ids(s, 100), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(temporal_ids(s, 300), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(s.memory_count(), 3u);
}

TEST(StateMachine, RemoveEdgeIgnoresLabelsAndAbsentMemories) {
  StateMachine s;
  for (std::uint64_t id : {1, 2, 3}) s.insert_memory(entry(id));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{2}, "a"));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{2}, "b"));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{3}, "c"));
  EXPECT_TRUE(s.apply_command(RemoveEdge{MemoryId{1}, MemoryId{2}}));
  EXPECT_EQ(neighbors(s, 1).size(), 1u);
  const StateMachine before = s;
  EXPECT_TRUE(s.apply_command(RemoveEdge{MemoryId{9}, MemoryId{8}}));
  EXPECT_TRUE(s.apply_command(RemoveEdge{MemoryId{2}, MemoryId{1}}));
  EXPECT_TRUE(s == before);
  // Deleting 2 after its incoming edges were removed leaves 1's list alone.
  ASSERT_TRUE(s.delete_memory(MemoryId{2}));
  EXPECT_EQ(neighbors(s, 1).size(), 1u);
}

TEST(StateMachine, AllMemoriesAscending) {
  StateMachine s;
  EXPECT_TRUE(s.all_memories().empty());
  for (std::uint64_t id : {5ull, 1ull, 1ull << 40, 64ull, 63ull, 4096ull, ~0ull}) {
    s.insert_memory(entry(id));
  }
  auto all = s.all_memories();
  ASSERT_EQ(all.size(), 7u);
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1]->id, all[i]->id);
  EXPECT_EQ(all.back()->id, MemoryId{~0ull});
}

TEST(StateMachine, CopiesStayUnchangedWhenTheOriginalIsWritten) {
  StateMachine s;
  for (std::uint64_t id = 1; id <= 300; ++id) s.insert_memory(entry(id, "default", id % 7));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{2}, "x"));
  const StateMachine snapshot = s;
  const StateMachine deep_before = s;  // compared field by field below

  ASSERT_TRUE(s.delete_memory(MemoryId{2}));
  s.insert_memory(entry(1000, "default", 3));
  MemoryEntry changed = entry(5, "default", 6);
  changed.content = "new";
  s.insert_memory(changed);
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{3}, "y"));

  EXPECT_TRUE(snapshot == deep_before);
  EXPECT_TRUE(snapshot.contains(MemoryId{2}));
  EXPECT_FALSE(snapshot.contains(MemoryId{1000}));
  EXPECT_EQ(snapshot.get(MemoryId{5})->content, "");
  EXPECT_EQ(neighbors(snapshot, 1).size(), 1u);
  EXPECT_EQ(snapshot.memory_count(), 300u);
  EXPECT_FALSE(s == snapshot);
}

TEST(StateMachine, CheckCommandRefusesWhatApplyWouldRefuse) {
  StateMachine s;
  s.insert_memory(entry(1, "a"));
  s.insert_memory(entry(2, "b"));
  const Command commands[] = {DeleteMemory{MemoryId{7}}, AddEdge{MemoryId{1}, MemoryId{2}, "r"},
                              AddEdge{MemoryId{7}, MemoryId{1}, "r"}, InsertMemory{entry(3)},
                              RemoveEdge{MemoryId{7}, MemoryId{8}}, DeleteMemory{MemoryId{1}}};
  for (const Command& c : commands) {
    StateMachine copy = s;
    auto check = s.check_command(c);
    auto applied = copy.apply_command(c);
    EXPECT_EQ(check.has_value(), applied.has_value());
    if (!check) {
      EXPECT_EQ(check.error().message(), applied.error().message());
    }
  }
}

TEST(StateMachine, FromPartsRebuildsTheReverseIndex) {
  StateMachine s;
  for (std::uint64_t id : {1, 2, 3}) s.insert_memory(entry(id));
  ASSERT_TRUE(s.add_edge(MemoryId{1}, MemoryId{3}, "r"));
  ASSERT_TRUE(s.add_edge(MemoryId{2}, MemoryId{3}, "r"));
  StateMachine rebuilt = StateMachine::from_parts(s.memories(), s.graph(), s.temporal_index());
  ASSERT_TRUE(rebuilt.delete_memory(MemoryId{3}));
  EXPECT_TRUE(neighbors(rebuilt, 1).empty());
  EXPECT_TRUE(neighbors(rebuilt, 2).empty());
}

}  // namespace
}  // namespace tessaradb
