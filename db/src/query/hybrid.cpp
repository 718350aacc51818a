#include "query/hybrid.hpp"

#include <string>
#include <type_traits>

namespace tessaradb {

std::string HybridQueryError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, EmbedderError>) {
          return "Embedder error: " + e.message;
        } else if constexpr (std::is_same_v<T, VectorIndexError>) {
          return "Vector error: " + e.inner.message();
        } else if constexpr (std::is_same_v<T, GraphFailure>) {
          return "Graph error: " + e.inner.message();
        } else if constexpr (std::is_same_v<T, InvalidTopK>) {
          return "Invalid top_k: " + std::to_string(e.top_k);
        } else if constexpr (std::is_same_v<T, InvalidCandidateMultiplier>) {
          return "Invalid candidate_multiplier: " + std::to_string(e.candidate_multiplier);
        } else if constexpr (std::is_same_v<T, InvalidScoreWeights>) {
          return "Invalid score weights: similarity=" + std::to_string(e.similarity) +
                 ", importance=" + std::to_string(e.importance) +
                 ", recency=" + std::to_string(e.recency);
        } else {
          static_assert(std::is_same_v<T, InvalidTimeRange>);
          return "Invalid time range: start=" + std::to_string(e.start) +
                 ", end=" + std::to_string(e.end);
        }
      },
      kind);
}

bool matches_filters(const StateMachine& state_machine, MemoryId id,
                     std::optional<std::string_view> ns,
                     const std::optional<TimeRange>& time_range,
                     const Metadata* metadata_filter) {
  const MemoryEntry* entry = state_machine.get(id);
  if (entry == nullptr) return false;
  if (ns && entry->namespace_ != *ns) return false;
  if (time_range &&
      (entry->created_at < time_range->start || entry->created_at > time_range->end)) {
    return false;
  }
  if (metadata_filter != nullptr) {
    for (const auto& [key, value] : *metadata_filter) {
      const auto found = entry->metadata.find(key);
      if (found == entry->metadata.end() || found->second != value) return false;
    }
  }
  return true;
}

}  // namespace tessaradb
