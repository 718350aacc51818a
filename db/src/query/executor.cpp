#include "query/executor.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "index/graph.hpp"
#include "query/intent.hpp"

namespace tessaradb {

namespace {

using Clock = std::chrono::steady_clock;

// Embedding length -> the anchors first found valid for that length. Entries are shared
// read-only with the queries that use them, so a lookup copies a pointer, not three vectors.
struct AnchorCache {
  std::mutex mutex;  // guards `entries`
  std::unordered_map<std::size_t, std::shared_ptr<const IntentAnchors>> entries;
};

AnchorCache& intent_anchor_cache() {
  static AnchorCache cache;
  return cache;
}

std::unique_lock<std::mutex> lock_anchor_cache(AnchorCache& cache) {
  try {
    return std::unique_lock<std::mutex>(cache.mutex);
  } catch (const std::system_error&) {
    // Queries cannot go on without knowing what the cache holds.
    std::fputs("intent anchor cache lock poisoned\n", stderr);
    std::abort();
  }
}

// The anchors for embeddings of `length`, or nullptr when the embedder cannot give all three at
// that length. The cache lock is never held while the embedder runs: two queries that miss at
// once both embed, and the later store wins (both computed the same thing from the same policy
// unless their embedders differ, which the key cannot tell apart anyway).
std::shared_ptr<const IntentAnchors> intent_anchors_for(std::size_t length,
                                                        const QueryEmbedder& embedder) {
  AnchorCache& cache = intent_anchor_cache();
  {
    auto lock = lock_anchor_cache(cache);
    if (auto found = cache.entries.find(length); found != cache.entries.end()) {
      return found->second;
    }
  }
  const IntentPolicy policy = get_intent_policy();
  auto embed_anchor = [&](const std::string& text) -> std::optional<std::vector<float>> {
    auto vector = embedder.embed(text);
    if (!vector || vector->size() != length) return std::nullopt;
    return std::move(*vector);
  };
  auto semantic = embed_anchor(policy.semantic_text);
  if (!semantic) return nullptr;
  auto recency = embed_anchor(policy.recency_text);
  if (!recency) return nullptr;
  auto graph = embed_anchor(policy.graph_text);
  if (!graph) return nullptr;
  auto anchors = std::make_shared<const IntentAnchors>(
      IntentAnchors{std::move(*semantic), std::move(*recency), std::move(*graph)});
  auto lock = lock_anchor_cache(cache);
  cache.entries.insert_or_assign(length, anchors);
  return anchors;
}

std::size_t saturating_mul(std::size_t a, std::size_t b) {
  std::size_t product;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
  return product;
}

// Clamps to [0, 1]; NaN stays NaN (and then ranks after every number).
float clamp_unit(float x) {
  if (x < 0.0f) return 0.0f;
  if (x > 1.0f) return 1.0f;
  return x;
}

// A strict weak ordering, also for NaN: higher score first, NaN after every number, equal
// scores by ascending id. Hits carry distinct ids, so the order is total and the result does
// not depend on the order the candidates came in.
bool ranks_before(const QueryHit& a, const QueryHit& b) noexcept {
  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  return a.id < b.id;
}

Result<void, HybridQueryError> validate(const QueryPlan& plan) {
  const QueryOptions& options = plan.options;
  if (options.top_k == 0) return HybridQueryError{HybridQueryError::InvalidTopK{0}};
  if (options.candidate_multiplier == 0 || plan.candidate_multiplier == 0) {
    return HybridQueryError{HybridQueryError::InvalidCandidateMultiplier{0}};
  }
  if (options.time_range && options.time_range->end < options.time_range->start) {
    return HybridQueryError{
        HybridQueryError::InvalidTimeRange{options.time_range->start, options.time_range->end}};
  }
  return {};
}

// The memories a walk of at most `hops` edges from `start` enters (GraphIndex::bfs_internal),
// each passed to `reach`. A start without outgoing edges, the common case, enters only itself;
// that answer is given without building the walk's queue and map.
template <typename Reach>
Result<void, GraphError> walk_from(const StateMachine& state_machine, MemoryId start,
                                   std::uint64_t hops, std::optional<std::string_view> ns,
                                   Reach&& reach) {
  const StateMachine::EdgeListPtr* edges = state_machine.graph().find(start.value);
  if (hops != 0 && (edges == nullptr || *edges == nullptr || (*edges)->empty())) {
    const MemoryEntry* entry = state_machine.get(start);
    if (entry == nullptr) return GraphError{GraphError::MemoryNotFound{start}};
    if (!ns || entry->namespace_ == *ns) reach(start);
    return {};
  }
  auto depths = GraphIndex::bfs_internal(state_machine, start, hops, ns);
  if (!depths) return std::move(depths).error();
  for (const auto& [id, depth] : *depths) reach(id);
  return {};
}

// Every memory reachable from a candidate within `hops` edges (inside `ns`) that passes the
// namespace and metadata filters, rescored against the query. One walk per candidate; the
// union set is the only structure that outlives a walk. When `scores_are_exact`, a candidate
// reached again keeps the score it has (the exact scan computed the very bits rescoring would
// give) and only the other memories are rescored.
Result<SearchHits, HybridQueryError> expand_along_edges(
    const SearchHits& candidates, bool scores_are_exact, std::span<const float> embedding,
    std::uint64_t hops, std::optional<std::string_view> ns, const Metadata* metadata_filter,
    const StateMachine& state_machine, const VectorIndex& vector_index) {
  std::unordered_map<MemoryId, float> known;
  if (scores_are_exact) {
    known.reserve(candidates.size());
    for (const auto& [id, score] : candidates) known.emplace(id, score);
  }
  SearchHits kept;
  std::unordered_set<MemoryId> reached;
  reached.reserve(candidates.size());
  for (const auto& [start, score] : candidates) {
    auto walked = walk_from(state_machine, start, hops, ns, [&](MemoryId id) {
      if (reached.contains(id)) return;
      if (!matches_filters(state_machine, id, ns, std::nullopt, metadata_filter)) return;
      reached.insert(id);
      if (auto found = known.find(id); found != known.end()) kept.emplace_back(id, found->second);
    });
    if (!walked) return HybridQueryError{HybridQueryError::GraphFailure{std::move(walked).error()}};
  }
  for (const auto& [id, score] : kept) reached.erase(id);
  if (reached.empty()) return kept;
  auto rescored = vector_index.search_in_ids(embedding, reached, reached.size());
  if (!rescored) {
    return HybridQueryError{HybridQueryError::VectorIndexError{std::move(rescored).error()}};
  }
  // The order of the list does not matter: score_and_rank sorts it completely.
  kept.insert(kept.end(), rescored->begin(), rescored->end());
  return kept;
}

// Scores the candidates that are still memories, sorts them and keeps the first top_k.
std::vector<QueryHit> score_and_rank(const SearchHits& candidates, const ScoreWeights& weights,
                                     QueryPath path, std::size_t top_k,
                                     const StateMachine& state_machine) {
  std::vector<QueryHit> hits;
  if (candidates.empty()) return hits;
  hits.reserve(candidates.size());
  std::vector<std::uint64_t> created;
  created.reserve(candidates.size());
  std::uint64_t oldest = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t newest = 0;
  for (const auto& [id, cosine] : candidates) {
    const MemoryEntry* entry = state_machine.get(id);
    if (entry == nullptr) continue;  // vanished between search and scoring
    QueryHit hit;
    hit.id = id;
    hit.similarity = clamp_unit((cosine + 1.0f) * 0.5f);
    hit.importance = clamp_unit(entry->importance);
    hits.push_back(hit);
    created.push_back(entry->created_at);
    oldest = std::min(oldest, entry->created_at);
    newest = std::max(newest, entry->created_at);
  }

  const float range = static_cast<float>(newest - oldest);
  const float w_s = static_cast<float>(weights.similarity) / 100.0f;
  const float w_i = static_cast<float>(weights.importance) / 100.0f;
  const float w_r = static_cast<float>(weights.recency) / 100.0f;
  const bool weighted = path == QueryPath::VectorGraphTemporal;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    QueryHit& hit = hits[i];
    hit.recency = newest == oldest ? 1.0f : static_cast<float>(created[i] - oldest) / range;
    hit.score = weighted ? ((hit.importance * w_i) + (hit.similarity * w_s)) + (hit.recency * w_r)
                         : hit.similarity;
  }

  if (top_k < hits.size()) {
    std::partial_sort(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(top_k), hits.end(),
                      ranks_before);
    hits.resize(top_k);
  } else {
    std::sort(hits.begin(), hits.end(), ranks_before);
  }
  return hits;
}

}  // namespace

Result<QueryExecution, HybridQueryError> QueryExecutor::execute_with_trace(
    std::string_view query_text, const QueryPlan& plan, const StateMachine& state_machine,
    const VectorIndex& vector_index, const QueryEmbedder& embedder, const QueryTrace& trace) {
  const Clock::time_point started = Clock::now();
  auto report = [&trace](QueryStage stage, std::size_t count) {
    if (trace) trace(stage, count);
  };
  const QueryOptions& options = plan.options;
  if (auto valid = validate(plan); !valid) return std::move(valid).error();

  auto embedded = embedder.embed(query_text);
  if (!embedded) {
    return HybridQueryError{HybridQueryError::EmbedderError{std::move(embedded).error()}};
  }
  const std::vector<float> embedding = std::move(*embedded);
  report(QueryStage::Embedded, embedding.size());

  // The weights and depth this query runs with: the caller's, unless its intent adjusts them.
  ScoreWeights weights = options.score_weights;
  std::optional<std::uint64_t> graph_hops = options.graph_hops;
  if (const auto anchors = intent_anchors_for(embedding.size(), embedder)) {
    const IntentPolicy policy = get_intent_policy();
    const auto adjustments = QueryPlanner::infer_intent_adjustments(
        embedding, anchors->semantic_anchor, anchors->recency_anchor, anchors->graph_anchor,
        policy.hops2_threshold, policy.hops3_threshold, policy.importance_pct);
    if (adjustments) {
      if (weights.is_default()) weights = adjustments->weights;
      if (graph_hops) graph_hops = adjustments->graph_hops;
    }
  }
  if (weights.similarity + weights.importance + weights.recency != 100) {
    return HybridQueryError{HybridQueryError::InvalidScoreWeights{
        weights.similarity, weights.importance, weights.recency}};
  }

  const std::size_t requested = saturating_mul(options.top_k, plan.candidate_multiplier);
  const std::optional<std::string_view> ns =
      options.namespace_ ? std::optional<std::string_view>(*options.namespace_) : std::nullopt;
  auto found = vector_index.search_scoped(embedding, requested, ns, plan.use_parallel,
                                          plan.ann_candidate_multiplier);
  if (!found) return HybridQueryError{HybridQueryError::VectorIndexError{std::move(found).error()}};
  SearchHits candidates = std::move(*found);
  report(QueryStage::VectorHits, candidates.size());

  // The namespace was applied by the search itself.
  const Metadata* metadata_filter = options.metadata_filter ? &*options.metadata_filter : nullptr;
  std::erase_if(candidates, [&](const SearchHit& hit) {
    return !matches_filters(state_machine, hit.first, std::nullopt, options.time_range,
                            metadata_filter);
  });
  report(QueryStage::Filtered, candidates.size());

  const bool expands = (static_cast<std::uint8_t>(plan.path) & 2) != 0;
  if (expands && graph_hops && *graph_hops != 0) {
    // Without a graph the exact scan answered, and its scores are the exact cosines.
    const bool scores_are_exact =
        vector_index.hnsw() == nullptr && vector_index.backend()->mode() == VectorSearchMode::Exact;
    auto expanded = expand_along_edges(candidates, scores_are_exact, embedding, *graph_hops, ns,
                                       metadata_filter, state_machine, vector_index);
    if (!expanded) return std::move(expanded).error();
    candidates = std::move(*expanded);
    report(QueryStage::Expanded, candidates.size());
  }

  QueryExecution execution;
  execution.hits = score_and_rank(candidates, weights, plan.path, options.top_k, state_machine);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  execution.elapsed_ms = static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed.count(), 0));
  execution.vector_candidates = requested;
  execution.filtered_candidates = execution.hits.size();
  execution.returned = execution.hits.size();
  execution.path = plan.path;
  execution.use_parallel = plan.use_parallel;
  report(QueryStage::Returned, execution.hits.size());
  return execution;
}

}  // namespace tessaradb
