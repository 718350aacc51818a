// What the hybrid executor adds to the vector search it runs.
//
// 100k memories of 384 floats in one namespace, each with 4 outgoing edges to random memories.
// For the same random queries: the bare VectorIndex::search_scoped the executor issues (k = 50,
// parallel, as the planner decides for top_k 10 with graph expansion), and the whole executor
// on a facade-style query (top_k 10, graph_hops 1, default weights, an embedder that returns
// the caller's vector, so the intent anchors are the first query's vector). Also: a query
// without graph expansion against its bare search (k = 30), and a query equal to the anchors,
// which the intent policy sends 3 hops deep. Medians of several runs, all from this one run.

#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.hpp"
#include "core/state_machine.hpp"
#include "index/vector.hpp"
#include "query/executor.hpp"
#include "query/planner.hpp"

namespace {

using namespace tessaradb;
using tessaradb::bench::median;
using tessaradb::bench::now_seconds;

constexpr std::size_t kDimension = 384;
constexpr std::size_t kMemories = 100'000;
constexpr std::size_t kEdgesPerMemory = 4;
constexpr int kQueries = 15;

// The facade's kind of embedder: every text gets the caller's vector.
class CallerVector final : public QueryEmbedder {
 public:
  explicit CallerVector(const std::vector<float>& vector) : vector_(vector) {}
  Result<std::vector<float>, std::string> embed(std::string_view) const override {
    return vector_;
  }

 private:
  const std::vector<float>& vector_;
};

std::vector<float> random_vector(std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(kDimension);
  for (float& x : v) x = dist(rng);
  return v;
}

struct Figures {
  double bare_ms;
  double executor_ms;
  double expansion_ms;  // walks, filters and rescoring of the expanded set
  std::size_t expanded;
  std::size_t hits;
};

Figures measure(const StateMachine& state, const VectorIndex& index, const QueryOptions& options,
                const std::vector<std::vector<float>>& queries) {
  const QueryPlan plan = QueryPlanner::plan(options, index.len());
  const std::size_t k = options.top_k * plan.candidate_multiplier;
  std::vector<double> bare, executor, expansion;
  std::size_t hits = 0, expanded = 0;
  for (const auto& query : queries) {
    // Alternate the two so that drifting machine load affects both alike.
    double start = now_seconds();
    auto found = index.search_scoped(query, k, std::nullopt, plan.use_parallel,
                                     plan.ann_candidate_multiplier);
    bare.push_back(now_seconds() - start);
    if (!found) std::fprintf(stderr, "search failed: %s\n", found.error().message().c_str());

    double filtered_at = 0, expanded_at = 0;
    const QueryTrace trace = [&](QueryStage stage, std::size_t count) {
      if (stage == QueryStage::Filtered) filtered_at = now_seconds();
      if (stage == QueryStage::Expanded) expanded_at = now_seconds(), expanded = count;
    };
    start = now_seconds();
    auto result =
        QueryExecutor::execute_with_trace("", plan, state, index, CallerVector(query), trace);
    executor.push_back(now_seconds() - start);
    expansion.push_back(expanded_at > 0 ? expanded_at - filtered_at : 0.0);
    if (!result) std::fprintf(stderr, "query failed: %s\n", result.error().message().c_str());
    else hits = result->hits.size();
  }
  return {median(bare) * 1e3, median(executor) * 1e3, median(expansion) * 1e3, expanded, hits};
}

void print_row(const char* name, const Figures& f) {
  std::printf("%-32s %11.3f %9.3f %7.3f %6.3fx %10.3f %9zu %5zu\n", name, f.bare_ms,
              f.executor_ms, f.executor_ms - f.bare_ms, f.executor_ms / f.bare_ms, f.expansion_ms,
              f.expanded, f.hits);
}

}  // namespace

int main() {
  std::mt19937 rng{12345};
  StateMachine state;
  VectorIndex index(kDimension);
  for (std::uint64_t id = 1; id <= kMemories; ++id) {
    MemoryEntry entry;
    entry.id = MemoryId{id};
    entry.namespace_ = "default";
    entry.embedding = random_vector(rng);
    entry.created_at = 1'700'000'000 + id;
    if (!index.index_in_namespace("default", entry.id, entry.embedding)) return 1;
    state.insert_memory(std::move(entry));
  }
  std::uniform_int_distribution<std::uint64_t> pick(1, kMemories);
  for (std::uint64_t id = 1; id <= kMemories; ++id) {
    for (std::size_t e = 0; e < kEdgesPerMemory; ++e) {
      if (!state.add_edge(MemoryId{id}, MemoryId{pick(rng)}, "related")) return 1;
    }
  }

  std::vector<std::vector<float>> queries;
  for (int i = 0; i < kQueries; ++i) queries.push_back(random_vector(rng));
  // The first query of this length fixes the intent anchors (as the facade's first ask does).
  const std::vector<float> anchor_query = random_vector(rng);
  {
    QueryOptions warm;
    warm.graph_hops = 1;
    const QueryPlan plan = QueryPlanner::plan(warm, index.len());
    auto result =
        QueryExecutor::execute_with_trace("", plan, state, index, CallerVector(anchor_query));
    if (!result) return 1;
  }

  std::printf("%zu memories x %zu floats, %zu edges each; medians of %d queries (ms)\n",
              kMemories, kDimension, kEdgesPerMemory, kQueries);
  std::printf("%-32s %11s %9s %7s %7s %10s %9s %5s\n", "query", "bare search", "executor",
              "added", "ratio", "expansion", "expanded", "hits");

  QueryOptions facade;
  facade.graph_hops = 1;
  facade.top_k = 10;
  print_row("facade (top_k 10, 1 hop, k 50)", measure(state, index, facade, queries));

  QueryOptions plain;
  plain.top_k = 10;
  print_row("no expansion (top_k 10, k 30)", measure(state, index, plain, queries));

  const std::vector<std::vector<float>> at_anchor(kQueries, anchor_query);
  print_row("query = anchors (3 hops, k 50)", measure(state, index, facade, at_anchor));
  return 0;
}
