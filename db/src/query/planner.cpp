#include "query/planner.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessaradb {

namespace {

constexpr std::size_t kParallelCandidates = 1000;
constexpr std::size_t kParallelIndexSize = 10000;
constexpr std::size_t kLargeTopK = 51;
constexpr std::size_t kMinAnnMultiplier = 7;
// Squared norms at or below this (2^-23, the float epsilon) give no usable direction.
constexpr float kMinSquaredNorm = std::numeric_limits<float>::epsilon();
constexpr float kMinSimilaritySum = 0.000001f;

std::size_t saturating_mul(std::size_t a, std::size_t b) {
  std::size_t product;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
  return product;
}

// Clamps to [lo, hi]; a NaN `x` passes through, and a NaN bound is never applied, so no NaN
// input is undefined behaviour (std::clamp requires lo <= hi).
float clamp_or_nan(float x, float lo, float hi) {
  if (x < lo) return lo;
  if (x > hi) return hi;
  return x;
}

struct AnchorParts {
  float dot = 0.0f;
  float query_norm = 0.0f;
  float anchor_norm = 0.0f;
};

// One loop per anchor, sums accumulated in element order in single precision.
AnchorParts anchor_parts(std::span<const float> query, std::span<const float> anchor) {
  AnchorParts parts;
  for (std::size_t i = 0; i < query.size(); ++i) {
    parts.dot += query[i] * anchor[i];
    parts.query_norm += query[i] * query[i];
    parts.anchor_norm += anchor[i] * anchor[i];
  }
  return parts;
}

}  // namespace

QueryPlan QueryPlanner::plan(const QueryOptions& options, std::size_t indexed_vectors) {
  const bool time = options.time_range.has_value();
  const bool graph = options.graph_hops.has_value() && *options.graph_hops != 0;

  std::size_t m = 3;
  if (time) m += 1;
  if (graph) m += 2;
  if (options.top_k >= kLargeTopK) m += 1;

  QueryPlan plan;
  plan.options = options;
  plan.path = static_cast<QueryPath>((time ? 1 : 0) | (graph ? 2 : 0));
  if (time && graph && plan.options.score_weights == ScoreWeights{100, 0, 0}) {
    plan.options.score_weights = ScoreWeights{};
  }
  plan.ann_candidate_multiplier = std::max(2 * m, kMinAnnMultiplier);
  plan.use_parallel = saturating_mul(options.top_k, m) >= kParallelCandidates ||
                      indexed_vectors >= kParallelIndexSize;
  plan.options.candidate_multiplier = m;
  plan.candidate_multiplier = m;
  return plan;
}

std::optional<IntentAdjustments> QueryPlanner::infer_intent_adjustments(
    std::span<const float> query, std::span<const float> semantic, std::span<const float> recency,
    std::span<const float> graph, float hops2_threshold, float hops3_threshold,
    std::uint8_t importance_pct) {
  if (query.empty()) return std::nullopt;
  if (semantic.size() != query.size() || recency.size() != query.size() ||
      graph.size() != query.size()) {
    return std::nullopt;
  }

  float s[3];
  const std::span<const float> anchors[3] = {semantic, recency, graph};
  for (int a = 0; a < 3; ++a) {
    const AnchorParts parts = anchor_parts(query, anchors[a]);
    // Written as !(x > eps) so a NaN norm is refused as well.
    if (!(parts.query_norm > kMinSquaredNorm) || !(parts.anchor_norm > kMinSquaredNorm)) {
      return std::nullopt;
    }
    const float cosine = parts.dot / (std::sqrt(parts.anchor_norm) * std::sqrt(parts.query_norm));
    s[a] = clamp_or_nan((cosine + 1.0f) * 0.5f, 0.0f, 1.0f);
  }
  const float s_semantic = s[0], s_recency = s[1], s_graph = s[2];

  IntentAdjustments adjustments;
  const float high = clamp_or_nan(hops3_threshold, 0.0f, 1.0f);
  const float low = clamp_or_nan(hops2_threshold, 0.0f, high);
  if (s_graph >= high) {
    adjustments.graph_hops = 3;
  } else if (s_graph >= low) {
    adjustments.graph_hops = 2;
  } else {
    adjustments.graph_hops = 1;
  }

  const int available = importance_pct > 100 ? 0 : 100 - importance_pct;
  // fmax, not std::max: a NaN sum yields the floor rather than NaN.
  const float share = static_cast<float>(available) * s_semantic /
                      std::fmax(s_semantic + s_recency, kMinSimilaritySum);
  const float rounded = std::round(share);  // halves away from zero
  int similarity = 0;
  if (rounded >= 255.0f) {
    similarity = 255;
  } else if (rounded > 0.0f) {
    similarity = static_cast<int>(rounded);
  }  // else: negative, zero or NaN -> 0
  adjustments.weights.similarity = static_cast<std::uint8_t>(similarity);
  adjustments.weights.importance = importance_pct;
  adjustments.weights.recency = static_cast<std::uint8_t>(std::max(available - similarity, 0));
  return adjustments;
}

}  // namespace tessaradb
