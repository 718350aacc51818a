#pragma once

// VectorIndex: one embedding per memory, grouped by namespace, answering top-k cosine-similarity
// searches over all namespaces or over one.
//
// Scores. A score is cosine similarity in single precision with sums taken in element order:
// dot = sum q[i]*v[i], nv = sum v[i]*v[i], nq = sum q[i]*q[i], each accumulated from 0.0f in
// index order without fused multiply-add; score = dot / (sqrt(nv) * sqrt(nq)), and 0.0 when nv
// is 0. Every search path (sequential, parallel, by ids) returns exactly these bits. NaN inputs
// are not rejected and propagate into scores.
//
// Order. Results are sorted by score descending; equal scores keep the order in which the scan
// produced them (a deterministic order for a given index value: namespaces, then rows in
// insertion order); NaN scores sort after every number. The list is cut to top_k; nothing is
// allocated beyond min(top_k, candidates).
//
// Copies. Copying a VectorIndex is O(1) in the number of vectors: the rows of each namespace
// live in an append-only arena of fixed-capacity blocks that copies share, and the id and
// namespace maps are persistent maps. A copy behaves exactly like a deep copy taken at that
// moment: later writes to either side are invisible to the other. The search backends (the
// exact-mode strategy objects and the HNSW graph) are shared by all copies.
//
// Threads. One thread may write an index while any number of threads read copies of it
// (the store's snapshots). A single index value must not be written and read at once.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/memory_entry.hpp"
#include "core/persistent_map.hpp"
#include "core/result.hpp"
#include "index/errors.hpp"
#include "index/hnsw.hpp"
#include "index/search_hit.hpp"
#include "index/vector_arena.hpp"

namespace tessaradb {

class VectorIndex;

namespace detail {
struct Located;  // a stored row found for an id (vector.cpp)
}  // namespace detail

enum class VectorSearchMode : std::uint8_t { Exact = 0, Approximate = 1 };

// Decides between exact and approximate search.
class VectorSearchBackend {
 public:
  virtual ~VectorSearchBackend() = default;
  virtual std::string_view debug_name() const = 0;
  virtual VectorSearchMode mode() const = 0;
  // Over-fetch factor for the approximate path.
  virtual std::size_t ann_multiplier_hint() const = 0;
};

// The only backend: always exact, hint 1, no state.
class ExactBackend final : public VectorSearchBackend {
 public:
  std::string_view debug_name() const override { return "ExactBackend"; }
  VectorSearchMode mode() const override { return VectorSearchMode::Exact; }
  std::size_t ann_multiplier_hint() const override { return 1; }
};

// Supplies candidate ids for the approximate path.
class AnnCandidateProvider {
 public:
  virtual ~AnnCandidateProvider() = default;
  virtual std::string_view debug_name() const = 0;
  virtual std::string_view name() const = 0;
  // Up to `count` candidate ids, best first, from the namespace's partition (or from all).
  virtual Result<std::vector<MemoryId>, VectorError> candidates(std::span<const float> query,
                                                                std::size_t count,
                                                                std::optional<std::string_view> ns,
                                                                const VectorIndex& index) const = 0;
};

// Ranks every vector of the scope by the cosine of its first p = min(len(query), 8) elements
// (at least 1) against the query's first p. ZeroVector when the query prefix has norm 0;
// NoEmbeddings when nothing was scored and no namespace was given; an empty list when a
// namespace was given.
class PrefixAnnCandidateProvider final : public AnnCandidateProvider {
 public:
  std::string_view debug_name() const override { return "PrefixAnnCandidateProvider"; }
  std::string_view name() const override { return "prefix"; }
  Result<std::vector<MemoryId>, VectorError> candidates(std::span<const float> query,
                                                        std::size_t count,
                                                        std::optional<std::string_view> ns,
                                                        const VectorIndex& index) const override;
};

class VectorIndex {
 public:
  // An empty index of `dimension` floats per vector, exact search only.
  explicit VectorIndex(std::size_t dimension);

  // An empty index with an HNSW backend: `loaded` when given (read with load_hnsw), else a fresh
  // HnswBackend::create(dimension, config). If creation fails the result is NoEmbeddings (the
  // HNSW error is dropped) and the caller falls back to VectorIndex(dimension).
  static Result<VectorIndex, VectorError> new_with_loaded_hnsw(std::size_t dimension,
                                                               const HnswConfig& config,
                                                               std::shared_ptr<HnswBackend> loaded);

  VectorIndex(const VectorIndex&) = default;  // O(1); see "Copies" above
  VectorIndex& operator=(const VectorIndex&) = default;
  VectorIndex(VectorIndex&&) noexcept = default;
  VectorIndex& operator=(VectorIndex&&) noexcept = default;

  std::size_t dimension() const noexcept { return dimension_; }

  // Adds or replaces the vector of `id` under `ns`. A vector whose length is not dimension() is
  // DimensionMismatch {dimension(), length} and changes nothing. An id stored under another
  // namespace moves: its old partition stays, even when left empty. With an HNSW backend the id
  // is also put into the graph; a different vector already there for `id` is removed first so
  // the graph holds the new one, an equal one is kept as it is. HNSW errors are ignored.
  // Cost: O(dimension + log n), amortised (dead rows are reclaimed by rebuilding a partition
  // once they outnumber its live rows).
  Result<void, VectorError> index_in_namespace(std::string_view ns, MemoryId id,
                                               std::span<const float> vector);
  Result<void, VectorError> index_in_namespace(std::string_view ns, MemoryId id,
                                               const std::vector<float>& vector) {
    return index_in_namespace(ns, id, std::span<const float>(vector));
  }
  // The same for an Embedding (absent counts as length 0); a strided one is gathered first.
  Result<void, VectorError> index_in_namespace(std::string_view ns, MemoryId id,
                                               const Embedding& vector);

  // A view of the row stored for `id` (absent when `id` is not stored). Rows never change once
  // written, and the view keeps its block alive, so it stays valid and equal to what was stored
  // for as long as it is held, whatever later writes, rebuilds or copies of the index do. Lets
  // the state share the index's floats instead of holding a copy. O(log n).
  Embedding row_view(MemoryId id) const;

  // Ids whose rows a write of this index value moved into a new block (a partition rebuilt to
  // reclaim dead rows) since the last call, in no particular order; views taken before the move
  // keep the old block alive until they are replaced by fresh ones. Clears the list.
  std::vector<MemoryId> take_moved_ids() { return std::exchange(moved_ids_, {}); }

  // Forgets `id` (also in the HNSW graph, errors ignored); an unknown id succeeds unchanged. The
  // partition is dropped when this leaves it empty. Never fails in practice.
  Result<void, VectorError> remove(MemoryId id);

  // Is `id` stored (in the partition its namespace names)?
  bool has(MemoryId id) const;

  // Number of vectors over all partitions.
  std::size_t len() const noexcept { return live_count_; }

  // The namespace `id` is stored under, or nothing. The view lives as long as this index value
  // is neither written nor destroyed.
  std::optional<std::string_view> namespace_of(MemoryId id) const;

  // A copy of the stored vector of `id`, or nothing.
  std::optional<std::vector<float>> vector_of(MemoryId id) const;

  // Partitions present (including partitions left empty by a move) and one partition's size.
  std::size_t partition_count() const noexcept { return partitions_.size(); }
  bool has_partition(std::string_view ns) const;
  std::size_t partition_len(std::string_view ns) const;  // 0 when absent

  // Calls f(MemoryId) for every stored id, ascending.
  template <typename F>
  void for_each_id(F&& f) const {
    ids_.for_each([&](std::uint64_t id, const detail::RowLocation&) { f(MemoryId{id}); });
  }

  // The top_k most similar vectors, over the partition of `ns` or over all partitions. Checks,
  // in order: EmptyQuery; DimensionMismatch; NoEmbeddings when len() is 0 (also with `ns`);
  // InvalidTopK(0). With an HNSW backend the graph answers first, restricted to ids of this
  // index value (and of `ns` when given); if the graph fails, one line "HNSW search failed,
  // falling back to exact: {debug form}" goes to standard error and the exact scan runs; if it
  // returns fewer than min(top_k, vectors in scope) hits, the exact scan runs silently. Exact
  // scan: ZeroVector for a zero query; a namespace without partition gives an empty list;
  // nothing scored gives an empty list with `ns`, NoEmbeddings without. `use_parallel` scores
  // on the process-wide data-parallel pool; the result is identical to the sequential one.
  Result<SearchHits, VectorError> search_scoped(std::span<const float> query, std::size_t top_k,
                                                std::optional<std::string_view> ns,
                                                bool use_parallel,
                                                std::size_t ann_candidate_multiplier) const;

  // The top_k most similar among `ids`; ids that are not stored are skipped. Checks, in order:
  // EmptyQuery, DimensionMismatch, NoEmbeddings (len() 0), InvalidTopK(0); an empty `ids`
  // gives an empty list; then ZeroVector for a zero query.
  Result<SearchHits, VectorError> search_in_ids(std::span<const float> query,
                                                const std::unordered_set<MemoryId>& ids,
                                                std::size_t top_k) const;

  // Scores `ids` in list order (unknown ids skipped), sorts and cuts to top_k. Only ZeroVector
  // is checked; a query of another length than dimension() scores every id 0.0.
  Result<SearchHits, VectorError> rerank_exact(std::span<const float> query,
                                               std::span<const MemoryId> ids,
                                               std::size_t top_k) const;

  // Reads the HNSW file at `path`. A path that cannot be inspected (it does not exist) is
  // success with nullptr; otherwise the loaded backend, or an error whose text is the
  // HnswError's display text.
  static Result<std::shared_ptr<HnswBackend>, IndexIoError> load_hnsw(
      const std::filesystem::path& path, std::size_t dimension, const HnswConfig& config);

  // Saves the attached HNSW graph durably to `path`; success at once without one. The error
  // text is the HnswError's display text.
  Result<void, IndexIoError> save_hnsw(const std::filesystem::path& path) const;

  // After the index was filled from the state around a graph loaded from disk: removes every
  // graph key that this index does not hold. Together with index_in_namespace (which adds
  // missing keys and replaces changed vectors) this makes the graph match the index. Returns the
  // number of keys removed. No-op without a backend.
  std::size_t remove_stale_hnsw_keys();

  const std::shared_ptr<HnswBackend>& hnsw() const noexcept { return hnsw_; }
  const std::shared_ptr<const VectorSearchBackend>& backend() const noexcept { return backend_; }
  const std::shared_ptr<const AnnCandidateProvider>& ann_provider() const noexcept {
    return ann_provider_;
  }

 private:
  friend class PrefixAnnCandidateProvider;

  std::optional<std::uint32_t> namespace_number(std::string_view ns) const;
  std::uint32_t intern_namespace(std::string_view ns);
  const detail::VectorArena* arena(std::uint32_t number) const;
  detail::VectorArena& arena_for_write(std::uint32_t number);
  const detail::BlockRef* row_block(const detail::RowLocation& location) const;
  // The block and row where `id` is stored as this value sees it, or {nullptr, 0}.
  std::pair<const detail::BlockRef*, std::uint32_t> find_row(MemoryId id) const;
  // Marks the row of `location` dead; the arena is rebuilt or dropped as the rules say.
  void retire_row(const detail::RowLocation& location, bool drop_if_empty);
  void rebuild_arena_if_worthwhile(std::uint32_t number);
  void put_into_hnsw(MemoryId id, std::span<const float> vector);
  // The graph's copies of the vectors of `rows` (in their order, one after the other) when the
  // graph holds exactly this value's vectors; empty otherwise.
  std::vector<float> graph_copies(std::span<const detail::Located> rows) const;
  // Updates hnsw_in_step_at_ after `writes` graph writes that started at generation `before`.
  void note_hnsw_writes(std::uint64_t before, std::uint64_t writes, bool all_succeeded);
  // Arenas to scan: the one of `ns`, or all. Empty optional when `ns` has no partition.
  std::vector<const detail::VectorArena*> scope(std::optional<std::string_view> ns) const;
  Result<SearchHits, VectorError> exact_scan(std::span<const float> query, std::size_t top_k,
                                             std::optional<std::string_view> ns,
                                             bool use_parallel) const;
  Result<SearchHits, VectorError> approximate_search(std::span<const float> query,
                                                     std::size_t top_k,
                                                     std::optional<std::string_view> ns,
                                                     std::size_t ann_candidate_multiplier) const;

  std::size_t dimension_ = 0;
  // namespace number -> that namespace's rows; numbers are never reused.
  // Arenas are changed in place while only this value holds them, and copied (O(1)) otherwise.
  PersistentMap<std::shared_ptr<detail::VectorArena>> partitions_;
  // hash of the namespace name -> (name, number) pairs with that hash.
  PersistentMap<detail::NamespaceSlot> names_;
  // id -> where its row is.
  PersistentMap<detail::RowLocation> ids_;
  std::uint32_t next_namespace_number_ = 0;
  std::size_t live_count_ = 0;
  std::shared_ptr<const VectorSearchBackend> backend_;
  std::shared_ptr<const AnnCandidateProvider> ann_provider_;
  std::shared_ptr<HnswBackend> hnsw_;
  // The graph generation at which the graph held, for every id of this value, exactly this
  // value's vector, and no key this value does not hold unless hnsw_has_unknown_keys_ (a graph
  // loaded from disk, until its stale keys are removed). Empty once that is not known (a graph
  // write failed, or another index value wrote the graph). While it equals the graph's current
  // generation, HNSW searches need not filter keys.
  std::optional<std::uint64_t> hnsw_in_step_at_;
  bool hnsw_has_unknown_keys_ = false;
  // See take_moved_ids; empty except between a write and the writer's next take_moved_ids.
  std::vector<MemoryId> moved_ids_;
};

}  // namespace tessaradb
