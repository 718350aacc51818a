#pragma once

// The vocabulary of a hybrid query: what the caller asks for (QueryOptions, ScoreWeights), how
// the query text becomes a vector (QueryEmbedder), what comes back (QueryHit), what can go wrong
// (HybridQueryError), and the filter that decides whether a memory is eligible
// (matches_filters). The planner (query/planner.hpp) and the executor (query/executor.hpp) build
// on these types.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "core/state_machine.hpp"
#include "index/errors.hpp"

namespace tessaradb {

// Percentages of the three score components. A valid set adds up to exactly 100; the executor
// refuses any other sum with InvalidScoreWeights. The defaults are what every facade query
// sends, and the executor treats exactly these values as "not chosen by the caller" (it may
// replace them with the weights the query's intent suggests).
struct ScoreWeights {
  std::uint8_t similarity = 70;
  std::uint8_t importance = 20;
  std::uint8_t recency = 10;

  // Are these exactly 70, 20, 10?
  bool is_default() const noexcept { return *this == ScoreWeights{}; }
  friend bool operator==(const ScoreWeights&, const ScoreWeights&) = default;
};

// A closed interval of creation times in whole seconds: start <= created_at <= end.
struct TimeRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;

  friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

// What one hybrid query asks for. The defaults of top_k and candidate_multiplier are those of a
// facade query; the planner replaces candidate_multiplier with its own value in any case.
struct QueryOptions {
  // Keep only memories created within the range (both ends included). Not applied to memories
  // that enter the results through graph expansion.
  std::optional<TimeRange> time_range;
  // Graph expansion depth; absent or 0 means no expansion.
  std::optional<std::uint64_t> graph_hops;
  // Restricts the vector search and the graph expansion to one namespace (byte equality).
  std::optional<std::string> namespace_;
  // Number of hits wanted; 0 is refused with InvalidTopK. Any value up to the largest unsigned
  // is accepted: nothing is allocated beyond the candidates that exist.
  std::size_t top_k = 10;
  // Over-fetch factor of the vector search; 0 is refused with InvalidCandidateMultiplier.
  std::size_t candidate_multiplier = 5;
  // Keep only memories whose metadata holds every pair of the map (extra keys do not matter;
  // an empty map keeps everything).
  std::optional<Metadata> metadata_filter;
  ScoreWeights score_weights;
};

// Which signals a query uses. Bit 0: a time range is present; bit 1: graph expansion was asked
// for (graph_hops present and not 0).
enum class QueryPath : std::uint8_t {
  VectorOnly = 0,
  VectorTemporal = 1,
  VectorGraph = 2,
  VectorGraphTemporal = 3,
};

// One result. `score` ranks the hits; the other three are the component values it was made
// from, each in [0, 1] unless an input was NaN: `similarity` is the cosine mapped by
// (cos + 1) / 2 and clamped, `importance` the memory's importance clamped, `recency` the
// memory's creation time relative to the oldest (0) and newest (1) candidate.
struct QueryHit {
  MemoryId id;
  float score = 0.0f;
  float similarity = 0.0f;
  float importance = 0.0f;
  float recency = 0.0f;
};

// Turns a query text into a vector. The executor calls it once for the query and, the first
// time a vector length is seen in the process, once for each of the three intent anchor texts
// (query/intent.hpp). An implementation must be callable from several threads at once (queries
// run concurrently). A failure is a text, reported as HybridQueryError::EmbedderError for the
// query and silently disabling intent adjustment for the anchors.
class QueryEmbedder {
 public:
  virtual ~QueryEmbedder() = default;
  virtual Result<std::vector<float>, std::string> embed(std::string_view text) const = 0;
};

// The embedder of a caller that already holds the query's vector: every text, the query's and
// the intent anchors' alike, gets a copy of that one vector, so the anchors of its length all
// equal the first query of that length (see QueryExecutor). Never fails; any number of threads
// may call it at once.
class FixedEmbedder final : public QueryEmbedder {
 public:
  explicit FixedEmbedder(std::vector<float> vector) : vector_(std::move(vector)) {}
  Result<std::vector<float>, std::string> embed(std::string_view) const override { return vector_; }

 private:
  std::vector<float> vector_;
};

// The points at which the executor reports progress to a QueryTrace, with the count it passes.
enum class QueryStage : std::uint8_t {
  Embedded = 0,     // length of the query embedding
  VectorHits = 1,   // hits returned by the vector search
  Filtered = 2,     // candidates left after the metadata and time filters
  Expanded = 3,     // candidates after graph expansion (only when expansion runs)
  Returned = 4,     // hits returned
};

// Optional observer of one query, called synchronously on the querying thread. An empty
// function observes nothing.
using QueryTrace = std::function<void(QueryStage stage, std::size_t count)>;

struct HybridQueryError {
  struct EmbedderError {
    std::string message;
  };
  struct VectorIndexError {
    VectorError inner;
  };
  struct GraphFailure {
    GraphError inner;
  };
  struct InvalidTopK {
    std::uint64_t top_k;
  };
  struct InvalidCandidateMultiplier {
    std::uint64_t candidate_multiplier;
  };
  struct InvalidScoreWeights {
    std::uint8_t similarity;
    std::uint8_t importance;
    std::uint8_t recency;
  };
  struct InvalidTimeRange {
    std::uint64_t start;
    std::uint64_t end;
  };
  std::variant<EmbedderError, VectorIndexError, GraphFailure, InvalidTopK,
               InvalidCandidateMultiplier, InvalidScoreWeights, InvalidTimeRange>
      kind;

  // "Embedder error: {}", "Vector error: {}", "Graph error: {}", "Invalid top_k: {}",
  // "Invalid candidate_multiplier: {}",
  // "Invalid score weights: similarity={}, importance={}, recency={}",
  // "Invalid time range: start={}, end={}".
  std::string message() const;
};

// Is `id` a memory of `state_machine` that passes every filter given? `ns`: its namespace equals
// it byte for byte. `time_range`: start <= created_at <= end. `metadata_filter` (nullptr for
// none): every key of the filter is present in the memory's metadata with an equal value.
// Cost: one lookup of the id plus one per filter key; allocates nothing.
bool matches_filters(const StateMachine& state_machine, MemoryId id,
                     std::optional<std::string_view> ns,
                     const std::optional<TimeRange>& time_range,
                     const Metadata* metadata_filter);

}  // namespace tessaradb
