#include "query/planner.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "query/intent.hpp"

namespace tessaradb {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

QueryOptions options_with(bool time, std::optional<std::uint64_t> hops, std::size_t top_k) {
  QueryOptions options;
  if (time) options.time_range = TimeRange{10, 20};
  options.graph_hops = hops;
  options.top_k = top_k;
  options.candidate_multiplier = 99;  // never used by the planner
  return options;
}

TEST(QueryPlannerPlan, MultipliersPathAndParallelism) {
  struct Case {
    const char* name;
    bool time;
    std::optional<std::uint64_t> hops;
    std::size_t top_k;
    std::size_t indexed;
    std::size_t m;
    QueryPath path;
    std::size_t ann;
    bool parallel;
  };
  const Case cases[] = {
      {"facade query", false, 1, 5, 9999, 5, QueryPath::VectorGraph, 10, false},
      {"top_k 50 stays small", false, std::nullopt, 50, 0, 3, QueryPath::VectorOnly, 7, false},
      {"top_k 51 is large", false, std::nullopt, 51, 0, 4, QueryPath::VectorOnly, 8, false},
      {"graph_hops 0 is no graph", false, 0, 5, 0, 3, QueryPath::VectorOnly, 7, false},
      {"time only", true, std::nullopt, 5, 0, 4, QueryPath::VectorTemporal, 8, false},
      {"time and graph", true, 2, 5, 0, 6, QueryPath::VectorGraphTemporal, 12, false},
      {"everything", true, 3, 51, 0, 7, QueryPath::VectorGraphTemporal, 14, false},
      {"995 candidates", true, std::nullopt, 199, 0, 5, QueryPath::VectorTemporal, 10, false},
      {"1000 candidates", true, std::nullopt, 200, 0, 5, QueryPath::VectorTemporal, 10, true},
      {"10000 vectors", false, std::nullopt, 1, 10000, 3, QueryPath::VectorOnly, 7, true},
      {"top_k 2^63 saturates", false, 1, std::size_t{1} << 63, 0, 6, QueryPath::VectorGraph, 12,
       true},
      {"top_k max saturates", true, 1, kMax, kMax, 7, QueryPath::VectorGraphTemporal, 14, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QueryPlan plan = QueryPlanner::plan(options_with(c.time, c.hops, c.top_k), c.indexed);
    EXPECT_EQ(plan.candidate_multiplier, c.m);
    EXPECT_EQ(plan.options.candidate_multiplier, c.m);
    EXPECT_EQ(plan.path, c.path);
    EXPECT_EQ(plan.ann_candidate_multiplier, c.ann);
    EXPECT_EQ(plan.use_parallel, c.parallel);
  }
}

TEST(QueryPlannerPlan, KeepsTheCallersOptions) {
  QueryOptions options = options_with(true, 2, 7);
  options.namespace_ = "team";
  options.metadata_filter = Metadata{{"k", "v"}};
  options.score_weights = ScoreWeights{50, 25, 25};
  const QueryPlan plan = QueryPlanner::plan(options, 3);
  EXPECT_EQ(plan.options.namespace_, options.namespace_);
  EXPECT_EQ(plan.options.metadata_filter, options.metadata_filter);
  EXPECT_EQ(plan.options.time_range, options.time_range);
  EXPECT_EQ(plan.options.graph_hops, options.graph_hops);
  EXPECT_EQ(plan.options.top_k, 7u);
  EXPECT_EQ(plan.options.score_weights, (ScoreWeights{50, 25, 25}));
}

TEST(QueryPlannerPlan, AllSimilarityWeightsBecomeTheDefaultsOnlyWithTimeAndGraph) {
  struct Case {
    const char* name;
    bool time;
    std::optional<std::uint64_t> hops;
    ScoreWeights given;
    ScoreWeights planned;
  };
  const Case cases[] = {
      {"time and graph", true, 1, {100, 0, 0}, {70, 20, 10}},
      {"time only", true, std::nullopt, {100, 0, 0}, {100, 0, 0}},
      {"graph only", false, 1, {100, 0, 0}, {100, 0, 0}},
      {"time, hops 0", true, 0, {100, 0, 0}, {100, 0, 0}},
      {"other weights", true, 1, {0, 100, 0}, {0, 100, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QueryOptions options = options_with(c.time, c.hops, 5);
    options.score_weights = c.given;
    EXPECT_EQ(QueryPlanner::plan(options, 0).options.score_weights, c.planned);
  }
}

// Anchor (x, y) against the query (1, 0): the cosine is x / |(x, y)|.
std::optional<IntentAdjustments> infer(std::vector<float> query, std::vector<float> semantic,
                                       std::vector<float> recency, std::vector<float> graph,
                                       std::uint8_t importance_pct = 20) {
  return QueryPlanner::infer_intent_adjustments(query, semantic, recency, graph, 0.55f, 0.8f,
                                                importance_pct);
}

TEST(QueryPlannerIntent, QueryEqualToEveryAnchor) {
  const std::vector<float> q = {0.3f, -1.5f, 2.0f};
  const auto adjustments = infer(q, q, q, q);
  ASSERT_TRUE(adjustments);
  EXPECT_EQ(adjustments->graph_hops, 3u);
  EXPECT_EQ(adjustments->weights, (ScoreWeights{40, 20, 40}));
}

// s = (cos + 1) / 2 for the anchor, the way the planner computes it for a 2-element query.
float mapped_similarity(float qx, float qy, float ax, float ay) {
  const float dot = qx * ax + qy * ay;
  const float nq = qx * qx + qy * qy;
  const float na = ax * ax + ay * ay;
  return (dot / (std::sqrt(na) * std::sqrt(nq)) + 1.0f) * 0.5f;
}

TEST(QueryPlannerIntent, HopThresholdsAreInclusive) {
  const std::vector<float> q = {1.0f, 0.0f};
  // An anchor whose mapped similarity is exactly 0.55f: nudge (1, sqrt(99)) until it lands.
  std::optional<std::vector<float>> at_055;
  float up = std::sqrt(99.0f), down = up;
  for (int step = 0; step < 4000 && !at_055; ++step) {
    if (mapped_similarity(1, 0, 1, up) == 0.55f) at_055 = std::vector<float>{1.0f, up};
    if (mapped_similarity(1, 0, 1, down) == 0.55f) at_055 = std::vector<float>{1.0f, down};
    up = std::nextafter(up, 100.0f);
    down = std::nextafter(down, 0.0f);
  }
  ASSERT_TRUE(at_055) << "no anchor with similarity exactly 0.55f found";

  struct Case {
    const char* name;
    std::vector<float> graph_anchor;
    std::uint64_t hops;
  };
  const Case cases[] = {
      {"orthogonal: s = 0.5", {0.0f, 2.0f}, 1},
      {"s = 0.55", *at_055, 2},
      {"s = 0.8 (cos 3/5)", {3.0f, 4.0f}, 3},
      {"s = 0", {-1.0f, 0.0f}, 1},
      {"s = 1", {5.0f, 0.0f}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto adjustments = infer(q, q, q, c.graph_anchor);
    ASSERT_TRUE(adjustments);
    EXPECT_EQ(adjustments->graph_hops, c.hops);
  }
}

TEST(QueryPlannerIntent, ThresholdsAreClampedAndNanNeverReached) {
  const std::vector<float> q = {1.0f, 0.0f}, orthogonal = {0.0f, 1.0f};  // s_graph = 0.5
  struct Case {
    const char* name;
    float hops2;
    float hops3;
    std::uint64_t hops;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {"hops3 below 0 clamps to 0", 0.9f, -1.0f, 3},
      {"hops2 above hops3 clamps to it", 0.9f, 0.5f, 3},
      {"hops2 below 0 clamps to 0", -3.0f, 0.9f, 2},
      {"exactly at hops2", 0.5f, 0.9f, 2},
      {"just above s", 0.50001f, 0.9f, 1},
      {"NaN hops3", 0.4f, nan, 2},
      {"NaN hops2", nan, 0.9f, 1},
      {"both NaN", nan, nan, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto adjustments =
        QueryPlanner::infer_intent_adjustments(q, q, q, orthogonal, c.hops2, c.hops3, 20);
    ASSERT_TRUE(adjustments);
    EXPECT_EQ(adjustments->graph_hops, c.hops);
  }
}

TEST(QueryPlannerIntent, WeightsShareWhatImportanceLeaves) {
  const std::vector<float> q = {1.0f, 0.0f}, same = {2.0f, 0.0f}, orthogonal = {0.0f, 1.0f},
                           opposite = {-1.0f, 0.0f};
  struct Case {
    const char* name;
    std::vector<float> semantic;
    std::vector<float> recency;
    std::uint8_t importance_pct;
    ScoreWeights weights;
  };
  const Case cases[] = {
      {"semantic only", same, opposite, 20, {80, 20, 0}},
      {"recency only", opposite, same, 20, {0, 20, 80}},
      {"both zero: floor of the sum", opposite, opposite, 20, {0, 20, 80}},
      {"even split", orthogonal, orthogonal, 20, {40, 20, 40}},
      {"one third", orthogonal, same, 20, {27, 20, 53}},  // 80 * 0.5 / 1.5 = 26.67
      {"38.5 rounds away from zero", orthogonal, orthogonal, 23, {39, 23, 38}},
      {"39.5 rounds away from zero", orthogonal, orthogonal, 21, {40, 21, 39}},
      {"importance 100", same, same, 100, {0, 100, 0}},
      {"importance above 100 leaves nothing", same, same, 150, {0, 150, 0}},
      {"importance 0", same, same, 0, {50, 0, 50}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto adjustments = infer(q, c.semantic, c.recency, q, c.importance_pct);
    ASSERT_TRUE(adjustments);
    EXPECT_EQ(adjustments->weights, c.weights);
  }
}

TEST(QueryPlannerIntent, UnusableInputsGiveNothing) {
  const std::vector<float> q = {1.0f, 2.0f}, zero = {0.0f, 0.0f};
  const float tiny = std::ldexp(1.0f, -12);   // two of these: squared norm exactly 2^-23
  const float small = std::ldexp(1.0f, -11);  // two of these: 2^-21
  struct Case {
    const char* name;
    std::vector<float> query;
    std::vector<float> semantic;
    std::vector<float> recency;
    std::vector<float> graph;
    bool usable;
  };
  const Case cases[] = {
      {"empty query", {}, {}, {}, {}, false},
      {"zero semantic anchor", q, zero, q, q, false},
      {"zero recency anchor", q, q, zero, q, false},
      {"zero graph anchor", q, q, q, zero, false},
      {"zero query", zero, q, q, q, false},
      {"shorter anchor", q, {1.0f}, q, q, false},
      {"longer anchor", q, q, q, {1.0f, 2.0f, 3.0f}, false},
      {"anchor norm exactly 2^-23", q, q, {tiny, tiny}, q, false},
      {"anchor norm just above", q, q, {small, small}, q, true},
      {"query norm exactly 2^-23", {tiny, tiny}, q, q, q, false},
      {"NaN query", {std::nanf(""), 1.0f}, q, q, q, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(infer(c.query, c.semantic, c.recency, c.graph).has_value(), c.usable);
  }
}

TEST(QueryPlannerIntent, NanSimilaritiesGiveOneHopAndNoSimilarityWeight) {
  // An infinite element keeps the norms above the floor but turns every cosine into NaN.
  const std::vector<float> q = {std::numeric_limits<float>::infinity(), 1.0f};
  const std::vector<float> anchor = {1.0f, 0.0f};
  const auto adjustments = infer(q, anchor, anchor, anchor);
  ASSERT_TRUE(adjustments);
  EXPECT_EQ(adjustments->graph_hops, 1u);
  EXPECT_EQ(adjustments->weights, (ScoreWeights{0, 20, 80}));
}

TEST(IntentPolicy, DefaultValue) {
  const IntentPolicy policy = get_intent_policy();
  EXPECT_EQ(policy.semantic_text, "semantic meaning, similar content, concept match");
  EXPECT_EQ(policy.recency_text, "recent events, latest updates, time, timeline, schedule");
  EXPECT_EQ(policy.graph_text, "relationships, connections, linked people, social graph");
  EXPECT_EQ(policy.hops2_threshold, 0.55f);
  EXPECT_EQ(policy.hops3_threshold, 0.8f);
  EXPECT_EQ(policy.importance_pct, 20);
}

}  // namespace
}  // namespace tessaradb
