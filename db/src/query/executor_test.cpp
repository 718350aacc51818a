#include "query/executor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "testing/index_vectors.hpp"
#include "testing/query_world.hpp"

namespace tessaradb {
namespace {

using testing::FixedEmbedder;
using testing::fresh_query_dimension;
using testing::hit_ids;
using testing::MemorySpec;
using testing::QueryWorld;
using testing::ScriptedEmbedder;

constexpr std::size_t kDim = 4;  // tests at this length never let anchors succeed

// `values` padded with zeros to `dimension` elements.
std::vector<float> vec(std::initializer_list<float> values, std::size_t dimension = kDim) {
  std::vector<float> v(values);
  v.resize(dimension, 0.0f);
  return v;
}

// What every facade query sends: no time range, one hop, the default weights.
QueryOptions facade_options(std::size_t top_k) {
  QueryOptions options;
  options.graph_hops = 1;
  options.top_k = top_k;
  options.candidate_multiplier = 5;
  return options;
}

// Options that take the weighted path: a time range and graph expansion.
QueryOptions weighted_options(TimeRange range, ScoreWeights weights, std::uint64_t hops = 1) {
  QueryOptions options;
  options.time_range = range;
  options.graph_hops = hops;
  options.top_k = 10;
  options.score_weights = weights;
  return options;
}

const QueryHit& hit_of(const QueryExecution& execution, std::uint64_t id) {
  for (const QueryHit& hit : execution.hits) {
    if (hit.id == MemoryId{id}) return hit;
  }
  ADD_FAILURE() << "no hit for " << id;
  static const QueryHit none;
  return none;
}

// The ids of the hits, ascending (which memories came back, whatever their rank).
std::vector<std::uint64_t> sorted_ids(const QueryExecution& execution) {
  std::vector<std::uint64_t> ids = hit_ids(execution);
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(QueryExecutor, ValidationComesBeforeEmbedding) {
  QueryWorld world(kDim);
  world.add(1, vec({1}));
  auto plan_with = [&](std::size_t top_k, std::size_t multiplier, std::optional<TimeRange> range) {
    QueryOptions options = facade_options(top_k);
    options.time_range = range;
    QueryPlan plan = QueryPlanner::plan(options, world.index.len());
    plan.options.candidate_multiplier = multiplier;
    return plan;
  };
  struct Case {
    const char* name;
    QueryPlan plan;
    std::string message;
  };
  const Case cases[] = {
      {"top_k 0 first", plan_with(0, 0, TimeRange{5, 4}), "Invalid top_k: 0"},
      {"multiplier 0", plan_with(3, 0, TimeRange{5, 4}), "Invalid candidate_multiplier: 0"},
      {"end before start", plan_with(3, 5, TimeRange{5, 4}), "Invalid time range: start=5, end=4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedEmbedder embedder(vec({1}));
    auto result =
        QueryExecutor::execute_with_trace("q", c.plan, world.state, world.index, embedder);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_EQ(embedder.calls(), 0u);
  }

  // A hand-built plan whose own multiplier is 0 is refused the same way.
  QueryPlan plan = plan_with(3, 5, std::nullopt);
  plan.candidate_multiplier = 0;
  ScriptedEmbedder embedder(vec({1}));
  auto result = QueryExecutor::execute_with_trace("q", plan, world.state, world.index, embedder);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "Invalid candidate_multiplier: 0");
}

TEST(QueryExecutor, WeightsAreCheckedAfterTheAnchorsStep) {
  const std::size_t dim = fresh_query_dimension();
  QueryWorld empty(dim);                        // a vector search here would fail with NoEmbeddings
  ScriptedEmbedder embedder(vec({1, 2}, dim));  // one vector for every text, calls counted
  QueryOptions options = facade_options(5);
  options.score_weights = ScoreWeights{50, 30, 30};
  auto result = empty.run(options, embedder);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            "Invalid score weights: similarity=50, importance=30, recency=30");
  EXPECT_EQ(embedder.calls(), 4u);  // the query, then the three anchor texts

  // The anchors are cached now: the next query of this length embeds only its own text.
  auto again = empty.run(facade_options(5), embedder);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), "Vector error: No embeddings indexed");
  EXPECT_EQ(embedder.calls(), 5u);
}

TEST(QueryExecutor, EmbedderAndVectorErrorsEndTheQuery) {
  QueryWorld world(kDim);
  world.add(1, vec({1}));
  QueryWorld empty(kDim);
  ScriptedEmbedder failing(vec({1}));
  failing.without_anchors().fail("query", "model offline");
  ScriptedEmbedder short_query(vec({1, 0, 0}, 3));
  short_query.without_anchors();
  ScriptedEmbedder zero_query(vec({}));
  zero_query.without_anchors();
  ScriptedEmbedder fine(vec({1}));
  fine.without_anchors();

  struct Case {
    const char* name;
    const QueryWorld& world;
    const QueryEmbedder& embedder;
    std::string message;
  };
  const Case cases[] = {
      {"embedder", world, failing, "Embedder error: model offline"},
      {"length", world, short_query, "Vector error: Dimension mismatch: expected 4, got 3"},
      {"zero query", world, zero_query, "Vector error: Zero vector provided (magnitude is 0)"},
      {"empty index", empty, fine, "Vector error: No embeddings indexed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = c.world.run(facade_options(3), c.embedder);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.message);
  }
}

TEST(QueryExecutor, FacadeQueryScoreIsTheMappedCosineWhateverTheWeights) {
  QueryWorld world(kDim);
  const std::vector<float> query = vec({1});
  const std::vector<float> cos02 = vec({0.2f, std::sqrt(0.96f)});
  world.add(1, cos02, MemorySpec{}.weighing(0.9f));
  world.add(2, vec({-1}), MemorySpec{}.created(50));
  world.add(3, vec({0, 0, 1}), MemorySpec{}.created(400));
  ScriptedEmbedder embedder(query);
  embedder.without_anchors();

  for (const ScoreWeights weights : {ScoreWeights{}, ScoreWeights{0, 0, 100}}) {
    QueryOptions options = facade_options(3);
    options.score_weights = weights;
    auto result = world.run(options, embedder);
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{1, 3, 2}));
    const QueryHit& hit = result->hits[0];
    EXPECT_NEAR(hit.score, 0.6f, 1e-6f);
    EXPECT_EQ(hit.score, (testing::reference_cosine(query, cos02) + 1.0f) * 0.5f);
    EXPECT_EQ(hit.similarity, hit.score);
    EXPECT_EQ(hit.importance, 0.9f);
    EXPECT_EQ(result->hits[1].score, 0.5f);
    EXPECT_EQ(result->hits[2].score, 0.0f);
    EXPECT_EQ(hit_of(*result, 2).recency, 0.0f);
    EXPECT_EQ(hit_of(*result, 3).recency, 1.0f);

    EXPECT_EQ(result->vector_candidates, 15u);  // top_k 3 times the planner's 5
    EXPECT_EQ(result->returned, 3u);
    EXPECT_EQ(result->filtered_candidates, 3u);
    EXPECT_EQ(result->path, QueryPath::VectorGraph);
    EXPECT_FALSE(result->use_parallel);
  }
}

// Graph hits carry the graph's own distances; the hop rescores them (and every neighbour) to the
// exact cosine, whether or not they have edges. Exact-scan hits keep theirs.
TEST(QueryExecutor, ExpandedHitsCarryTheExactCosineInBothIndexModes) {
  std::mt19937 rng{5};
  constexpr std::size_t kDimension = 24;
  for (const bool with_graph : {false, true}) {
    SCOPED_TRACE(with_graph);
    QueryWorld world(kDimension);
    if (with_graph)
      world.index = *VectorIndex::new_with_loaded_hnsw(kDimension, HnswConfig{}, nullptr);
    std::map<std::uint64_t, std::vector<float>> vectors;
    for (std::uint64_t id = 1; id <= 60; ++id) {
      vectors[id] = testing::random_vector(rng, kDimension);
      world.add(id, vectors[id]);
    }
    for (std::uint64_t id = 1; id <= 60; id += 4) world.connect(id, id % 60 + 1);
    const auto query = testing::random_vector(rng, kDimension);
    ScriptedEmbedder embedder(query);
    embedder.without_anchors();
    auto result = world.run(facade_options(10), embedder);
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(result->hits.size(), 10u);
    for (const QueryHit& hit : result->hits) {
      const float want = (testing::reference_cosine(query, vectors[hit.id.value]) + 1.0f) * 0.5f;
      EXPECT_EQ(testing::float_bits(hit.similarity), testing::float_bits(want)) << hit.id.value;
    }
  }
}

TEST(QueryExecutor, TimeRangeOfOneSecondKeepsExactlyThatSecond) {
  QueryWorld world(kDim);
  world.add(1, vec({1}), MemorySpec{}.created(99));
  world.add(2, vec({1, 1}), MemorySpec{}.created(100));
  world.add(3, vec({1, 2}), MemorySpec{}.created(100));
  world.add(4, vec({1, 3}), MemorySpec{}.created(101));
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();
  QueryOptions options;
  options.time_range = TimeRange{100, 100};
  auto result = world.run(options, embedder);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(result->path, QueryPath::VectorTemporal);
}

TEST(QueryExecutor, MetadataFilterKeepsMemoriesHoldingEveryPair) {
  QueryWorld world(kDim);
  world.add(1, vec({1}), MemorySpec{}.with({{"k", "v"}}));
  world.add(2, vec({1, 1}), MemorySpec{}.with({{"k", "w"}}));
  world.add(3, vec({1, 2}), MemorySpec{}.with({{"k", "v"}, {"x", "y"}}));
  world.add(4, vec({1, 3}));
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();
  QueryOptions options = facade_options(10);
  options.metadata_filter = Metadata{{"k", "v"}};
  auto result = world.run(options, embedder);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{1, 3}));
}

TEST(QueryExecutor, ExpansionAddsNeighboursOutsideTheTimeRangeButKeepsOtherFilters) {
  QueryWorld world(kDim);
  const Metadata kv = {{"k", "v"}};
  world.add(1, vec({1}), MemorySpec{}.created(100).with(kv));
  world.add(2, vec({0, 1}), MemorySpec{}.created(500).with(kv));                // linked
  world.add(3, vec({1, 0.1f}), MemorySpec{}.created(500).with(kv));             // not linked
  world.add(4, vec({1, 0.2f}), MemorySpec{}.created(500).with({{"k", "w"}}));  // linked
  world.add(5, vec({0, 0, 1}), MemorySpec{}.created(500).with(kv));             // two hops
  world.connect(1, 2);
  world.connect(1, 4);
  world.connect(2, 5);
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();
  QueryOptions options = weighted_options(TimeRange{100, 100}, ScoreWeights{});
  options.metadata_filter = kv;

  std::vector<std::pair<QueryStage, std::size_t>> trace;
  auto result = world.run(options, embedder, [&](QueryStage stage, std::size_t count) {
    trace.emplace_back(stage, count);
  });
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(result->path, QueryPath::VectorGraphTemporal);
  const std::vector<std::pair<QueryStage, std::size_t>> expected = {
      {QueryStage::Embedded, kDim}, {QueryStage::VectorHits, 5}, {QueryStage::Filtered, 1},
      {QueryStage::Expanded, 2},    {QueryStage::Returned, 2},
  };
  EXPECT_EQ(trace, expected);

  // Two hops reach memory 5 through 2.
  options.graph_hops = 2;
  result = world.run(options, embedder);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{1, 2, 5}));
}

TEST(QueryExecutor, ExpansionStaysInTheQueriedNamespace) {
  QueryWorld world(kDim);
  world.add(1, vec({1}), MemorySpec{}.in("team"));
  world.add(2, vec({1, 1}), MemorySpec{}.in("team"));
  world.connect(1, 2);
  world.add(2, vec({1, 1}), MemorySpec{}.in("other"));  // moved: the edge 1 -> 2 stays
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();
  QueryOptions options = facade_options(10);
  options.namespace_ = "team";
  auto result = world.run(options, embedder);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{1}));
}

TEST(QueryExecutor, WeightedScoreOnlyWithTimeRangeAndGraph) {
  QueryWorld world(kDim);
  world.add(1, vec({1}), MemorySpec{}.created(100).weighing(0.4f));
  world.add(2, vec({1, 1}), MemorySpec{}.created(300).weighing(2.0f));
  world.add(3, vec({0, 1}), MemorySpec{}.created(200).weighing(-1.0f));
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();

  auto weighted = world.run(weighted_options(TimeRange{0, 1000}, ScoreWeights{50, 25, 25}),
                            embedder);
  ASSERT_TRUE(weighted) << weighted.error().message();
  struct Expect {
    std::uint64_t id;
    float importance;
    float recency;
  };
  for (const Expect& e : {Expect{1, 0.4f, 0.0f}, Expect{2, 1.0f, 1.0f}, Expect{3, 0.0f, 0.5f}}) {
    SCOPED_TRACE(e.id);
    const QueryHit& hit = hit_of(*weighted, e.id);
    EXPECT_EQ(hit.importance, e.importance);
    EXPECT_EQ(hit.recency, e.recency);
    EXPECT_EQ(hit.score,
              ((hit.importance * 0.25f) + (hit.similarity * 0.5f)) + (hit.recency * 0.25f));
  }
  // 2: 0.25 + 0.5 * 0.85355 + 0.25; 1: 0.1 + 0.5; 3: 0.25 + 0.125.
  EXPECT_EQ(hit_ids(*weighted), (std::vector<std::uint64_t>{2, 1, 3}));

  // The same candidates without graph expansion rank by similarity alone.
  QueryOptions temporal = weighted_options(TimeRange{0, 1000}, ScoreWeights{50, 25, 25});
  temporal.graph_hops.reset();
  auto plain = world.run(temporal, embedder);
  ASSERT_TRUE(plain) << plain.error().message();
  EXPECT_EQ(hit_ids(*plain), (std::vector<std::uint64_t>{1, 2, 3}));
  for (const QueryHit& hit : plain->hits) EXPECT_EQ(hit.score, hit.similarity);

  // A single creation time makes every recency 1.
  QueryWorld same_second(kDim);
  same_second.add(1, vec({1}), MemorySpec{}.created(7));
  same_second.add(2, vec({0, 1}), MemorySpec{}.created(7));
  auto flat = same_second.run(weighted_options(TimeRange{7, 7}, ScoreWeights{0, 0, 100}),
                              embedder);
  ASSERT_TRUE(flat) << flat.error().message();
  for (const QueryHit& hit : flat->hits) EXPECT_EQ(hit.score, 1.0f);
}

TEST(QueryExecutor, EqualScoresRankByIdAndNanRanksLast) {
  QueryWorld world(kDim);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  world.add(9, vec({1, 1}));
  world.add(4, vec({nan, 1}));
  world.add(3, vec({1, 1}));
  world.add(7, vec({2, 2}));
  world.add(5, vec({0, 1}));
  world.add(2, vec({nan}));
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();
  auto result = world.run(facade_options(10), embedder);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{3, 7, 9, 5, 2, 4}));
  EXPECT_TRUE(std::isnan(result->hits.back().score));

  auto cut = world.run(facade_options(2), embedder);
  ASSERT_TRUE(cut) << cut.error().message();
  EXPECT_EQ(hit_ids(*cut), (std::vector<std::uint64_t>{3, 7}));
}

TEST(QueryExecutor, EverythingFilteredOutIsAnEmptyList) {
  QueryWorld world(kDim);
  world.add(1, vec({1}), MemorySpec{}.created(10).with({{"k", "v"}}));
  world.add(2, vec({0, 1}), MemorySpec{}.created(20));
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();

  QueryOptions by_metadata = facade_options(5);
  by_metadata.metadata_filter = Metadata{{"k", "nothing"}};
  QueryOptions by_time;
  by_time.time_range = TimeRange{30, 40};
  QueryOptions in_namespace = facade_options(5);
  in_namespace.namespace_ = "nobody";
  for (const QueryOptions& options : {by_metadata, by_time, in_namespace}) {
    std::vector<QueryStage> stages;
    auto result = world.run(options, embedder,
                            [&](QueryStage stage, std::size_t) { stages.push_back(stage); });
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_TRUE(result->hits.empty());
    EXPECT_EQ(result->returned, 0u);
    EXPECT_EQ(stages.back(), QueryStage::Returned);
  }
}

TEST(QueryExecutor, HugeTopKReturnsWhatExists) {
  QueryWorld world(kDim);
  for (std::uint64_t id = 1; id <= 5; ++id) world.add(id, vec({1, static_cast<float>(id)}));
  ScriptedEmbedder embedder(vec({1}));
  embedder.without_anchors();
  for (const std::size_t top_k :
       {std::size_t{1} << 63, std::numeric_limits<std::size_t>::max()}) {
    SCOPED_TRACE(top_k);
    auto result = world.run(facade_options(top_k), embedder);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(result->vector_candidates, std::numeric_limits<std::size_t>::max());
    EXPECT_TRUE(result->use_parallel);
  }
}

// Memory 1 lies in the time range; 2 -> 3 -> 4 -> 5 hang off it outside the range, so how far
// the results reach shows the depth the query ran with.
QueryWorld chain_world(std::size_t dim) {
  QueryWorld world(dim);
  world.add(1, vec({1}, dim), MemorySpec{}.created(100).weighing(0.5f));
  for (std::uint64_t id = 2; id <= 5; ++id) {
    world.add(id, vec({1, static_cast<float>(id)}, dim), MemorySpec{}.created(200 + id));
    world.connect(id - 1, id);
  }
  return world;
}

TEST(QueryExecutor, IntentReplacesDefaultWeightsAndAnyPresentDepth) {
  const std::size_t dim = fresh_query_dimension();
  QueryWorld world = chain_world(dim);
  // Anchors equal to the query: s = 1 for each, so 3 hops and weights 40/20/40.
  FixedEmbedder embedder(vec({1}, dim));

  // 100/0/0 becomes 70/20/10 in the planner, and the executor treats that as the default.
  auto adjusted = world.run(weighted_options(TimeRange{100, 100}, ScoreWeights{100, 0, 0}),
                            embedder);
  ASSERT_TRUE(adjusted) << adjusted.error().message();
  EXPECT_EQ(sorted_ids(*adjusted), (std::vector<std::uint64_t>{1, 2, 3, 4}));
  const QueryHit& first = hit_of(*adjusted, 1);
  EXPECT_EQ(first.score,
            ((first.importance * 0.2f) + (first.similarity * 0.4f)) + (first.recency * 0.4f));

  // Weights the caller chose are kept; the depth is still adjusted.
  auto chosen = world.run(weighted_options(TimeRange{100, 100}, ScoreWeights{60, 20, 20}),
                          embedder);
  ASSERT_TRUE(chosen) << chosen.error().message();
  EXPECT_EQ(hit_ids(*chosen).size(), 4u);
  const QueryHit& kept = hit_of(*chosen, 1);
  EXPECT_EQ(kept.score,
            ((kept.importance * 0.2f) + (kept.similarity * 0.6f)) + (kept.recency * 0.2f));

  // The cached anchors apply whatever embedder a later query of this length uses.
  ScriptedEmbedder other(vec({1}, dim));
  other.without_anchors();
  auto cached = world.run(weighted_options(TimeRange{100, 100}, ScoreWeights{}), other);
  ASSERT_TRUE(cached) << cached.error().message();
  EXPECT_EQ(hit_ids(*cached).size(), 4u);
  EXPECT_EQ(other.calls(), 1u);
}

TEST(QueryExecutor, WithoutAnchorsTheOptionsStand) {
  const std::size_t dim = fresh_query_dimension();
  QueryWorld world = chain_world(dim);
  ScriptedEmbedder wrong_length(vec({1}, dim));
  wrong_length.with_anchors(vec({1}, dim), vec({1}, dim + 1), vec({1}, dim));
  ScriptedEmbedder failing(vec({1}, dim));
  failing.without_anchors();

  for (const ScriptedEmbedder* embedder : {&wrong_length, &failing, &wrong_length}) {
    const std::size_t calls_before = embedder->calls();
    auto result = world.run(weighted_options(TimeRange{100, 100}, ScoreWeights{}), *embedder);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(sorted_ids(*result), (std::vector<std::uint64_t>{1, 2}));  // one hop
    const QueryHit& first = hit_of(*result, 1);
    EXPECT_EQ(first.score,
              ((first.importance * 0.2f) + (first.similarity * 0.7f)) + (first.recency * 0.1f));
    // Nothing was cached: every query asks for the anchors again.
    EXPECT_GT(embedder->calls() - calls_before, 1u);
  }
}

TEST(QueryExecutor, AbsentDepthStaysAbsent) {
  const std::size_t dim = fresh_query_dimension();
  QueryWorld world = chain_world(dim);
  FixedEmbedder embedder(vec({1}, dim));
  QueryOptions options = weighted_options(TimeRange{100, 100}, ScoreWeights{});
  options.graph_hops.reset();
  auto result = world.run(options, embedder);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(hit_ids(*result), (std::vector<std::uint64_t>{1}));
}

TEST(QueryExecutor, ConcurrentQueriesAgree) {
  const std::size_t dim = fresh_query_dimension();
  QueryWorld world = chain_world(dim);
  std::mt19937 rng{12345};
  for (std::uint64_t id = 10; id < 200; ++id) {
    world.add(id, testing::random_vector(rng, dim), MemorySpec{}.created(id));
    world.connect(id - 1 < 10 ? 5 : id - 1, id);
  }
  const FixedEmbedder embedder(testing::random_vector(rng, dim));
  const QueryOptions options = weighted_options(TimeRange{0, 150}, ScoreWeights{});

  std::vector<std::vector<std::uint64_t>> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        auto result = world.run(options, embedder);
        if (!result) return;
        if (i == 0) seen[t] = hit_ids(*result);
        if (hit_ids(*result) != seen[t]) return seen[t].clear();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  auto reference = world.run(options, embedder);
  ASSERT_TRUE(reference) << reference.error().message();
  ASSERT_FALSE(hit_ids(*reference).empty());
  for (const auto& ids : seen) EXPECT_EQ(ids, hit_ids(*reference));
}

}  // namespace
}  // namespace tessaradb
