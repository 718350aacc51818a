#include "query/hybrid.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tessaradb {
namespace {

TEST(HybridQueryError, Messages) {
  using E = HybridQueryError;
  struct Case {
    E error;
    std::string text;
  };
  const Case cases[] = {
      {E{E::EmbedderError{"model offline"}}, "Embedder error: model offline"},
      {E{E::VectorIndexError{VectorError{VectorError::NoEmbeddings{}}}},
       "Vector error: No embeddings indexed"},
      {E{E::VectorIndexError{VectorError{VectorError::DimensionMismatch{4, 3}}}},
       "Vector error: Dimension mismatch: expected 4, got 3"},
      {E{E::GraphFailure{GraphError{GraphError::MemoryNotFound{MemoryId{7}}}}},
       "Graph error: Memory not found: MemoryId(7)"},
      {E{E::InvalidTopK{0}}, "Invalid top_k: 0"},
      {E{E::InvalidCandidateMultiplier{0}}, "Invalid candidate_multiplier: 0"},
      {E{E::InvalidScoreWeights{50, 30, 30}},
       "Invalid score weights: similarity=50, importance=30, recency=30"},
      {E{E::InvalidScoreWeights{255, 0, 1}},
       "Invalid score weights: similarity=255, importance=0, recency=1"},
      {E{E::InvalidTimeRange{18446744073709551615u, 4}},
       "Invalid time range: start=18446744073709551615, end=4"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

TEST(MatchesFilters, EveryGivenFilterMustHold) {
  StateMachine state;
  MemoryEntry entry;
  entry.id = MemoryId{1};
  entry.namespace_ = "team";
  entry.created_at = 100;
  entry.metadata = {{"k", "v"}, {"x", "y"}};
  state.insert_memory(entry);

  struct Case {
    const char* name;
    std::uint64_t id;
    std::optional<std::string_view> ns;
    std::optional<TimeRange> range;
    std::optional<Metadata> filter;
    bool matches;
  };
  const Case cases[] = {
      {"no filters", 1, std::nullopt, std::nullopt, std::nullopt, true},
      {"absent memory", 2, std::nullopt, std::nullopt, std::nullopt, false},
      {"same namespace", 1, "team", std::nullopt, std::nullopt, true},
      {"other namespace", 1, "Team", std::nullopt, std::nullopt, false},
      {"namespace prefix", 1, "tea", std::nullopt, std::nullopt, false},
      {"range of one second", 1, std::nullopt, TimeRange{100, 100}, std::nullopt, true},
      {"range ends before", 1, std::nullopt, TimeRange{0, 99}, std::nullopt, false},
      {"range starts after", 1, std::nullopt, TimeRange{101, 500}, std::nullopt, false},
      {"one pair held", 1, std::nullopt, std::nullopt, Metadata{{"k", "v"}}, true},
      {"both pairs held", 1, std::nullopt, std::nullopt, Metadata{{"k", "v"}, {"x", "y"}}, true},
      {"other value", 1, std::nullopt, std::nullopt, Metadata{{"k", "w"}}, false},
      {"missing key", 1, std::nullopt, std::nullopt, Metadata{{"z", "v"}}, false},
      {"one of two pairs missing", 1, std::nullopt, std::nullopt,
       Metadata{{"k", "v"}, {"q", "r"}}, false},
      {"empty filter", 1, std::nullopt, std::nullopt, Metadata{}, true},
      {"all at once", 1, "team", TimeRange{50, 150}, Metadata{{"x", "y"}}, true},
      {"all but the range", 1, "team", TimeRange{150, 150}, Metadata{{"x", "y"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Metadata* filter = c.filter ? &*c.filter : nullptr;
    EXPECT_EQ(matches_filters(state, MemoryId{c.id}, c.ns, c.range, filter), c.matches);
  }
}

}  // namespace
}  // namespace tessaradb
