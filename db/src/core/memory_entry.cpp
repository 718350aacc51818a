#include "core/memory_entry.hpp"

namespace tessaradb {

std::string debug_string(MemoryId id) { return "MemoryId(" + std::to_string(id.value) + ")"; }

bool operator==(const MemoryEntry& a, const MemoryEntry& b) {
  // Embeddings compare element-wise as numbers (see Embedding's operator==).
  if (!(a.embedding == b.embedding)) return false;
  return a.id == b.id && a.namespace_ == b.namespace_ && a.content == b.content &&
         a.metadata == b.metadata && a.created_at == b.created_at && a.importance == b.importance;
}

}  // namespace tessaradb
