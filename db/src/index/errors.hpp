#pragma once

// The error values of the index layer. Each is a tagged union with one message() that spells out
// its fixed texts; the layers above wrap them ("Vector error: ...", "Graph error: ...").

#include <cstdint>
#include <string>
#include <variant>

#include "core/memory_entry.hpp"

namespace tessaradb {

// An I/O failure met by the index layer (the HNSW file). Kept apart from the storage layer's
// error type so that the index library does not depend on storage; the store converts it.
struct IndexIoError {
  enum class Kind : std::uint8_t { NotFound, Other };
  Kind kind = Kind::Other;
  std::string text;  // the full display text, e.g. "HNSW index file not found"

  const std::string& message() const { return text; }
};

struct VectorError {
  struct DimensionMismatch {
    std::uint64_t expected;
    std::uint64_t actual;
  };
  struct EmptyQuery {};
  struct ZeroVector {};
  struct NoEmbeddings {};
  struct InvalidTopK {
    std::uint64_t top_k;
  };
  std::variant<DimensionMismatch, EmptyQuery, ZeroVector, NoEmbeddings, InvalidTopK> kind;

  // "Dimension mismatch: expected 4, got 3", "Empty query vector",
  // "Zero vector provided (magnitude is 0)", "No embeddings indexed", "Invalid top_k: 0".
  std::string message() const;
};

struct HnswError {
  struct UsearchError {
    std::string message;  // the library's own text
  };
  struct DimensionMismatch {
    std::uint64_t expected;
    std::uint64_t actual;
  };
  struct NoVectors {};
  struct IoError {
    IndexIoError inner;
  };
  struct LockError {};
  std::variant<UsearchError, DimensionMismatch, NoVectors, IoError, LockError> kind;

  // "USearch error: {}", "Dimension mismatch: expected {}, got {}", "No vectors indexed",
  // "IO error: {}", "Lock error".
  std::string message() const;

  // The debug form written in the exact-search fallback warning: UsearchError("..."),
  // DimensionMismatch { expected: 4, actual: 3 }, NoVectors, IoError(...), LockError.
  std::string debug_string() const;
};

struct GraphError {
  struct MemoryNotFound {
    MemoryId id;
  };
  struct InvalidMaxHops {
    std::uint64_t max_hops;
  };
  std::variant<MemoryNotFound, InvalidMaxHops> kind;

  // "Memory not found: MemoryId(7)", "Invalid max_hops: 0".
  std::string message() const;
};

}  // namespace tessaradb
