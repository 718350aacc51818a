#pragma once

// QueryExecutor: answers one hybrid query against one read snapshot. It embeds the query text,
// lets the query's intent adjust weights and graph depth, over-fetches vector candidates,
// filters them by metadata and time, widens them along graph edges, scores them and returns the
// best top_k with a few execution figures.
//
// Its only lasting state is the process-wide intent anchor cache: for each embedding length,
// the embeddings of the intent policy's three texts (semantic, recency, graph), stored the first
// time a query of that length gets all three from its embedder with that length, and kept until
// the process ends. The key is the length alone, so the embedder that first fills an entry fixes
// the anchors of every later query of that length, whatever embedder those use. (An embedder
// that returns one fixed vector for every text makes all three anchors equal to the first query
// of that length.)

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "core/state_machine.hpp"
#include "index/vector.hpp"
#include "query/hybrid.hpp"
#include "query/planner.hpp"

namespace tessaradb {

// The embeddings of the intent policy's three texts, all of one length.
struct IntentAnchors {
  std::vector<float> semantic_anchor;
  std::vector<float> recency_anchor;
  std::vector<float> graph_anchor;
};

// The result of one query.
struct QueryExecution {
  // Whole milliseconds from the start of the call to the end of scoring.
  std::uint64_t elapsed_ms = 0;
  // Vector hits requested: top_k times the plan's candidate_multiplier, saturating.
  std::size_t vector_candidates = 0;
  // Both equal to hits.size().
  std::size_t filtered_candidates = 0;
  std::size_t returned = 0;
  QueryPath path = QueryPath::VectorOnly;
  bool use_parallel = false;
  // Best first: score descending, NaN scores after every number, equal scores by ascending id.
  std::vector<QueryHit> hits;
};

class QueryExecutor {
 public:
  // Runs `plan` (made by QueryPlanner::plan) against a snapshot's state machine and vector
  // index, which are only read and must stay alive and unchanged for the call. Steps and
  // errors, in order:
  //  1. top_k 0: InvalidTopK(0); candidate_multiplier 0 (in the options or the plan):
  //     InvalidCandidateMultiplier(0); a time range with end < start: InvalidTimeRange.
  //     Nothing has been embedded yet.
  //  2. Embed `query_text`; a failure is EmbedderError. Trace: Embedded.
  //  3. Intent anchors for the embedding's length (cached; see above). When available and
  //     QueryPlanner::infer_intent_adjustments returns adjustments, weights of exactly 70/20/10
  //     are replaced by the adjusted weights and a present graph_hops by the adjusted depth.
  //     Anchor failures only disable this step.
  //  4. Weights not adding up to 100: InvalidScoreWeights.
  //  5. VectorIndex::search_scoped for top_k * candidate_multiplier (saturating) hits in the
  //     options' namespace; an error is VectorIndexError. Trace: VectorHits.
  //  6. Keep the hits whose memory exists and passes the time range and metadata filter.
  //     Trace: Filtered.
  //  7. When the path has graph expansion and graph_hops is present and not 0: walk from every
  //     candidate (GraphIndex::bfs_internal, within the namespace); an error is GraphFailure.
  //     Every memory reached that passes the namespace and metadata filter (not the time range:
  //     a neighbour outside it can enter here) is rescored with VectorIndex::search_in_ids, and
  //     these become the candidates. Trace: Expanded.
  //  8. Score the candidates that still exist: similarity = clamp((cos + 1) / 2, 0, 1);
  //     importance clamped to [0, 1]; recency relative to the candidates' creation times. The
  //     score is the weighted sum on VectorGraphTemporal and the similarity alone on every other
  //     path. Sort (see QueryExecution::hits) and keep the first top_k. Trace: Returned.
  // All filtered out is an empty hit list, not an error. Thread-safe: any number of queries may
  // run at once. Allocates in proportion to the candidates found, never to top_k.
  static Result<QueryExecution, HybridQueryError> execute_with_trace(
      std::string_view query_text, const QueryPlan& plan, const StateMachine& state_machine,
      const VectorIndex& vector_index, const QueryEmbedder& embedder,
      const QueryTrace& trace = {});
};

}  // namespace tessaradb
