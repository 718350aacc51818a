#pragma once

// Test helpers for the query layer: embedders whose answers a test scripts, and a small world
// (a state machine with its matching vector index) to run plans against. Header-only, so only
// binaries that link the query library see it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_entry.hpp"
#include "core/state_machine.hpp"
#include "index/vector.hpp"
#include "query/executor.hpp"
#include "query/hybrid.hpp"
#include "query/intent.hpp"
#include "query/planner.hpp"

namespace tessaradb::testing {

// Answers every text with a copy of one vector: the facade's embedder.
using tessaradb::FixedEmbedder;

// Answers the texts it was given a vector (or a failure) for; any other text (the query) gets
// `query`. By default the three anchor texts fail, so queries run without intent adjustment.
class ScriptedEmbedder final : public QueryEmbedder {
 public:
  explicit ScriptedEmbedder(std::vector<float> query) : query_(std::move(query)) {}

  ScriptedEmbedder& answer(std::string text, std::vector<float> vector) {
    answers_[std::move(text)] = std::move(vector);
    return *this;
  }
  ScriptedEmbedder& fail(std::string text, std::string message) {
    answers_[std::move(text)] = std::move(message);
    return *this;
  }
  // Every anchor text of the default policy fails with "no anchors".
  ScriptedEmbedder& without_anchors();
  // The three anchor texts of the default policy get these vectors.
  ScriptedEmbedder& with_anchors(std::vector<float> semantic, std::vector<float> recency,
                                 std::vector<float> graph);

  Result<std::vector<float>, std::string> embed(std::string_view text) const override {
    calls_.fetch_add(1, std::memory_order_relaxed);
    const auto found = answers_.find(std::string(text));
    if (found == answers_.end()) return query_;
    if (const auto* message = std::get_if<std::string>(&found->second)) return Err{*message};
    return std::get<std::vector<float>>(found->second);
  }
  std::size_t calls() const { return calls_.load(); }

 private:
  std::vector<float> query_;
  std::map<std::string, std::variant<std::vector<float>, std::string>, std::less<>> answers_;
  mutable std::atomic<std::size_t> calls_{0};
};

inline ScriptedEmbedder& ScriptedEmbedder::without_anchors() {
  const IntentPolicy policy = get_intent_policy();
  fail(policy.semantic_text, "no anchors");
  fail(policy.recency_text, "no anchors");
  fail(policy.graph_text, "no anchors");
  return *this;
}

inline ScriptedEmbedder& ScriptedEmbedder::with_anchors(std::vector<float> semantic,
                                                        std::vector<float> recency,
                                                        std::vector<float> graph) {
  const IntentPolicy policy = get_intent_policy();
  answer(policy.semantic_text, std::move(semantic));
  answer(policy.recency_text, std::move(recency));
  answer(policy.graph_text, std::move(graph));
  return *this;
}

// A vector length that no earlier caller in this process received. The intent anchor cache is
// process-wide and keyed by length, so a test that lets anchors succeed takes a fresh length to
// start from an empty entry whatever ran before it.
inline std::size_t fresh_query_dimension() {
  static std::atomic<std::size_t> next{1000};
  return next.fetch_add(1);
}

// What a memory of a QueryWorld looks like apart from its id and vector; set with the chainable
// setters: MemorySpec{}.created(100).weighing(0.5f).in("team").with({{"k", "v"}}).
struct MemorySpec {
  std::string ns = "default";
  std::uint64_t created_at = 100;
  float importance = 0.0f;
  Metadata metadata;

  MemorySpec& in(std::string name) { ns = std::move(name); return *this; }
  MemorySpec& created(std::uint64_t seconds) { created_at = seconds; return *this; }
  MemorySpec& weighing(float value) { importance = value; return *this; }
  MemorySpec& with(Metadata pairs) { metadata = std::move(pairs); return *this; }
};

// A state machine and the vector index that matches it, as a read snapshot holds them.
class QueryWorld {
 public:
  explicit QueryWorld(std::size_t dimension) : index(dimension) {}

  MemoryId add(std::uint64_t id, std::vector<float> vector, MemorySpec spec = {}) {
    MemoryEntry entry;
    entry.id = MemoryId{id};
    entry.namespace_ = spec.ns;
    entry.embedding = vector;
    entry.metadata = std::move(spec.metadata);
    entry.created_at = spec.created_at;
    entry.importance = spec.importance;
    state.insert_memory(std::move(entry));
    auto indexed = index.index_in_namespace(spec.ns, MemoryId{id}, std::move(vector));
    EXPECT_TRUE(indexed);
    return MemoryId{id};
  }

  void connect(std::uint64_t from, std::uint64_t to, const std::string& relation = "rel") {
    auto added = state.add_edge(MemoryId{from}, MemoryId{to}, relation);
    EXPECT_TRUE(added) << added.error().message();
  }

  // Plans `options` as the store does and runs the plan.
  Result<QueryExecution, HybridQueryError> run(const QueryOptions& options,
                                               const QueryEmbedder& embedder,
                                               const QueryTrace& trace = {}) const {
    return QueryExecutor::execute_with_trace("query", QueryPlanner::plan(options, index.len()),
                                             state, index, embedder, trace);
  }

  StateMachine state;
  VectorIndex index;
};

// The ids of the hits, in order.
inline std::vector<std::uint64_t> hit_ids(const QueryExecution& execution) {
  std::vector<std::uint64_t> ids;
  for (const QueryHit& hit : execution.hits) ids.push_back(hit.id.value);
  return ids;
}

}  // namespace tessaradb::testing
