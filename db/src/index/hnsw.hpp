#pragma once

// HnswBackend: one approximate nearest-neighbour index (an HNSW graph kept by the USearch
// library) over MemoryId keys, cosine metric, 32-bit floats, one vector per key.
//
// The backend is shared by reference count: the writer's VectorIndex and every snapshot copy of
// it hold the same std::shared_ptr<HnswBackend>, so there is one graph per open database. All
// methods are safe to call from any thread. Searches and the other reads run concurrently, each
// search in a search slot of its own (one per hardware thread; a search waits while every slot
// is taken); add, remove and the save take the backend exclusively.
//
// Generation. Every add or remove that gets past its length check and takes the lock advances
// the graph's generation by exactly one, whether the library then succeeds or not, so a caller
// that saw generation g before its own n successful writes and sees g + n after them knows
// nobody else changed the graph in between.
//
// Only hnsw.cpp includes the library. Every library call there sits inside try/catch and every
// library result is checked, so nothing the library does escapes as an exception; library
// failures come back as HnswError::UsearchError with the library's message.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "index/errors.hpp"
#include "index/search_hit.hpp"

namespace tessaradb {

// Graph parameters, passed to the library unchecked.
struct HnswConfig {
  std::uint64_t m = 16;                 // connectivity
  std::uint64_t ef_construction = 200;  // expansion at insertion
  std::uint64_t ef_search = 50;         // expansion at search

  friend bool operator==(const HnswConfig&, const HnswConfig&) = default;
};

class HnswBackend {
 public:
  // An empty index of `dimension` floats per vector. A library failure is UsearchError.
  static Result<std::shared_ptr<HnswBackend>, HnswError> create(std::size_t dimension,
                                                                HnswConfig config);

  // Reads an index file written by save_to_file. A path whose metadata cannot be read fails with
  // IoError of kind NotFound, "HNSW index file not found". The file is untrusted input: a file
  // that is damaged, truncated, of another dimension or metric, or with multi-key mode fails
  // with UsearchError (never a crash), and the caller rebuilds the graph.
  static Result<std::shared_ptr<HnswBackend>, HnswError> load_from_file(
      const std::filesystem::path& path, std::size_t dimension, HnswConfig config);

  ~HnswBackend();
  HnswBackend(const HnswBackend&) = delete;
  HnswBackend& operator=(const HnswBackend&) = delete;

  // Adds `vector` under `id`, growing the reserved capacity (doubling) when it is full. A vector
  // of the wrong length is DimensionMismatch, checked before the lock. A key that is already
  // present is refused by the library (UsearchError) and keeps its old vector; to replace a
  // vector, remove the key first (VectorIndex does).
  Result<void, HnswError> add(MemoryId id, std::span<const float> vector);

  // Removes `id`; an absent key is not an error.
  Result<void, HnswError> remove(MemoryId id);

  // The `k` nearest keys, nearest first, each with similarity 1 - cosine distance.
  // DimensionMismatch for a query of the wrong length; NoVectors while the reserved capacity is
  // still 0 (nothing was ever added).
  Result<SearchHits, HnswError> search(std::span<const float> query, std::size_t k) const;

  // As search, but only keys for which `accept` returns true are returned (the graph is still
  // walked through the others). `accept` runs under the backend's lock and must not call back
  // into this backend. When `all_accepted_at` equals the graph's generation at the time of the
  // search, the caller vouches that `accept` holds for every key the graph has at that
  // generation, and the walk skips calling it: the result is the same, only cheaper.
  Result<SearchHits, HnswError> search_filtered(
      std::span<const float> query, std::size_t k, const std::function<bool(MemoryId)>& accept,
      std::optional<std::uint64_t> all_accepted_at = std::nullopt) const;

  // Writes the index to `path` durably: creates missing parent directories (0777 before umask),
  // writes a temporary file beside the target, syncs it, renames it over `path` and syncs the
  // directory, so a crash leaves either the old file or the new one. Directory and file-system
  // failures are IoError; a library failure while writing is UsearchError.
  Result<void, HnswError> save_to_file(const std::filesystem::path& path) const;

  // Is `id` a key of the graph?
  bool contains(MemoryId id) const;

  // A copy of the vector stored under `id` (as the library keeps it), or nothing when absent.
  Result<std::optional<std::vector<float>>, HnswError> get(MemoryId id) const;

  // Copies the vectors stored under `ids` (as the library keeps them) into `out`, one row of
  // dimension() floats after the other, and returns true, provided the graph's generation is
  // `generation` while it copies. False when it is not, a key is absent or the lock or the
  // library fails; `out` then holds nothing meaningful.
  bool copy_vectors_at(std::uint64_t generation, std::span<const MemoryId> ids, float* out) const;

  // Every key of the graph, in no particular order.
  Result<std::vector<MemoryId>, HnswError> keys() const;

  // Number of keys held.
  std::size_t size() const;

  // The generation (see above); 0 for a new or freshly loaded graph.
  std::uint64_t generation() const;

  std::size_t dimension() const noexcept { return dimension_; }
  const HnswConfig& config() const noexcept { return config_; }

 private:
  struct Impl;  // the library index; defined in hnsw.cpp only
  HnswBackend(std::size_t dimension, HnswConfig config, std::unique_ptr<Impl> impl);

  const std::size_t dimension_;
  const HnswConfig config_;
  // A writer holds this while it waits for mutex_, and readers pass through it before taking
  // mutex_ shared: the system's reader-writer lock prefers readers, and a steady stream of
  // overlapping searches would otherwise keep a writer waiting for ever.
  mutable std::mutex write_gate_;
  // Guards impl_ (the library index, its reserved capacity and the generation): shared by
  // searches and reads, exclusive for writes and the save. The search slots inside impl_ have
  // their own small lock, taken while this one is held shared.
  mutable std::shared_mutex mutex_;
  std::unique_ptr<Impl> impl_;
};

namespace detail {

// A test seam: when set, save_to_file calls it before each of its file steps with the step's
// name: "create", "write" (before the first byte), "sync", "close", "rename", "sync_directory".
// The reliability harness ends the process there to check that every interrupted save leaves a
// database that opens. Process-wide; unset (the default) it costs one atomic load per step.
using HnswSaveStepHook = void (*)(const char* step);
void set_hnsw_save_step_hook(HnswSaveStepHook hook);

}  // namespace detail

}  // namespace tessaradb
