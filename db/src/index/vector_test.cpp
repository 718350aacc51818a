#include "index/vector.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "index/combined.hpp"
#include "index/exact_scan.hpp"
#include "testing/index_vectors.hpp"

namespace tessaradb {
namespace {

using testing::float_bits;
using testing::random_vector;
using testing::reference_cosine;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<MemoryId> ids_of(const SearchHits& hits) {
  std::vector<MemoryId> out;
  for (const auto& [id, score] : hits) out.push_back(id);
  return out;
}

template <typename R>
const VectorError& error_of(const R& result) {
  EXPECT_FALSE(result.has_value());
  return result.error();
}

// A small model of what the index should hold: id -> (namespace, vector).
struct Model {
  std::map<std::uint64_t, std::pair<std::string, std::vector<float>>> rows;

  // Expected score of every id in scope, by the reference loop.
  std::map<std::uint64_t, float> scores(std::span<const float> q,
                                        std::optional<std::string> ns = std::nullopt) const {
    std::map<std::uint64_t, float> out;
    for (const auto& [id, row] : rows) {
      if (!ns || row.first == *ns) out[id] = reference_cosine(q, row.second);
    }
    return out;
  }
};

// Every hit carries exactly the reference bits, each expected id appears once, and the list is
// ordered by score (NaN last).
void expect_matches_reference(const SearchHits& hits, const std::map<std::uint64_t, float>& want,
                              std::size_t top_k) {
  ASSERT_EQ(hits.size(), std::min(top_k, want.size()));
  std::set<std::uint64_t> seen;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const auto [id, score] = hits[i];
    ASSERT_TRUE(want.count(id.value)) << id.value;
    EXPECT_EQ(float_bits(score), float_bits(want.at(id.value))) << "id " << id.value;
    EXPECT_TRUE(seen.insert(id.value).second);
    if (i > 0) {
      const float prev = hits[i - 1].second;
      EXPECT_TRUE(std::isnan(score) || (!std::isnan(prev) && prev >= score)) << i;
    }
  }
  // Cut to top_k: nothing left out scores better than the last kept hit.
  if (!hits.empty() && !std::isnan(hits.back().second)) {
    for (const auto& [id, score] : want) {
      if (!seen.count(id)) {
        EXPECT_FALSE(score > hits.back().second) << id;
      }
    }
  }
}

// search_in_ids and rerank_exact over every third id (unknown and removed ones included) give
// the reference bits.
void expect_lookups_match_reference(const VectorIndex& index, const Model& model,
                                    const std::vector<float>& q) {
  std::unordered_set<MemoryId> some;
  std::vector<MemoryId> listed;
  for (std::uint64_t id = 0; id < 320; id += 3) {
    some.insert(MemoryId{id});
    listed.push_back(MemoryId{id});
  }
  std::map<std::uint64_t, float> want;
  for (const auto& [id, score] : model.scores(q)) {
    if (id % 3 == 0) want[id] = score;
  }
  auto in_ids = index.search_in_ids(q, some, 1000);
  auto reranked = index.rerank_exact(q, listed, 1000);
  ASSERT_TRUE(in_ids && reranked);
  expect_matches_reference(*in_ids, want, 1000);
  expect_matches_reference(*reranked, want, 1000);
}

// ---- Scores ----------------------------------------------------------------------------

// The SIMD tile kernel, the parallel pool, lookups by id and reranking must all give the
// reference loop's bits, for dimensions below, at and across the lane width, with rows spread
// over several blocks, some of them dead or replaced (at 2048 dimensions the later blocks are
// large enough to be mapped on their own).
TEST(VectorIndexScores, BitIdenticalToScalarReferenceOnEveryPath) {
  std::mt19937 rng{12345};
  for (const std::size_t dimension : {1u, 3u, 7u, 8u, 9u, 17u, 64u, 100u, 384u, 2048u}) {
    SCOPED_TRACE(dimension);
    VectorIndex index(dimension);
    Model model;
    for (std::uint64_t id = 0; id < 300; ++id) {
      const std::string ns = id % 3 == 0 ? "a" : "b";
      auto v = random_vector(rng, dimension);
      if (id % 37 == 5) std::fill(v.begin(), v.end(), 0.0f);  // scores 0.0 among full tiles
      model.rows[id] = {ns, v};
      ASSERT_TRUE(index.index_in_namespace(ns, MemoryId{id}, v));
    }
    for (std::uint64_t id = 0; id < 300; id += 7) {  // deletions
      ASSERT_TRUE(index.remove(MemoryId{id}));
      model.rows.erase(id);
    }
    for (std::uint64_t id = 1; id < 300; id += 11) {  // replacements, some across namespaces
      if (!model.rows.count(id)) continue;
      auto v = random_vector(rng, dimension);
      model.rows[id] = {"a", v};
      ASSERT_TRUE(index.index_in_namespace("a", MemoryId{id}, v));
    }
    ASSERT_EQ(index.len(), model.rows.size());

    const auto q = random_vector(rng, dimension);
    for (const std::size_t top_k : {std::size_t{1}, std::size_t{10}, std::size_t{1000}}) {
      SCOPED_TRACE(top_k);
      auto sequential = index.search_scoped(q, top_k, std::nullopt, false, 1);
      auto parallel = index.search_scoped(q, top_k, std::nullopt, true, 1);
      ASSERT_TRUE(sequential && parallel);
      expect_matches_reference(*sequential, model.scores(q), top_k);
      EXPECT_EQ(*sequential, *parallel);  // same hits in the same order, ties included

      auto scoped = index.search_scoped(q, top_k, "a", true, 1);
      ASSERT_TRUE(scoped);
      expect_matches_reference(*scoped, model.scores(q, "a"), top_k);
    }

    expect_lookups_match_reference(index, model, q);
  }
}

// Lookups by id read the graph's copies of the rows while the graph holds exactly the index's
// vectors, and the tiles otherwise: both give the reference bits.
TEST(VectorIndexScores, LookupsThroughTheGraphAreBitIdenticalToScalarReference) {
  std::mt19937 rng{2468};
  for (const std::size_t dimension : {1u, 7u, 8u, 9u, 17u, 384u}) {
    SCOPED_TRACE(dimension);
    auto index = *VectorIndex::new_with_loaded_hnsw(dimension, HnswConfig{}, nullptr);
    Model model;
    for (std::uint64_t id = 0; id < 100; ++id) {
      auto v = random_vector(rng, dimension);
      model.rows[id] = {"a", v};
      ASSERT_TRUE(index.index_in_namespace("a", MemoryId{id}, v));
    }
    for (std::uint64_t id = 0; id < 100; id += 9) {
      ASSERT_TRUE(index.remove(MemoryId{id}));
      model.rows.erase(id);
    }
    expect_lookups_match_reference(index, model, random_vector(rng, dimension));

    // A copy taken now goes on scoring its own vectors after the writer replaces them in the
    // shared graph.
    const VectorIndex before = index;
    const Model model_before = model;
    for (std::uint64_t id = 3; id < 100; id += 6) {  // ids the lookups below score
      if (!model.rows.count(id)) continue;
      auto v = random_vector(rng, dimension);
      model.rows[id] = {"a", v};
      ASSERT_TRUE(index.index_in_namespace("a", MemoryId{id}, v));
    }
    const auto q = random_vector(rng, dimension);
    expect_lookups_match_reference(before, model_before, q);
    expect_lookups_match_reference(index, model, q);
  }
}

// The kernels against the scalar element-order loop, for row counts around the lane width and
// dimensions around the transpose width.
TEST(VectorIndexScores, KernelsMatchTheScalarLoop) {
  std::mt19937 rng{99};
  for (const std::size_t dimension : {1u, 5u, 8u, 13u, 16u, 385u}) {
    for (const std::size_t count : {1u, 7u, 8u, 9u, 17u}) {
      SCOPED_TRACE(std::to_string(dimension) + "x" + std::to_string(count));
      const auto q = random_vector(rng, dimension);
      std::vector<float> rows;
      std::vector<float> want;
      for (std::size_t r = 0; r < count; ++r) {
        const auto v = random_vector(rng, dimension);
        rows.insert(rows.end(), v.begin(), v.end());
        float dot = 0.0f;
        for (std::size_t i = 0; i < dimension; ++i) dot += q[i] * v[i];
        want.push_back(dot);
      }
      std::vector<float> got(count);
      detail::dot_rows(q.data(), rows.data(), dimension, count, got.data());
      // The same rows as tiles: lane r % 8 of tile r / 8.
      const std::size_t tile_count = (count + detail::kTileRows - 1) / detail::kTileRows;
      std::vector<float> tiled(tile_count * dimension * detail::kTileRows, 0.0f);
      std::vector<const float*> tiles;
      for (std::size_t t = 0; t < tile_count; ++t) {
        tiles.push_back(tiled.data() + t * dimension * detail::kTileRows);
      }
      for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t i = 0; i < dimension; ++i) {
          tiled[((r / detail::kTileRows) * dimension + i) * detail::kTileRows +
                r % detail::kTileRows] = rows[r * dimension + i];
        }
      }
      std::vector<float> from_tiles(tile_count * detail::kTileRows);
      detail::dot_tile_list(q.data(), tiles.data(), dimension, tile_count, from_tiles.data());
      for (std::size_t r = 0; r < count; ++r) {
        EXPECT_EQ(float_bits(got[r]), float_bits(want[r])) << "row " << r;
        EXPECT_EQ(float_bits(from_tiles[r]), float_bits(want[r])) << "tile row " << r;
      }
    }
  }
}

TEST(VectorIndexScores, LargeParallelScanEqualsSequential) {
  std::mt19937 rng{7};
  constexpr std::size_t kDimension = 37;
  VectorIndex index(kDimension);
  for (std::uint64_t id = 0; id < 20000; ++id) {
    ASSERT_TRUE(
        index.index_in_namespace(id % 2 ? "x" : "y", MemoryId{id}, random_vector(rng, kDimension)));
  }
  // Duplicated vectors produce equal scores: ties must resolve the same way on both paths.
  const auto dup = random_vector(rng, kDimension);
  for (std::uint64_t id = 30000; id < 30050; ++id) {
    ASSERT_TRUE(index.index_in_namespace("x", MemoryId{id}, dup));
  }
  for (const auto& q : {random_vector(rng, kDimension), dup}) {
    auto sequential = index.search_scoped(q, 500, std::nullopt, false, 1);
    auto parallel = index.search_scoped(q, 500, std::nullopt, true, 1);
    ASSERT_TRUE(sequential && parallel);
    EXPECT_EQ(*sequential, *parallel);
  }
}

TEST(VectorIndexScores, ZeroStoredVectorScoresZeroAndIsReturned) {
  VectorIndex index(3);
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{1}, {0, 0, 0}));
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{2}, {1, 0, 0}));
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{3}, {-1, 0, 0}));
  auto hits = index.search_scoped(std::vector<float>{2, 0, 0}, 10, std::nullopt, false, 1);
  ASSERT_TRUE(hits);
  const SearchHits want{{MemoryId{2}, 1.0f}, {MemoryId{1}, 0.0f}, {MemoryId{3}, -1.0f}};
  EXPECT_EQ(*hits, want);
}

TEST(VectorIndexScores, NaNScoresSortLastAndDeterministically) {
  VectorIndex index(2);
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{1}, {kNaN, 1}));
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{2}, {1, 0}));
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{3}, {kNaN, 0}));
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{4}, {0, 1}));
  for (const bool parallel : {false, true}) {
    auto hits = index.search_scoped(std::vector<float>{1, 1}, 4, std::nullopt, parallel, 1);
    ASSERT_TRUE(hits);
    EXPECT_EQ(ids_of(*hits),
              (std::vector<MemoryId>{MemoryId{2}, MemoryId{4}, MemoryId{1}, MemoryId{3}}));
    EXPECT_TRUE(std::isnan((*hits)[2].second) && std::isnan((*hits)[3].second));
  }
  // A NaN in the query makes every score NaN; insertion order decides.
  auto all_nan = index.search_scoped(std::vector<float>{kNaN, 1}, 2, std::nullopt, false, 1);
  ASSERT_TRUE(all_nan);
  EXPECT_EQ(ids_of(*all_nan), (std::vector<MemoryId>{MemoryId{1}, MemoryId{2}}));
}

// The collector keeps exactly the first k of a full sort under ranks_before, whatever k is
// against the number offered, with many ties and NaN scores, alone or as two collectors sharing
// a floor and then merged (as a parallel scan uses them), in seq order or not.
TEST(VectorIndexScores, TopKKeepsExactlyTheBestOfAFullSort) {
  std::mt19937 rng{99};
  std::vector<detail::Ranked> offered;
  for (std::uint64_t seq = 0; seq < 3000; ++seq) {
    const int draw = static_cast<int>(rng() % 60);  // few distinct scores: many ties
    const float score = draw == 0 ? kNaN : static_cast<float>(draw % 40) / 8.0f;
    offered.push_back(detail::Ranked{score, seq, MemoryId{seq * 7 + 1}});
  }
  const std::vector<detail::Ranked> reversed(offered.rbegin(), offered.rend());
  std::vector<detail::Ranked> sorted = offered;
  std::sort(sorted.begin(), sorted.end(), detail::ranks_before);
  auto same = [](const std::vector<detail::Ranked>& got, const std::vector<detail::Ranked>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].seq, want[i].seq) << i;
      EXPECT_EQ(got[i].id, want[i].id) << i;
    }
  };
  for (const std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{100},
                              std::size_t{2999}, std::size_t{3000}, std::size_t{5000}}) {
    SCOPED_TRACE(k);
    const std::vector<detail::Ranked> want(sorted.begin(),
                                           sorted.begin() + std::min(k, sorted.size()));
    detail::TopK alone(k, offered.size());
    for (const auto& r : offered) alone.offer(r);
    same(alone.take_sorted_ranked(), want);
    detail::TopK shuffled(k, offered.size());  // out of seq order, ties must still go by seq
    for (const auto& r : reversed) shuffled.offer(r);
    same(shuffled.take_sorted_ranked(), want);

    std::atomic<float> floor{-std::numeric_limits<float>::infinity()};
    detail::TopK first(k, offered.size()), second(k, offered.size());
    first.share_floor(&floor);
    second.share_floor(&floor);
    for (std::size_t i = 0; i < offered.size(); ++i) (i < 1000 ? first : second).offer(offered[i]);
    detail::TopK merged(k, offered.size());
    merged.merge(first);
    merged.merge(second);
    same(merged.take_sorted_ranked(), want);
  }
}

// ---- Errors and edge cases ---------------------------------------------------------------

TEST(VectorIndexErrors, ChecksComeInOrderWithTheirTexts) {
  VectorIndex empty(4);
  const std::vector<float> q{1, 2, 3, 4};
  struct Case {
    const char* name;
    const VectorIndex* index;
    std::vector<float> query;
    std::size_t top_k;
    std::optional<std::string> ns;
    std::string text;
  };
  VectorIndex full(4);
  ASSERT_TRUE(full.index_in_namespace("n", MemoryId{1}, {1, 0, 0, 0}));
  const std::vector<Case> cases = {
      {"empty query first", &empty, {}, 0, std::nullopt, "Empty query vector"},
      {"dimension before emptiness",
       &empty,
       {1, 2, 3},
       0,
       std::nullopt,
       "Dimension mismatch: expected 4, got 3"},
      {"empty index", &empty, q, 0, std::nullopt, "No embeddings indexed"},
      {"empty index with namespace", &empty, q, 5, "n", "No embeddings indexed"},
      {"top_k zero", &full, q, 0, std::nullopt, "Invalid top_k: 0"},
      {"zero query", &full, {0, 0, 0, 0}, 3, std::nullopt, "Zero vector provided (magnitude is 0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto hits = c.index->search_scoped(c.query, c.top_k, c.ns, false, 1);
    EXPECT_EQ(error_of(hits).message(), c.text);
  }
  EXPECT_EQ(error_of(full.search_in_ids(q, {}, 0)).message(), "Invalid top_k: 0");
  auto none = full.search_in_ids(q, {}, 3);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(error_of(full.search_in_ids(std::vector<float>(4, 0.0f), {MemoryId{1}}, 3)).message(),
            "Zero vector provided (magnitude is 0)");
  EXPECT_EQ(error_of(full.rerank_exact({}, std::vector<MemoryId>{MemoryId{1}}, 3)).message(),
            "Zero vector provided (magnitude is 0)");
}

TEST(VectorIndexErrors, DimensionMismatchLeavesIndexUnchanged) {
  VectorIndex index(4);
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{1}, {1, 2, 3, 4}));
  auto refused = index.index_in_namespace("m", MemoryId{1}, {1, 2, 3});
  const auto& mismatch = std::get<VectorError::DimensionMismatch>(error_of(refused).kind);
  EXPECT_EQ(mismatch.expected, 4u);
  EXPECT_EQ(mismatch.actual, 3u);
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(index.namespace_of(MemoryId{1}), "n");
  EXPECT_EQ(index.vector_of(MemoryId{1}), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_FALSE(index.has_partition("m"));
}

TEST(VectorIndexNamespaces, MoveKeepsOldPartitionEmptyAndRemoveDropsIt) {
  VectorIndex index(2);
  ASSERT_TRUE(index.index_in_namespace("old", MemoryId{1}, {1, 0}));
  ASSERT_TRUE(index.index_in_namespace("new", MemoryId{2}, {0, 1}));
  ASSERT_TRUE(index.index_in_namespace("new", MemoryId{1}, {1, 1}));  // moves 1
  EXPECT_EQ(index.len(), 2u);
  EXPECT_TRUE(index.has_partition("old"));
  EXPECT_EQ(index.partition_len("old"), 0u);
  const std::vector<float> q{1, 0};
  auto old_scope = index.search_scoped(q, 5, "old", false, 1);
  ASSERT_TRUE(old_scope);
  EXPECT_TRUE(old_scope->empty());
  auto absent_scope = index.search_scoped(q, 5, "never", false, 1);
  ASSERT_TRUE(absent_scope);
  EXPECT_TRUE(absent_scope->empty());
  auto new_scope = index.search_scoped(q, 5, "new", false, 1);
  ASSERT_TRUE(new_scope);
  EXPECT_EQ(ids_of(*new_scope), (std::vector<MemoryId>{MemoryId{1}, MemoryId{2}}));

  ASSERT_TRUE(index.remove(MemoryId{42}));  // unknown: fine
  ASSERT_TRUE(index.remove(MemoryId{1}));
  EXPECT_TRUE(index.has_partition("new"));
  ASSERT_TRUE(index.remove(MemoryId{2}));
  EXPECT_FALSE(index.has_partition("new"));
  EXPECT_FALSE(index.has(MemoryId{2}));
  EXPECT_EQ(index.len(), 0u);
  // The namespace can come back after it was dropped.
  ASSERT_TRUE(index.index_in_namespace("new", MemoryId{3}, {1, 0}));
  auto back = index.search_scoped(q, 5, "new", false, 1);
  ASSERT_TRUE(back);
  EXPECT_EQ(ids_of(*back), (std::vector<MemoryId>{MemoryId{3}}));
}

// ---- Copies -------------------------------------------------------------------------------

// A copy must behave like a deep copy taken at that moment, whatever either side does later:
// appends into the block they share, removals, replacements, the rebuild that reclaims dead
// rows, and writes to both sides (which must not append into the same row).
TEST(VectorIndexCopies, BehaveLikeDeepCopies) {
  std::mt19937 rng{99};
  constexpr std::size_t kDimension = 16;
  VectorIndex writer(kDimension);
  Model model;
  for (std::uint64_t id = 0; id < 100; ++id) {
    auto v = random_vector(rng, kDimension);
    model.rows[id] = {"n", v};
    ASSERT_TRUE(writer.index_in_namespace("n", MemoryId{id}, v));
  }
  const VectorIndex snapshot = writer;
  const Model snapshot_model = model;
  VectorIndex sibling = writer;
  Model sibling_model = model;

  for (std::uint64_t id = 100; id < 140; ++id) {  // both sides append after the shared rows
    auto v = random_vector(rng, kDimension);
    model.rows[id] = {"n", v};
    ASSERT_TRUE(writer.index_in_namespace("n", MemoryId{id}, v));
    auto w = random_vector(rng, kDimension);
    sibling_model.rows[id] = {"n", w};
    ASSERT_TRUE(sibling.index_in_namespace("n", MemoryId{id}, w));
  }
  for (std::uint64_t id = 0; id < 90; ++id) {  // enough removals to trigger a rebuild
    ASSERT_TRUE(writer.remove(MemoryId{id}));
    model.rows.erase(id);
  }
  auto v = random_vector(rng, kDimension);
  model.rows[95] = {"m", v};
  ASSERT_TRUE(writer.index_in_namespace("m", MemoryId{95}, v));

  const auto q = random_vector(rng, kDimension);
  struct Side {
    const VectorIndex* index;
    const Model* model;
  };
  for (const Side& side :
       {Side{&writer, &model}, Side{&snapshot, &snapshot_model}, Side{&sibling, &sibling_model}}) {
    ASSERT_EQ(side.index->len(), side.model->rows.size());
    auto hits = side.index->search_scoped(q, 1000, std::nullopt, false, 1);
    ASSERT_TRUE(hits);
    expect_matches_reference(*hits, side.model->scores(q), 1000);
    for (const auto& [id, row] : side.model->rows) {
      EXPECT_EQ(side.index->vector_of(MemoryId{id}), row.second);
      EXPECT_EQ(side.index->namespace_of(MemoryId{id}), row.first);
    }
  }
}

// A row view reads the stored vector, and keeps reading it after the index replaced the id,
// rebuilt the partition (which reports the moved ids) and was destroyed.
TEST(VectorIndexRowViews, OutliveReplacementRebuildAndTheIndex) {
  std::mt19937 rng(11);
  std::vector<std::vector<float>> vectors;
  for (std::uint64_t id = 0; id < 20; ++id) vectors.push_back(random_vector(rng, 12));
  std::vector<Embedding> views;
  std::vector<MemoryId> moved;
  {
    VectorIndex index(12);
    EXPECT_FALSE(index.row_view(MemoryId{0}).has_value());
    for (std::uint64_t id = 0; id < 20; ++id) {
      ASSERT_TRUE(index.index_in_namespace("ns", MemoryId{id}, vectors[id]));
      views.push_back(index.row_view(MemoryId{id}));
      EXPECT_EQ(views.back(), vectors[id]) << id;
    }
    EXPECT_TRUE(index.take_moved_ids().empty());
    // Replacing id 0 over and over leaves dead rows until the partition is rebuilt.
    for (int round = 0; round < 40; ++round) {
      ASSERT_TRUE(index.index_in_namespace("ns", MemoryId{0}, random_vector(rng, 12)));
    }
    moved = index.take_moved_ids();
    EXPECT_TRUE(index.take_moved_ids().empty()) << "taking clears the list";
    EXPECT_FALSE(index.row_view(MemoryId{5}).shares_storage_with(views[5])) << "5 moved";
    EXPECT_EQ(index.row_view(MemoryId{5}), vectors[5]);
    // An Embedding of strided floats is indexed like its values.
    ASSERT_TRUE(index.index_in_namespace("ns", MemoryId{21}, views[7]));
    EXPECT_EQ(index.vector_of(MemoryId{21}), vectors[7]);
    EXPECT_TRUE(index.index_in_namespace("ns", MemoryId{22}, Embedding()).error().message().size());
  }
  std::sort(moved.begin(), moved.end());
  EXPECT_TRUE(std::binary_search(moved.begin(), moved.end(), MemoryId{5}));
  for (std::uint64_t id = 0; id < 20; ++id) EXPECT_TRUE(views[id] == vectors[id]) << id;
}

TEST(VectorIndexCopies, IndexLayerCopySharesTheHnswBackend) {
  auto layer = IndexLayer(*VectorIndex::new_with_loaded_hnsw(2, HnswConfig{}, nullptr));
  const IndexLayer copy = layer;
  ASSERT_NE(layer.vector.hnsw(), nullptr);
  EXPECT_EQ(layer.vector.hnsw(), copy.vector.hnsw());
  EXPECT_EQ(layer.vector.backend()->debug_name(), "ExactBackend");
  EXPECT_EQ(layer.vector.ann_provider()->name(), "prefix");
}

// Readers search published copies while the writer keeps appending into the blocks those copies
// share, removing rows and rebuilding arenas (run under ThreadSanitizer too). Each reader must see
// exactly the vectors of the copy it loaded.
TEST(VectorIndexCopies, ReadersOfPublishedCopiesRaceWithTheWriter) {
  constexpr std::size_t kDimension = 12;
  // A mutex-guarded pointer rather than std::atomic<std::shared_ptr>: libstdc++ 12 implements the
  // latter with a lock bit that ThreadSanitizer does not understand.
  std::mutex published_mutex;
  std::shared_ptr<const VectorIndex> published = std::make_shared<const VectorIndex>(kDimension);
  auto load = [&] {
    std::scoped_lock lock(published_mutex);
    return published;
  };
  std::atomic<bool> done{false};
  std::atomic<std::size_t> checks{0};
  auto reader = [&](unsigned seed) {
    std::mt19937 rng{seed};
    while (!done.load()) {
      const std::shared_ptr<const VectorIndex> snapshot = load();
      if (snapshot->len() == 0) continue;
      const auto q = random_vector(rng, kDimension);
      auto hits = snapshot->search_scoped(q, 1u << 20, std::nullopt, seed % 2 == 0, 1);
      ASSERT_TRUE(hits);
      ASSERT_EQ(hits->size(), snapshot->len());
      for (const auto& [id, score] : *hits) {
        ASSERT_TRUE(snapshot->has(id));
        ASSERT_EQ(float_bits(score), float_bits(reference_cosine(q, *snapshot->vector_of(id))));
      }
      checks.fetch_add(1);
    }
  };
  std::vector<std::thread> readers;
  for (unsigned seed = 1; seed <= 3; ++seed) readers.emplace_back(reader, seed);
  std::mt19937 rng{77};
  VectorIndex writer(kDimension);
  for (std::uint64_t id = 0; id < 3000; ++id) {
    ASSERT_TRUE(writer.index_in_namespace(id % 5 ? "a" : "b", MemoryId{id},
                                          random_vector(rng, kDimension)));
    if (id % 3 == 0) {
      ASSERT_TRUE(writer.remove(MemoryId{id / 2}));
    }
    auto copy = std::make_shared<const VectorIndex>(writer);
    std::scoped_lock lock(published_mutex);
    published = std::move(copy);
  }
  for (int i = 0; i < 5000 && checks.load() < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_GT(checks.load(), 0u);
}

// ---- HNSW attached -----------------------------------------------------------------------

TEST(VectorIndexHnsw, FailingGraphFallsBackToExactWithOneWarning) {
  // The graph refuses the library's reserved key, so it stays without capacity and reports
  // NoVectors while the index holds the vector.
  auto index = *VectorIndex::new_with_loaded_hnsw(2, HnswConfig{}, nullptr);
  const MemoryId reserved{std::numeric_limits<std::uint64_t>::max()};
  ASSERT_TRUE(index.index_in_namespace("n", reserved, {1, 0}));
  ::testing::internal::CaptureStderr();
  auto hits = index.search_scoped(std::vector<float>{1, 0}, 3, std::nullopt, false, 1);
  const std::string warning = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(hits);
  EXPECT_EQ(*hits, (SearchHits{{reserved, 1.0f}}));
  EXPECT_EQ(warning, "HNSW search failed, falling back to exact: NoVectors\n");
}

TEST(VectorIndexHnsw, ReindexingReplacesTheGraphVectorAndScopesHits) {
  auto index = *VectorIndex::new_with_loaded_hnsw(3, HnswConfig{}, nullptr);
  ASSERT_TRUE(index.index_in_namespace("a", MemoryId{1}, {1, 0, 0}));
  ASSERT_TRUE(index.index_in_namespace("a", MemoryId{2}, {0, 1, 0}));
  ASSERT_TRUE(index.index_in_namespace("b", MemoryId{3}, {0, 0, 1}));
  ASSERT_TRUE(index.index_in_namespace("a", MemoryId{1}, {0, 0.9f, 0.1f}));  // new vector
  EXPECT_EQ(index.hnsw()->get(MemoryId{1})->value(), (std::vector<float>{0, 0.9f, 0.1f}));
  EXPECT_EQ(index.hnsw()->size(), 3u);

  auto hits = index.search_scoped(std::vector<float>{1, 0, 0}, 3, "a", false, 1);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 2u);  // namespace b is not returned
  for (const auto& [id, score] : *hits) EXPECT_NE(id, MemoryId{3});

  // A snapshot taken before a remove keeps answering with what it holds.
  const VectorIndex snapshot = index;
  ASSERT_TRUE(index.remove(MemoryId{2}));
  auto now = index.search_scoped(std::vector<float>{0, 1, 0}, 3, std::nullopt, false, 1);
  ASSERT_TRUE(now);
  for (const auto& [id, score] : *now) EXPECT_NE(id, MemoryId{2});
  auto then = snapshot.search_scoped(std::vector<float>{0, 1, 0}, 3, std::nullopt, false, 1);
  ASSERT_TRUE(then);
  EXPECT_EQ(then->size(), 3u);
  EXPECT_EQ(then->front().first, MemoryId{2});
}

// The graph is shared by every copy: a copy's search never returns a key another copy added
// since, and a namespace search never returns another namespace's key, whether or not the graph
// still matches the searching copy exactly.
TEST(VectorIndexHnsw, GraphHitsStayWithinTheSearchedCopyAndNamespace) {
  std::mt19937 rng{8};
  auto index = *VectorIndex::new_with_loaded_hnsw(8, HnswConfig{}, nullptr);
  for (std::uint64_t id = 1; id <= 40; ++id) {
    ASSERT_TRUE(index.index_in_namespace("a", MemoryId{id}, random_vector(rng, 8)));
  }
  const std::vector<float> target = random_vector(rng, 8);
  const VectorIndex before = index;
  ASSERT_TRUE(index.index_in_namespace("a", MemoryId{100}, target));
  ASSERT_TRUE(index.index_in_namespace("b", MemoryId{200}, target));

  auto now = index.search_scoped(target, 2, std::nullopt, false, 1);
  ASSERT_TRUE(now);
  std::vector<MemoryId> both = ids_of(*now);  // equal vectors: either may come first
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, (std::vector<MemoryId>{MemoryId{100}, MemoryId{200}}));
  auto in_a = index.search_scoped(target, 1, "a", false, 1);
  ASSERT_TRUE(in_a);
  EXPECT_EQ(ids_of(*in_a), (std::vector<MemoryId>{MemoryId{100}}));
  auto then = before.search_scoped(target, 5, std::nullopt, false, 1);
  ASSERT_TRUE(then);
  ASSERT_EQ(then->size(), 5u);
  for (const auto& [id, score] : *then) EXPECT_LE(id.value, 40u);
}

TEST(VectorIndexHnsw, StaleGraphKeysAreRemoved) {
  auto graph = *HnswBackend::create(2, HnswConfig{});
  ASSERT_TRUE(graph->add(MemoryId{1}, std::vector<float>{1, 0}));
  ASSERT_TRUE(graph->add(MemoryId{2}, std::vector<float>{0, 1}));
  auto index = *VectorIndex::new_with_loaded_hnsw(2, HnswConfig{}, graph);
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{1}, {1, 0}));  // equal: kept
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{3}, {1, 1}));  // missing: added
  EXPECT_EQ(index.remove_stale_hnsw_keys(), 1u);                    // 2 is not indexed
  EXPECT_TRUE(graph->contains(MemoryId{1}) && graph->contains(MemoryId{3}));
  EXPECT_FALSE(graph->contains(MemoryId{2}));
}

// ---- The data-parallel pool after fork -----------------------------------------------------

TEST(VectorIndexParallel, ChildProcessAfterForkScansInParallel) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child of a threaded process";
#endif
  std::mt19937 rng{5};
  VectorIndex index(8);
  for (std::uint64_t id = 0; id < 5000; ++id) {
    ASSERT_TRUE(index.index_in_namespace("n", MemoryId{id}, random_vector(rng, 8)));
  }
  const auto q = random_vector(rng, 8);
  auto parent = index.search_scoped(q, 10, std::nullopt, true, 1);  // the pool now exists
  ASSERT_TRUE(parent);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto hits = index.search_scoped(q, 10, std::nullopt, true, 1);
    ::_exit(hits && *hits == *parent ? 0 : 1);
  }
  // A pool that did not survive fork would hang the child; give it ample time.
  int status = 0;
  pid_t done = 0;
  for (int waited_ms = 0; waited_ms < 60000 && done == 0; waited_ms += 10) {
    done = ::waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "child hung in the parallel scan";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---- The approximate path's candidate provider -------------------------------------------

TEST(PrefixAnnCandidateProvider, RanksByPrefixCosine) {
  VectorIndex index(10);
  std::vector<float> close(10, 0.0f), far(10, 0.0f), tail_only(10, 0.0f);
  close[0] = 1;
  far[0] = -1;
  tail_only[9] = 1;  // beyond the 8-element prefix: prefix norm 0, score 0
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{1}, far));
  ASSERT_TRUE(index.index_in_namespace("n", MemoryId{2}, tail_only));
  ASSERT_TRUE(index.index_in_namespace("m", MemoryId{3}, close));
  PrefixAnnCandidateProvider provider;
  std::vector<float> q(10, 0.0f);
  q[0] = 1;
  auto all = provider.candidates(q, 10, std::nullopt, index);
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, (std::vector<MemoryId>{MemoryId{3}, MemoryId{2}, MemoryId{1}}));
  auto two = provider.candidates(q, 2, "n", index);
  ASSERT_TRUE(two);
  EXPECT_EQ(*two, (std::vector<MemoryId>{MemoryId{2}, MemoryId{1}}));
  std::vector<float> zero_prefix(10, 0.0f);
  zero_prefix[9] = 1;
  EXPECT_EQ(error_of(provider.candidates(zero_prefix, 2, std::nullopt, index)).message(),
            "Zero vector provided (magnitude is 0)");
  auto none = provider.candidates(q, 2, "nowhere", index);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace tessaradb
