#pragma once

// The result form of every similarity search in the index layer: (id, cosine score) pairs,
// best first.

#include <utility>
#include <vector>

#include "core/memory_entry.hpp"

namespace tessaradb {

using SearchHit = std::pair<MemoryId, float>;
using SearchHits = std::vector<SearchHit>;

}  // namespace tessaradb
