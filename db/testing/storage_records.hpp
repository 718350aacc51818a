#pragma once

// Record builders for storage tests.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/command.hpp"
#include "core/memory_entry.hpp"

namespace tessaradb::testing {

// A memory with every field set: `dimension` floats, two metadata pairs.
inline MemoryEntry make_entry(std::uint64_t id, std::size_t dimension = 4,
                              std::string namespace_ = "default") {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = std::move(namespace_);
  e.content = "content of " + std::to_string(id);
  std::vector<float> v(dimension);
  for (std::size_t i = 0; i < dimension; ++i) {
    v[i] = static_cast<float>(id) + 0.25f * static_cast<float>(i);
  }
  e.embedding = std::move(v);
  e.metadata = {{"kind", "note"}, {"n", std::to_string(id)}};
  e.created_at = 1700000000 + id;
  e.importance = 0.5f;
  return e;
}

// The smallest memory: empty strings, no embedding, no metadata (45 bytes encoded).
inline MemoryEntry minimal_entry(std::uint64_t id) {
  MemoryEntry e;
  e.id = MemoryId{id};
  return e;
}

// One command of each variant.
inline std::vector<Command> one_of_each_command() {
  return {InsertMemory{make_entry(1)}, DeleteMemory{MemoryId{7}},
          AddEdge{MemoryId{1}, MemoryId{2}, "follows"}, RemoveEdge{MemoryId{1}, MemoryId{2}}};
}

}  // namespace tessaradb::testing
