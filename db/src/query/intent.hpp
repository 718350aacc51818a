#pragma once

// IntentPolicy: the process-wide texts and thresholds from which the executor derives a query's
// intent. The three texts are embedded (once per vector length and process, see
// query/executor.hpp) into anchor vectors; how close a query lies to each anchor decides its
// score weights and graph depth (QueryPlanner::infer_intent_adjustments).

#include <cstdint>
#include <string>

namespace tessaradb {

inline constexpr char kDefaultSemanticText[] = "semantic meaning, similar content, concept match";
inline constexpr char kDefaultRecencyText[] =
    "recent events, latest updates, time, timeline, schedule";
inline constexpr char kDefaultGraphText[] =
    "relationships, connections, linked people, social graph";

struct IntentPolicy {
  std::string semantic_text = kDefaultSemanticText;
  std::string recency_text = kDefaultRecencyText;
  std::string graph_text = kDefaultGraphText;
  // Similarity to the graph anchor (in [0, 1]) from which a query expands 2, resp. 3 hops;
  // both inclusive.
  float hops2_threshold = 0.55f;
  float hops3_threshold = 0.8f;
  // The importance weight every adjusted query gets; similarity and recency share the rest.
  std::uint8_t importance_pct = 20;
};

// A copy of the process's intent policy, taken under the shared side of its reader-writer lock
// (so no lock is held once this returns). The first call creates the policy with the defaults
// above; nothing changes it afterwards. Thread-safe. A lock that cannot be taken is a fatal
// internal error ("intent policy read lock poisoned").
IntentPolicy get_intent_policy();

}  // namespace tessaradb
