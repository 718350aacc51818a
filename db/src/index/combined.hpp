#pragma once

// IndexLayer: the indexes that the store's write state and every read snapshot carry next to
// the state machine. Copying it copies the vector index in O(1) (rows are shared, see
// vector.hpp) and shares the HNSW graph; the graph index has no state.

#include <cstddef>
#include <utility>

#include "index/graph.hpp"
#include "index/vector.hpp"

namespace tessaradb {

struct IndexLayer {
  VectorIndex vector;
  GraphIndex graph;

  explicit IndexLayer(VectorIndex vector_index) : vector(std::move(vector_index)) {}
  explicit IndexLayer(std::size_t dimension) : vector(dimension) {}
};

}  // namespace tessaradb
