#include "index/exact_scan.hpp"

#include <algorithm>
#include <cstring>

namespace tessaradb::detail {

namespace {

typedef float Lanes __attribute__((vector_size(kTileRows * sizeof(float))));
static_assert(kTileRows == 8, "the broadcast below spells out eight lanes");

// Helpers take and give vectors by reference: passing them by value would depend on the
// instruction set the caller was compiled for.
inline void load_lanes(Lanes& v, const float* p) { std::memcpy(&v, p, sizeof(v)); }
inline void store_lanes(float* p, const Lanes& v) { std::memcpy(p, &v, sizeof(v)); }

// Four tiles at a time keep four independent accumulators in flight, which hides the latency of
// the additions; every lane still adds its products strictly in element order. Multiplication and
// addition stay separate instructions (no contraction is allowed), so the bits equal the
// scalar loop's whatever instruction set compiles this.
__attribute__((always_inline)) inline void dot_tiles_body(const float* query, const float* tiles,
                                                          std::size_t dimension,
                                                          std::size_t tile_count,
                                                          float* out) noexcept {
  const std::size_t tile_floats = dimension * kTileRows;
  std::size_t t = 0;
  for (; t + 4 <= tile_count; t += 4) {
    const float* a = tiles + t * tile_floats;
    const float* b = a + tile_floats;
    const float* c = b + tile_floats;
    const float* d = c + tile_floats;
    Lanes sa = {}, sb = {}, sc = {}, sd = {};
    Lanes va, vb, vc, vd;
    for (std::size_t i = 0; i < dimension; ++i) {
      const float x = query[i];
      const Lanes q = {x, x, x, x, x, x, x, x};
      const std::size_t off = i * kTileRows;
      load_lanes(va, a + off);
      load_lanes(vb, b + off);
      load_lanes(vc, c + off);
      load_lanes(vd, d + off);
      sa = sa + q * va;
      sb = sb + q * vb;
      sc = sc + q * vc;
      sd = sd + q * vd;
    }
    store_lanes(out + (t + 0) * kTileRows, sa);
    store_lanes(out + (t + 1) * kTileRows, sb);
    store_lanes(out + (t + 2) * kTileRows, sc);
    store_lanes(out + (t + 3) * kTileRows, sd);
  }
  for (; t < tile_count; ++t) {
    const float* a = tiles + t * tile_floats;
    Lanes sa = {}, va;
    for (std::size_t i = 0; i < dimension; ++i) {
      const float x = query[i];
      const Lanes q = {x, x, x, x, x, x, x, x};
      load_lanes(va, a + i * kTileRows);
      sa = sa + q * va;
    }
    store_lanes(out + t * kTileRows, sa);
  }
}

using DotTiles = void (*)(const float*, const float*, std::size_t, std::size_t, float*) noexcept;

__attribute__((target("avx2"))) void dot_tiles_avx2(const float* query, const float* tiles,
                                                    std::size_t dimension, std::size_t tile_count,
                                                    float* out) noexcept {
  dot_tiles_body(query, tiles, dimension, tile_count, out);
}

void dot_tiles_baseline(const float* query, const float* tiles, std::size_t dimension,
                        std::size_t tile_count, float* out) noexcept {
  dot_tiles_body(query, tiles, dimension, tile_count, out);
}

// Chosen on first use rather than through an ifunc resolver: resolvers run before sanitizer
// runtimes are ready, and thread-sanitized builds crash in them.
DotTiles pick_dot_tiles() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? dot_tiles_avx2 : dot_tiles_baseline;
}

}  // namespace

void dot_tiles(const float* query, const float* tiles, std::size_t dimension,
               std::size_t tile_count, float* out) noexcept {
  static const DotTiles kernel = pick_dot_tiles();
  kernel(query, tiles, dimension, tile_count, out);
}

void score_rows(const VectorBlock& block, std::size_t begin, std::size_t end, const float* query,
                float sqrt_nq, float* out) noexcept {
  std::size_t row = begin;
  // Leading rows of a tile entered in the middle, then whole tiles, then the tail.
  for (; row < end && row % kTileRows != 0; ++row) out[row - begin] = row_dot(block, row, query);
  const std::size_t whole_tiles = (end - row) / kTileRows;
  if (whole_tiles > 0) {
    dot_tiles(query, block.tile(row / kTileRows), block.dimension(), whole_tiles,
              out + (row - begin));
    row += whole_tiles * kTileRows;
  }
  for (; row < end; ++row) out[row - begin] = row_dot(block, row, query);
  for (row = begin; row < end; ++row) {
    out[row - begin] = cosine_from_parts(out[row - begin], block.squared_norm(row), sqrt_nq);
  }
}

TopK::TopK(std::size_t k, std::size_t reserve_hint) : k_(k) {
  heap_.reserve(std::min(k, reserve_hint));
}

void TopK::offer(const Ranked& candidate) {
  if (k_ == 0) return;
  if (heap_.size() < k_) {
    heap_.push_back(candidate);
    std::push_heap(heap_.begin(), heap_.end(), ranks_before);
    return;
  }
  if (!ranks_before(candidate, heap_.front())) return;
  std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
  heap_.back() = candidate;
  std::push_heap(heap_.begin(), heap_.end(), ranks_before);
}

void TopK::merge(const TopK& other) {
  for (const Ranked& r : other.heap_) offer(r);
}

std::vector<Ranked> TopK::take_sorted_ranked() {
  std::sort_heap(heap_.begin(), heap_.end(), ranks_before);
  return std::move(heap_);
}

SearchHits TopK::take_sorted() {
  std::sort_heap(heap_.begin(), heap_.end(), ranks_before);
  SearchHits hits;
  hits.reserve(heap_.size());
  for (const Ranked& r : heap_) hits.emplace_back(r.id, r.score);
  heap_.clear();
  return hits;
}

}  // namespace tessaradb::detail
