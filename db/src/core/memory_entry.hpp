#pragma once

// The values every layer exchanges: the memory identifier, the memory record and the edge of the
// memory graph. Plain values with deep-copy and equality semantics; no I/O, no locks. Their byte
// encoding lives in storage/serialization.hpp and follows the field order declared here.

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/embedding.hpp"

namespace tessaradb {

// Unsigned 64-bit key of a memory. Equality, hashing and ordering are those of the integer.
struct MemoryId {
  std::uint64_t value = 0;

  constexpr MemoryId() = default;
  constexpr explicit MemoryId(std::uint64_t v) : value(v) {}
  friend constexpr auto operator<=>(MemoryId, MemoryId) = default;
};

// The debug form used inside error messages: "MemoryId(7)".
std::string debug_string(MemoryId id);

// Free key/value pairs of a memory. Its iteration order carries no meaning.
using Metadata = std::map<std::string, std::string>;

// One stored memory. Fields in declared order, which is also their order on disk.
struct MemoryEntry {
  MemoryId id;
  std::string namespace_;                     // partition label; edges stay within one namespace
  std::string content;                        // raw payload bytes, may be empty
  Embedding embedding;                        // the indexed vector; absent differs from empty
  Metadata metadata;
  std::uint64_t created_at = 0;               // whole seconds since the Unix epoch
  float importance = 0.0f;

  bool has_embedding() const { return embedding.has_value(); }
};

// All seven fields equal. Floats compare as numbers: NaN never equals anything, 0.0 equals -0.0.
bool operator==(const MemoryEntry& a, const MemoryEntry& b);

// One outgoing edge, stored under the key of its source memory. Ordered by `to`, then by the
// relation's bytes (a prefix sorts first).
struct Edge {
  MemoryId to;
  std::string relation;

  friend bool operator==(const Edge&, const Edge&) = default;
  friend std::strong_ordering operator<=>(const Edge& a, const Edge& b) {
    if (auto c = a.to <=> b.to; c != 0) return c;
    // std::string compares as unsigned bytes via char_traits<char>::compare (memcmp).
    int r = a.relation.compare(b.relation);
    return r < 0 ? std::strong_ordering::less
                 : (r > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
  }
};

}  // namespace tessaradb

template <>
struct std::hash<tessaradb::MemoryId> {
  std::size_t operator()(tessaradb::MemoryId id) const noexcept {
    return std::hash<std::uint64_t>{}(id.value);
  }
};
