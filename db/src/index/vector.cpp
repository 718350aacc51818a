#include "index/vector.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

#include "index/exact_scan.hpp"
#include "index/parallel_pool.hpp"

namespace tessaradb {

namespace detail {

// A stored row found for an id, in the order the ids were listed.
struct Located {
  MemoryId id;
  const BlockRef* ref;
  std::uint32_t row;
};

}  // namespace detail

namespace {

using detail::BlockRef;
using detail::kTileRows;
using detail::Located;
using detail::Ranked;
using detail::RowLocation;
using detail::TopK;
using detail::VectorArena;
using detail::VectorBlock;

std::uint64_t namespace_hash(std::string_view ns) { return std::hash<std::string_view>{}(ns); }

VectorError dimension_mismatch(std::size_t expected, std::size_t actual) {
  return VectorError{VectorError::DimensionMismatch{expected, actual}};
}

// Parallel scans hand each thread several chunks, so one slow thread does not hold up the rest.
constexpr std::size_t kChunksPerThread = 4;

// Cosine of the first `p` elements of a stored row against the first `p` of the query.
float prefix_cosine(const BlockRef& ref, std::size_t row, std::span<const float> query,
                    std::size_t p, float sqrt_nq) {
  float dot = 0.0f;
  float nv = 0.0f;
  for (std::size_t i = 0; i < p; ++i) {
    const float v = ref.block->element(row, i);
    dot += query[i] * v;
    nv += v * v;
  }
  return detail::cosine_from_parts(dot, nv, sqrt_nq);
}

// The stored rows of `ids` in their order, unknown ids left out. `find` maps an id to its
// location, or to {nullptr, 0}.
template <typename Ids, typename Find>
std::vector<Located> locate(const Ids& ids, Find&& find) {
  std::vector<Located> rows;
  for (const MemoryId id : ids) {
    const auto [ref, row] = find(id);
    if (ref != nullptr) rows.push_back(Located{id, ref, row});
  }
  return rows;
}

// Offers every located row to `best` in list order (seq 0, 1, ...) with its cosine score, or
// 0.0 when the rows are not `comparable` with the query. `copies`, when given, holds the rows'
// vectors one after the other (the graph's copies, which the graph has just read during its
// search and so are likely in cache). Otherwise rows whose whole tile this index value may read
// go through the tile kernel several tiles at once, which hides the latency of the element-order
// sums, and a row of a tile that is still being filled is scored alone, so no row past the
// visible count is read (another copy may be writing it). Every way gives the same bits.
void score_located(std::span<const float> query, float sqrt_nq, std::span<const Located> rows,
                   bool comparable, const float* copies, TopK& best) {
  if (comparable && copies != nullptr) {
    std::vector<float> dots(rows.size());
    detail::dot_rows(query.data(), copies, query.size(), rows.size(), dots.data());
    for (std::size_t n = 0; n < rows.size(); ++n) {
      const Located& r = rows[n];
      best.offer(Ranked{
          detail::cosine_from_parts(dots[n], r.ref->block->squared_norm(r.row), sqrt_nq), n, r.id});
    }
    return;
  }
  constexpr std::size_t kBatch = 32;
  const float* tiles[kBatch];
  float dots[kBatch * kTileRows];
  std::uint64_t seq = 0;
  auto whole_tile = [](const Located& r) {
    return (r.row / kTileRows + 1) * kTileRows <= r.ref->rows;
  };
  for (std::size_t start = 0; start < rows.size(); start += kBatch) {
    const auto batch = rows.subspan(start, std::min(kBatch, rows.size() - start));
    std::size_t tile_count = 0;
    if (comparable) {
      for (const Located& r : batch) {
        if (whole_tile(r)) tiles[tile_count++] = r.ref->block->tile(r.row / kTileRows);
      }
      detail::dot_tile_list(query.data(), tiles, query.size(), tile_count, dots);
    }
    std::size_t next_tile = 0;
    for (const Located& r : batch) {
      float score = 0.0f;
      if (comparable) {
        const VectorBlock& block = *r.ref->block;
        const float dot = whole_tile(r) ? dots[next_tile++ * kTileRows + r.row % kTileRows]
                                        : detail::row_dot(block, r.row, query.data());
        score = detail::cosine_from_parts(dot, block.squared_norm(r.row), sqrt_nq);
      }
      best.offer(Ranked{score, seq++, r.id});
    }
  }
}

}  // namespace

// ---- Candidate provider ------------------------------------------------------------------

Result<std::vector<MemoryId>, VectorError> PrefixAnnCandidateProvider::candidates(
    std::span<const float> query, std::size_t count, std::optional<std::string_view> ns,
    const VectorIndex& index) const {
  const std::size_t p = std::max<std::size_t>(1, std::min<std::size_t>(query.size(), 8));
  // An empty query has no prefix at all; its norm counts as 0.
  const float nq = query.empty() ? 0.0f : detail::squared_norm(query.first(p));
  if (nq == 0.0f) return VectorError{VectorError::ZeroVector{}};
  const float sqrt_nq = std::sqrt(nq);
  // A stored vector shorter than the prefix differs in length from it and scores 0.0.
  const bool comparable = index.dimension_ >= p;

  const auto arenas = index.scope(ns);
  std::size_t rows_in_scope = 0;
  for (const VectorArena* arena : arenas) rows_in_scope += arena->live;
  TopK best(count, rows_in_scope);
  std::uint64_t seq = 0;
  std::size_t scored = 0;
  for (const VectorArena* arena : arenas) {
    arena->for_each_block([&](const BlockRef& ref) {
      for (std::size_t row = 0; row < ref.rows; ++row, ++seq) {
        if (ref.is_dead(row)) continue;
        const float score = comparable ? prefix_cosine(ref, row, query, p, sqrt_nq) : 0.0f;
        best.offer(Ranked{score, seq, ref.block->id(row)});
        ++scored;
      }
    });
  }
  if (scored == 0) {
    if (ns) return std::vector<MemoryId>{};
    return VectorError{VectorError::NoEmbeddings{}};
  }
  std::vector<MemoryId> ids;
  const auto ranked = best.take_sorted_ranked();
  ids.reserve(ranked.size());
  for (const Ranked& r : ranked) ids.push_back(r.id);
  return ids;
}

// ---- Construction and lookups -------------------------------------------------------------

VectorIndex::VectorIndex(std::size_t dimension)
    : dimension_(dimension),
      backend_(std::make_shared<ExactBackend>()),
      ann_provider_(std::make_shared<PrefixAnnCandidateProvider>()) {}

Result<VectorIndex, VectorError> VectorIndex::new_with_loaded_hnsw(
    std::size_t dimension, const HnswConfig& config, std::shared_ptr<HnswBackend> loaded) {
  VectorIndex index(dimension);
  if (loaded) {
    // A graph from disk may hold keys this (empty) index does not know until
    // remove_stale_hnsw_keys has run.
    index.hnsw_in_step_at_ = loaded->generation();
    index.hnsw_has_unknown_keys_ = true;
    index.hnsw_ = std::move(loaded);
    return index;
  }
  auto fresh = HnswBackend::create(dimension, config);
  if (!fresh) return VectorError{VectorError::NoEmbeddings{}};
  index.hnsw_in_step_at_ = (*fresh)->generation();  // both empty
  index.hnsw_ = std::move(*fresh);
  return index;
}

std::optional<std::uint32_t> VectorIndex::namespace_number(std::string_view ns) const {
  const detail::NamespaceSlot* slot = names_.find(namespace_hash(ns));
  if (slot == nullptr) return std::nullopt;
  for (const auto& [name, number] : *slot) {
    if (name == ns) return number;
  }
  return std::nullopt;
}

std::uint32_t VectorIndex::intern_namespace(std::string_view ns) {
  if (auto number = namespace_number(ns)) return *number;
  // A name keeps its number for the life of the index (also after its partition is dropped),
  // so numbers are bounded by the distinct names ever seen.
  const std::uint32_t number = next_namespace_number_++;
  names_.get_or_insert(namespace_hash(ns)).emplace_back(std::string(ns), number);
  return number;
}

const VectorArena* VectorIndex::arena(std::uint32_t number) const {
  const auto* slot = partitions_.find(number);
  return slot ? slot->get() : nullptr;
}

VectorArena& VectorIndex::arena_for_write(std::uint32_t number) {
  auto* slot = partitions_.find_mut(number);
  assert(slot != nullptr && *slot);
  if (slot->use_count() == 1) {
    // Only this index value reaches the arena (see PersistentMap::own for the fence).
    std::atomic_thread_fence(std::memory_order_acquire);
  } else {
    *slot = std::make_shared<VectorArena>(**slot);  // O(1): the arena's maps are shared
  }
  return **slot;
}

const BlockRef* VectorIndex::row_block(const RowLocation& location) const {
  const VectorArena* a = arena(location.namespace_number);
  return a ? a->find_block(location.block_key) : nullptr;
}

std::pair<const BlockRef*, std::uint32_t> VectorIndex::find_row(MemoryId id) const {
  const RowLocation* location = ids_.find(id.value);
  const BlockRef* ref = location ? row_block(*location) : nullptr;
  return {ref, ref ? location->row : 0};
}

bool VectorIndex::has(MemoryId id) const {
  const RowLocation* location = ids_.find(id.value);
  return location != nullptr && arena(location->namespace_number) != nullptr;
}

std::optional<std::string_view> VectorIndex::namespace_of(MemoryId id) const {
  const RowLocation* location = ids_.find(id.value);
  if (location == nullptr) return std::nullopt;
  const VectorArena* a = arena(location->namespace_number);
  if (a == nullptr) return std::nullopt;
  return std::string_view(a->name);
}

std::optional<std::vector<float>> VectorIndex::vector_of(MemoryId id) const {
  const RowLocation* location = ids_.find(id.value);
  if (location == nullptr) return std::nullopt;
  const BlockRef* ref = row_block(*location);
  if (ref == nullptr) return std::nullopt;
  std::vector<float> out(dimension_);
  for (std::size_t i = 0; i < dimension_; ++i) out[i] = ref->block->element(location->row, i);
  return out;
}

bool VectorIndex::has_partition(std::string_view ns) const {
  const auto number = namespace_number(ns);
  return number && partitions_.contains(*number);
}

std::size_t VectorIndex::partition_len(std::string_view ns) const {
  const auto number = namespace_number(ns);
  const VectorArena* a = number ? arena(*number) : nullptr;
  return a ? a->live : 0;
}

// ---- Writes ---------------------------------------------------------------------------

Result<void, VectorError> VectorIndex::index_in_namespace(std::string_view ns, MemoryId id,
                                                          const Embedding& vector) {
  if (vector.is_contiguous() || !vector.has_value()) {
    return index_in_namespace(ns, id, vector.contiguous());
  }
  if (vector.size() != dimension_) return dimension_mismatch(dimension_, vector.size());
  const std::vector<float> gathered = vector.to_vector();
  return index_in_namespace(ns, id, std::span<const float>(gathered));
}

Embedding VectorIndex::row_view(MemoryId id) const {
  const auto [ref, row] = find_row(id);
  if (ref == nullptr) return Embedding();
  const float* base = ref->block->tile(row / detail::kTileRows) + row % detail::kTileRows;
  return Embedding::view(ref->block, base, static_cast<std::uint32_t>(dimension_),
                         static_cast<std::uint32_t>(detail::kTileRows));
}

Result<void, VectorError> VectorIndex::index_in_namespace(std::string_view ns, MemoryId id,
                                                          std::span<const float> vector) {
  if (vector.size() != dimension_) return dimension_mismatch(dimension_, vector.size());
  const float norm = detail::squared_norm(vector);
  const std::uint32_t number = intern_namespace(ns);

  std::optional<RowLocation> previous;
  if (const RowLocation* found = ids_.find(id.value)) previous = *found;
  if (!partitions_.contains(number)) {
    auto fresh = std::make_shared<VectorArena>();
    fresh->name = std::string(ns);
    fresh->dimension = dimension_;
    partitions_.insert_or_assign(number, std::move(fresh));
  }
  // Append before retiring the old row, so a replacement within one namespace never sees its
  // partition momentarily empty (which would drop it).
  const auto [block_key, row] = arena_for_write(number).append(id, vector, norm);
  ids_.insert_or_assign(id.value, RowLocation{block_key, row, number});
  if (previous) {
    // A moved id leaves its old partition in place even when it is now empty.
    retire_row(*previous, /*drop_if_empty=*/false);
  } else {
    ++live_count_;
  }
  rebuild_arena_if_worthwhile(number);
  if (hnsw_) put_into_hnsw(id, vector);
  return {};
}

Result<void, VectorError> VectorIndex::remove(MemoryId id) {
  const RowLocation* found = ids_.find(id.value);
  if (found == nullptr) return {};
  const RowLocation location = *found;
  ids_.erase(id.value);
  --live_count_;
  retire_row(location, /*drop_if_empty=*/true);
  if (hnsw_) {
    // The graph is an accelerator; its errors are ignored (beyond no longer trusting it).
    const std::uint64_t before = hnsw_->generation();
    const bool removed = hnsw_->remove(id).has_value();
    note_hnsw_writes(before, 1, removed);
  }
  return {};
}

void VectorIndex::retire_row(const RowLocation& location, bool drop_if_empty) {
  if (!partitions_.contains(location.namespace_number)) return;
  VectorArena& a = arena_for_write(location.namespace_number);
  a.mark_dead(location.block_key, location.row);
  if (a.live == 0 && drop_if_empty) {
    partitions_.erase(location.namespace_number);
    return;
  }
  rebuild_arena_if_worthwhile(location.namespace_number);
}

void VectorIndex::rebuild_arena_if_worthwhile(std::uint32_t number) {
  const VectorArena* current = arena(number);
  if (current == nullptr || !current->wants_rebuild()) return;
  std::vector<std::pair<MemoryId, std::pair<std::uint64_t, std::uint32_t>>> moved;
  moved.reserve(current->live);
  auto fresh = std::make_shared<VectorArena>(current->rebuilt(moved));
  for (const auto& [id, where] : moved) {
    ids_.insert_or_assign(id.value, RowLocation{where.first, where.second, number});
    moved_ids_.push_back(id);
  }
  partitions_.insert_or_assign(number, std::move(fresh));
}

void VectorIndex::put_into_hnsw(MemoryId id, std::span<const float> vector) {
  // The graph holds one vector per key: an equal vector stays (a graph loaded from disk keeps
  // its work), a different one is replaced so the graph never answers with a stale vector.
  // Errors are ignored: the exact index stays authoritative.
  const std::uint64_t before = hnsw_->generation();
  std::uint64_t writes = 0;
  bool succeeded = true;
  if (hnsw_->contains(id)) {
    auto stored = hnsw_->get(id);
    // Compared bit for bit: the graph's copies may stand in for the rows in exact scoring.
    if (stored && *stored && (*stored)->size() == vector.size() &&
        std::memcmp((*stored)->data(), vector.data(), vector.size() * sizeof(float)) == 0) {
      note_hnsw_writes(before, 0, true);
      return;
    }
    succeeded = hnsw_->remove(id).has_value();
    ++writes;
  }
  succeeded = hnsw_->add(id, vector).has_value() && succeeded;
  note_hnsw_writes(before, writes + 1, succeeded);
}

void VectorIndex::note_hnsw_writes(std::uint64_t before, std::uint64_t writes, bool all_succeeded) {
  // Still in step only when it was, every write took effect and the generation moved by exactly
  // these writes (no other index value wrote the shared graph in between).
  if (hnsw_in_step_at_ == before && all_succeeded && hnsw_->generation() == before + writes) {
    hnsw_in_step_at_ = before + writes;
  } else {
    hnsw_in_step_at_.reset();
  }
}

std::size_t VectorIndex::remove_stale_hnsw_keys() {
  if (!hnsw_) return 0;
  const std::uint64_t before = hnsw_->generation();
  auto keys = hnsw_->keys();
  if (!keys) {
    hnsw_in_step_at_.reset();
    return 0;
  }
  std::size_t attempted = 0;
  std::size_t removed = 0;
  for (const MemoryId key : *keys) {
    if (ids_.contains(key.value)) continue;
    ++attempted;
    if (hnsw_->remove(key)) ++removed;
  }
  note_hnsw_writes(before, attempted, removed == attempted);
  // Every key left is one of ours; when every one of ours is a key too, the sets are equal.
  if (hnsw_in_step_at_ && keys->size() - removed == live_count_) hnsw_has_unknown_keys_ = false;
  return removed;
}

// ---- Searches -------------------------------------------------------------------------

std::vector<const VectorArena*> VectorIndex::scope(std::optional<std::string_view> ns) const {
  std::vector<const VectorArena*> arenas;
  if (ns) {
    const auto number = namespace_number(*ns);
    if (const VectorArena* a = number ? arena(*number) : nullptr) arenas.push_back(a);
    return arenas;
  }
  partitions_.for_each(
      [&](std::uint64_t, const std::shared_ptr<VectorArena>& a) { arenas.push_back(a.get()); });
  return arenas;
}

Result<SearchHits, VectorError> VectorIndex::search_scoped(
    std::span<const float> query, std::size_t top_k, std::optional<std::string_view> ns,
    bool use_parallel, std::size_t ann_candidate_multiplier) const {
  if (query.empty()) return VectorError{VectorError::EmptyQuery{}};
  if (query.size() != dimension_) return dimension_mismatch(dimension_, query.size());
  if (live_count_ == 0) return VectorError{VectorError::NoEmbeddings{}};
  if (top_k == 0) return VectorError{VectorError::InvalidTopK{0}};

  if (hnsw_) {
    // The graph is shared by every copy of the index and may hold ids this value does not (or
    // not in `ns`); only ids of this value's scope are accepted, so the answer matches what
    // this snapshot holds.
    std::optional<std::uint32_t> number;
    if (ns) number = namespace_number(*ns);
    const bool scoped = ns.has_value();
    auto accept = [&](MemoryId id) {
      const RowLocation* location = ids_.find(id.value);
      return location != nullptr && (!scoped || (number && location->namespace_number == *number));
    };
    // When the graph holds exactly this value's ids (and `ns` is its only partition), every key
    // passes and the graph may skip asking.
    std::optional<std::uint64_t> all_accepted_at;
    if (hnsw_in_step_at_ && !hnsw_has_unknown_keys_ &&
        (!scoped || (number && partitions_.size() == 1 && partitions_.contains(*number)))) {
      all_accepted_at = hnsw_in_step_at_;
    }
    auto hits = hnsw_->search_filtered(query, top_k, accept, all_accepted_at);
    if (!hits) {
      std::fprintf(stderr, "HNSW search failed, falling back to exact: %s\n",
                   hits.error().debug_string().c_str());
    } else {
      // Fewer hits than the scope holds means the graph lacks vectors this value has (an add
      // the graph refused) or the filter starved the walk: the exact scan answers instead.
      const std::size_t in_scope = ns ? (number ? partition_len(*ns) : 0) : live_count_;
      if (hits->size() >= std::min(top_k, in_scope)) return std::move(*hits);
    }
  }
  if (backend_->mode() == VectorSearchMode::Approximate) {
    return approximate_search(query, top_k, ns, ann_candidate_multiplier);
  }
  return exact_scan(query, top_k, ns, use_parallel);
}

Result<SearchHits, VectorError> VectorIndex::approximate_search(
    std::span<const float> query, std::size_t top_k, std::optional<std::string_view> ns,
    std::size_t ann_candidate_multiplier) const {
  const std::size_t m =
      std::max<std::size_t>({ann_candidate_multiplier, backend_->ann_multiplier_hint(), 1});
  const std::size_t count = top_k > std::numeric_limits<std::size_t>::max() / m
                                ? std::numeric_limits<std::size_t>::max()
                                : top_k * m;
  auto ids = ann_provider_->candidates(query, count, ns, *this);
  if (!ids) return std::move(ids).error();
  if (ids->empty()) return SearchHits{};
  return rerank_exact(query, *ids, top_k);
}

Result<SearchHits, VectorError> VectorIndex::exact_scan(std::span<const float> query,
                                                        std::size_t top_k,
                                                        std::optional<std::string_view> ns,
                                                        bool use_parallel) const {
  const float nq = detail::squared_norm(query);
  if (nq == 0.0f) return VectorError{VectorError::ZeroVector{}};
  const float sqrt_nq = std::sqrt(nq);

  // Every visible block with the sequence number of its first row: the production order of
  // the scan, which decides ties whichever thread scores the block.
  struct Unit {
    const BlockRef* ref;
    std::uint64_t first_seq;
  };
  std::vector<Unit> units;
  std::size_t live_rows = 0;
  std::size_t max_rows = 0;
  std::uint64_t seq = 0;
  for (const VectorArena* a : scope(ns)) {
    live_rows += a->live;
    a->for_each_block([&](const BlockRef& ref) {
      units.push_back(Unit{&ref, seq});
      seq += ref.rows;
      max_rows = std::max<std::size_t>(max_rows, ref.rows);
    });
  }
  if (live_rows == 0) {
    if (ns) return SearchHits{};
    return VectorError{VectorError::NoEmbeddings{}};
  }

  auto scan = [&](std::size_t begin, std::size_t end, TopK& best, float* scratch) {
    for (std::size_t u = begin; u < end; ++u) {
      const BlockRef& ref = *units[u].ref;
      detail::score_rows(*ref.block, 0, ref.rows, query.data(), sqrt_nq, scratch);
      for (std::size_t row = 0; row < ref.rows; ++row) {
        if (ref.is_dead(row)) continue;
        best.offer(Ranked{scratch[row], units[u].first_seq + row, ref.block->id(row)});
      }
    }
  };

  detail::DataParallelPool* pool = use_parallel ? &detail::DataParallelPool::instance() : nullptr;
  const std::size_t chunk_count =
      pool ? std::min(units.size(), pool->concurrency() * kChunksPerThread) : 1;
  if (chunk_count <= 1) {
    TopK best(top_k, live_rows);
    std::vector<float> scratch(max_rows);
    scan(0, units.size(), best, scratch.data());
    return best.take_sorted();
  }

  // Contiguous runs of blocks with about equal row counts. Everything a worker needs is
  // allocated here, so the tasks themselves cannot fail.
  std::vector<std::size_t> bounds{0};
  const std::uint64_t rows_per_chunk = (seq + chunk_count - 1) / chunk_count;
  for (std::size_t u = 1; u < units.size() && bounds.size() < chunk_count; ++u) {
    if (units[u].first_seq >= rows_per_chunk * bounds.size()) bounds.push_back(u);
  }
  bounds.push_back(units.size());
  const std::size_t chunks = bounds.size() - 1;
  std::vector<TopK> partial;
  std::vector<std::vector<float>> scratch(chunks, std::vector<float>(max_rows));
  partial.reserve(chunks);
  // Scores below the k-th best that any chunk already holds are out of the running everywhere.
  std::atomic<float> floor{-std::numeric_limits<float>::infinity()};
  for (std::size_t c = 0; c < chunks; ++c) {
    const std::uint64_t rows =
        (bounds[c + 1] < units.size() ? units[bounds[c + 1]].first_seq : seq) -
        units[bounds[c]].first_seq;
    partial.emplace_back(top_k, rows);
    partial.back().share_floor(&floor);
  }
  pool->run(chunks,
            [&](std::size_t c) { scan(bounds[c], bounds[c + 1], partial[c], scratch[c].data()); });
  TopK best(top_k, live_rows);
  for (const TopK& part : partial) best.merge(part);
  return best.take_sorted();
}

Result<SearchHits, VectorError> VectorIndex::search_in_ids(std::span<const float> query,
                                                           const std::unordered_set<MemoryId>& ids,
                                                           std::size_t top_k) const {
  if (query.empty()) return VectorError{VectorError::EmptyQuery{}};
  if (query.size() != dimension_) return dimension_mismatch(dimension_, query.size());
  if (live_count_ == 0) return VectorError{VectorError::NoEmbeddings{}};
  if (top_k == 0) return VectorError{VectorError::InvalidTopK{0}};
  if (ids.empty()) return SearchHits{};
  const float nq = detail::squared_norm(query);
  if (nq == 0.0f) return VectorError{VectorError::ZeroVector{}};
  const float sqrt_nq = std::sqrt(nq);
  const std::vector<Located> rows = locate(ids, [&](MemoryId id) { return find_row(id); });
  const std::vector<float> copies = graph_copies(rows);
  TopK best(top_k, rows.size());
  score_located(query, sqrt_nq, rows, /*comparable=*/true, copies.empty() ? nullptr : copies.data(),
                best);
  return best.take_sorted();
}

Result<SearchHits, VectorError> VectorIndex::rerank_exact(std::span<const float> query,
                                                          std::span<const MemoryId> ids,
                                                          std::size_t top_k) const {
  const float nq = detail::squared_norm(query);
  if (nq == 0.0f) return VectorError{VectorError::ZeroVector{}};
  const float sqrt_nq = std::sqrt(nq);
  // Vectors of another length than the query score 0.0.
  const bool comparable = query.size() == dimension_;
  const std::vector<Located> rows = locate(ids, [&](MemoryId id) { return find_row(id); });
  const std::vector<float> copies = comparable ? graph_copies(rows) : std::vector<float>{};
  TopK best(top_k, rows.size());
  score_located(query, sqrt_nq, rows, comparable, copies.empty() ? nullptr : copies.data(), best);
  return best.take_sorted();
}

std::vector<float> VectorIndex::graph_copies(std::span<const Located> rows) const {
  // Only a graph that holds exactly this value's vectors may stand in for its rows; the backend
  // checks the generation again while it copies.
  if (!hnsw_ || !hnsw_in_step_at_ || rows.empty()) return {};
  std::vector<MemoryId> ids;
  ids.reserve(rows.size());
  for (const Located& r : rows) ids.push_back(r.id);
  std::vector<float> copies(rows.size() * dimension_);
  if (!hnsw_->copy_vectors_at(*hnsw_in_step_at_, ids, copies.data())) return {};
  return copies;
}

// ---- HNSW file ------------------------------------------------------------------------

Result<std::shared_ptr<HnswBackend>, IndexIoError> VectorIndex::load_hnsw(
    const std::filesystem::path& path, std::size_t dimension, const HnswConfig& config) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) return std::shared_ptr<HnswBackend>{};
  auto loaded = HnswBackend::load_from_file(path, dimension, config);
  if (!loaded) {
    const HnswError& error = loaded.error();
    IndexIoError out{IndexIoError::Kind::Other, error.message()};
    if (const auto* io = std::get_if<HnswError::IoError>(&error.kind)) out.kind = io->inner.kind;
    return out;
  }
  return std::move(*loaded);
}

Result<void, IndexIoError> VectorIndex::save_hnsw(const std::filesystem::path& path) const {
  if (!hnsw_) return {};
  auto saved = hnsw_->save_to_file(path);
  if (!saved) {
    const HnswError& error = saved.error();
    IndexIoError out{IndexIoError::Kind::Other, error.message()};
    if (const auto* io = std::get_if<HnswError::IoError>(&error.kind)) out.kind = io->inner.kind;
    return out;
  }
  return {};
}

}  // namespace tessaradb
