#pragma once

// QueryPlanner: the decisions made for a hybrid query. `plan` runs before execution and fixes
// how far the vector search over-fetches, whether it scans on the data-parallel pool and which
// signals the query uses. `infer_intent_adjustments` runs during execution and proposes score
// weights and a graph depth from how close the query embedding lies to the three intent
// anchors. Both are pure functions: no state, no locks, safe from any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "query/hybrid.hpp"

namespace tessaradb {

// What the executor runs. Built by QueryPlanner::plan; a hand-built plan is validated by the
// executor like the options it carries.
struct QueryPlan {
  // The caller's options with candidate_multiplier set to the planner's value, and weights
  // 100/0/0 rewritten to 70/20/10 when both a time range and graph expansion are requested.
  QueryOptions options;
  // Over-fetch factor of the vector search: 3 to 7.
  std::size_t candidate_multiplier = 3;
  // Over-fetch factor handed to the vector index for approximate search: 7, 8, 10, 12 or 14.
  std::size_t ann_candidate_multiplier = 7;
  // Score the vectors on the process-wide data-parallel pool.
  bool use_parallel = false;
  QueryPath path = QueryPath::VectorOnly;
};

// Weights and graph depth suggested by a query's intent.
struct IntentAdjustments {
  std::uint64_t graph_hops = 1;  // 1 to 3
  ScoreWeights weights;

  friend bool operator==(const IntentAdjustments&, const IntentAdjustments&) = default;
};

class QueryPlanner {
 public:
  // Plans a query over an index that holds `indexed_vectors` vectors (VectorIndex::len() of the
  // snapshot queried). With time = a time range is given and graph = graph_hops is given and
  // not 0: m = 3, +1 with time, +2 with graph, +1 when top_k >= 51; path = time + 2 * graph;
  // ann multiplier = max(2 * m, 7); parallel when top_k * m (saturating) >= 1000 or
  // indexed_vectors >= 10000. The caller's candidate_multiplier is not used. Never fails, never
  // overflows (top_k may be any value).
  static QueryPlan plan(const QueryOptions& options, std::size_t indexed_vectors);

  // Adjustments for `query` given the three anchor embeddings, or nothing when the inputs are
  // unusable: an empty query, an anchor of another length, or a squared norm (query or anchor)
  // not above 2^-23. Each anchor's cosine (single precision, sums in element order) is mapped
  // to s = clamp((cos + 1) / 2, 0, 1). Hops: 3 when s_graph >= clamp(hops3, 0, 1), else 2 when
  // s_graph >= clamp(hops2, 0, that), else 1 (also for a NaN s_graph). Weights: importance =
  // importance_pct; a = 100 - importance_pct (0 above 100); similarity = a * s_semantic /
  // max(s_semantic + s_recency, 1e-6) rounded half away from zero and clamped to [0, 255]
  // (NaN gives 0); recency = a - similarity, at least 0. NaN thresholds never cause undefined
  // behaviour: a NaN threshold is simply never reached.
  static std::optional<IntentAdjustments> infer_intent_adjustments(
      std::span<const float> query, std::span<const float> semantic,
      std::span<const float> recency, std::span<const float> graph, float hops2_threshold,
      float hops3_threshold, std::uint8_t importance_pct);
};

}  // namespace tessaradb
