#include "core/embedding.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/state_machine.hpp"

namespace tessaradb {
namespace {

// Four rows of three floats interleaved like a tile of four lanes: element i of row r sits at
// [i * 4 + r]. Returns a view of row `r`.
Embedding interleaved_row(const std::shared_ptr<std::vector<float>>& tile, std::uint32_t r) {
  return Embedding::view(tile, tile->data() + r, 3, 4);
}

std::shared_ptr<std::vector<float>> tile_of_rows() {
  auto tile = std::make_shared<std::vector<float>>(12);
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t r = 0; r < 4; ++r) (*tile)[i * 4 + r] = static_cast<float>(10 * r + i);
  }
  return tile;
}

TEST(Embedding, StridedViewReadsItsRowEveryWay) {
  const auto tile = tile_of_rows();
  const Embedding row = interleaved_row(tile, 2);
  const std::vector<float> expected{20.0f, 21.0f, 22.0f};
  ASSERT_TRUE(row.has_value());
  EXPECT_FALSE(row.is_contiguous());
  EXPECT_TRUE(row.contiguous().empty());
  EXPECT_EQ(row.size(), 3u);
  EXPECT_EQ(row.to_vector(), expected);
  EXPECT_EQ(std::vector<float>(row.begin(), row.end()), expected);
  EXPECT_EQ(row.end() - row.begin(), 3);
  float out[3] = {};
  row.copy_to(out);
  EXPECT_EQ(std::vector<float>(out, out + 3), expected);
  EXPECT_TRUE(row == expected);
  EXPECT_TRUE(row == Embedding(expected)) << "a view equals an owned copy of its values";
  EXPECT_FALSE(row == interleaved_row(tile, 1));
}

TEST(Embedding, CopiesShareAndTheViewKeepsItsStorageAlive) {
  auto tile = tile_of_rows();
  const float* base = tile->data();
  Embedding row = interleaved_row(tile, 1);
  tile.reset();  // the view is now the storage's only owner
  const Embedding copy = row;
  row.reset();
  EXPECT_FALSE(row.has_value());
  EXPECT_EQ(copy.to_vector(), (std::vector<float>{10.0f, 11.0f, 12.0f}));
  EXPECT_TRUE(copy.shares_storage_with(Embedding::view(nullptr, base + 1, 3, 4)));
  EXPECT_FALSE(copy.shares_storage_with(Embedding(copy.to_vector())));
}

TEST(Embedding, AbsentEmptyAndNumericEquality) {
  const Embedding absent;
  const Embedding empty(std::vector<float>{});
  EXPECT_FALSE(absent.has_value());
  EXPECT_TRUE(empty.has_value());
  EXPECT_TRUE(empty.is_contiguous());
  EXPECT_FALSE(absent == empty);
  EXPECT_TRUE(absent == Embedding(std::nullopt));
  EXPECT_TRUE(empty == Embedding::copy_of({}));
  EXPECT_FALSE(absent == std::vector<float>{}) << "absent never equals a vector";

  const Embedding zero(std::vector<float>{0.0f}), negative_zero(std::vector<float>{-0.0f});
  const Embedding nan(std::vector<float>{NAN});
  EXPECT_TRUE(zero == negative_zero);
  EXPECT_FALSE(identical_bits(zero, negative_zero));
  EXPECT_FALSE(nan == nan);
  EXPECT_TRUE(identical_bits(nan, nan));
  EXPECT_FALSE(identical_bits(absent, empty));
}

TEST(StateMachineShareEmbedding, SwapsOnlyForTheSameBitsAndChangesNothingVisible) {
  StateMachine state;
  MemoryEntry e;
  e.id = MemoryId{1};
  e.namespace_ = "n";
  e.content = "c";
  e.embedding = std::vector<float>{10.0f, 11.0f, 12.0f};
  e.created_at = 5;
  state.insert_memory(e);
  MemoryEntry other = e;
  other.id = MemoryId{2};
  state.insert_memory(other);
  ASSERT_TRUE(state.add_edge(MemoryId{1}, MemoryId{2}, "r"));
  const StateMachine before = state;

  const auto tile = tile_of_rows();
  EXPECT_FALSE(state.share_embedding(MemoryId{1}, interleaved_row(tile, 2))) << "other values";
  EXPECT_FALSE(state.share_embedding(MemoryId{9}, interleaved_row(tile, 1))) << "absent id";
  EXPECT_FALSE(state.share_embedding(MemoryId{1}, Embedding()));
  EXPECT_EQ(state.get(MemoryId{1}), before.get(MemoryId{1})) << "a refusal copies nothing";

  ASSERT_TRUE(state.share_embedding(MemoryId{1}, interleaved_row(tile, 1)));
  EXPECT_TRUE(state.get(MemoryId{1})->embedding.shares_storage_with(interleaved_row(tile, 1)));
  EXPECT_TRUE(state == before);
  EXPECT_EQ(state.graph().find(1), before.graph().find(1)) << "the graph is not touched";
  // The copy taken before keeps its own entry.
  EXPECT_TRUE(before.get(MemoryId{1})->embedding.is_contiguous());
}

}  // namespace
}  // namespace tessaradb
