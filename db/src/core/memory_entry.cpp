#include "core/memory_entry.hpp"

namespace tessaradb {

std::string debug_string(MemoryId id) { return "MemoryId(" + std::to_string(id.value) + ")"; }

bool operator==(const MemoryEntry& a, const MemoryEntry& b) {
  // Element-wise float comparison: vector<float>::operator== would do the same, but spelling it
  // out keeps the NaN and signed-zero rules visible where they matter.
  if (a.embedding.has_value() != b.embedding.has_value()) return false;
  if (a.embedding) {
    const auto& x = *a.embedding;
    const auto& y = *b.embedding;
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!(x[i] == y[i])) return false;
    }
  }
  return a.id == b.id && a.namespace_ == b.namespace_ && a.content == b.content &&
         a.metadata == b.metadata && a.created_at == b.created_at && a.importance == b.importance;
}

}  // namespace tessaradb
