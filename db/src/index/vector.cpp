#include "index/vector.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <utility>

#include "index/exact_scan.hpp"
#include "index/parallel_pool.hpp"

namespace tessaradb {

namespace {

using detail::BlockRef;
using detail::Ranked;
using detail::RowLocation;
using detail::TopK;
using detail::VectorArena;

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
    arena->blocks.for_each([&](std::uint64_t, const BlockRef& ref) {
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
    index.hnsw_ = std::move(loaded);
    return index;
  }
  auto fresh = HnswBackend::create(dimension, config);
  if (!fresh) return VectorError{VectorError::NoEmbeddings{}};
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
  return a ? a->blocks.find(location.block_key) : nullptr;
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
                                                          std::vector<float> vector) {
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
  if (hnsw_) (void)hnsw_->remove(id);  // the graph is an accelerator; its errors are ignored
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
  }
  partitions_.insert_or_assign(number, std::move(fresh));
}

void VectorIndex::put_into_hnsw(MemoryId id, std::span<const float> vector) {
  // The graph holds one vector per key: an equal vector stays (a graph loaded from disk keeps
  // its work), a different one is replaced so the graph never answers with a stale vector.
  // Errors are ignored: the exact index stays authoritative.
  if (hnsw_->contains(id)) {
    auto stored = hnsw_->get(id);
    if (stored && *stored &&
        std::equal(vector.begin(), vector.end(), (*stored)->begin(), (*stored)->end())) {
      return;
    }
    (void)hnsw_->remove(id);
  }
  (void)hnsw_->add(id, vector);
}

std::size_t VectorIndex::remove_stale_hnsw_keys() {
  if (!hnsw_) return 0;
  auto keys = hnsw_->keys();
  if (!keys) return 0;
  std::size_t removed = 0;
  for (const MemoryId key : *keys) {
    if (ids_.contains(key.value)) continue;
    if (hnsw_->remove(key)) ++removed;
  }
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
    auto hits = hnsw_->search_filtered(query, top_k, accept);
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
    a->blocks.for_each([&](std::uint64_t, const BlockRef& ref) {
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
  for (std::size_t c = 0; c < chunks; ++c) {
    const std::uint64_t rows =
        (bounds[c + 1] < units.size() ? units[bounds[c + 1]].first_seq : seq) -
        units[bounds[c]].first_seq;
    partial.emplace_back(top_k, rows);
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
  TopK best(top_k, std::min(ids.size(), live_count_));
  std::uint64_t seq = 0;
  for (const MemoryId id : ids) {
    const RowLocation* location = ids_.find(id.value);
    const BlockRef* ref = location ? row_block(*location) : nullptr;
    if (ref == nullptr) continue;
    const float dot = detail::row_dot(*ref->block, location->row, query.data());
    best.offer(
        Ranked{detail::cosine_from_parts(dot, ref->block->squared_norm(location->row), sqrt_nq),
               seq++, id});
  }
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
  TopK best(top_k, std::min(ids.size(), live_count_));
  std::uint64_t seq = 0;
  for (const MemoryId id : ids) {
    const RowLocation* location = ids_.find(id.value);
    const BlockRef* ref = location ? row_block(*location) : nullptr;
    if (ref == nullptr) continue;
    float score = 0.0f;
    if (comparable) {
      const float dot = detail::row_dot(*ref->block, location->row, query.data());
      score = detail::cosine_from_parts(dot, ref->block->squared_norm(location->row), sqrt_nq);
    }
    best.offer(Ranked{score, seq++, id});
  }
  return best.take_sorted();
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
