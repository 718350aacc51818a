#pragma once

// Building blocks of the exact cosine scan (internal): the tile kernel, the scalar pieces it must
// match bit for bit, and the bounded top-k collector.

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/memory_entry.hpp"
#include "index/search_hit.hpp"
#include "index/vector_arena.hpp"

namespace tessaradb::detail {

// dot[l] for every lane l of `tile_count` consecutive tiles (out receives tile_count *
// kTileRows values): each lane sums q[i] * v[i] from 0.0f in element order, exactly as the
// scalar loop does. Uses AVX2 when the processor has it; the bits are the same either way.
void dot_tiles(const float* query, const float* tiles, std::size_t dimension,
               std::size_t tile_count, float* out) noexcept;

// As dot_tiles for tiles that need not be adjacent: tiles[t] is the first float of the t-th
// tile, and out receives tile_count * kTileRows values. Every tile must be fully readable
// (all kTileRows rows written and visible to the caller).
void dot_tile_list(const float* query, const float* const* tiles, std::size_t dimension,
                   std::size_t tile_count, float* out) noexcept;

// out[r] = the element-order dot product of the query with row r of `rows`, `count` rows of
// `dimension` floats stored one after the other; the same bits as the scalar loop.
void dot_rows(const float* query, const float* rows, std::size_t dimension, std::size_t count,
              float* out) noexcept;

// Scalar dot product of the query with one stored row, in element order.
inline float row_dot(const VectorBlock& block, std::size_t row, const float* query) noexcept {
  float dot = 0.0f;
  for (std::size_t i = 0; i < block.dimension(); ++i) dot += query[i] * block.element(row, i);
  return dot;
}

// dot / (sqrt(nv) * sqrt(nq)), 0.0 when nv is 0. `sqrt_nq` is sqrt(nq), computed once.
inline float cosine_from_parts(float dot, float nv, float sqrt_nq) noexcept {
  if (nv == 0.0f) return 0.0f;
  return dot / (std::sqrt(nv) * sqrt_nq);
}

// Writes the cosine score of rows [begin, end) of `block` into out[0 .. end-begin). Full tiles go
// through dot_tiles; rows of a partial tile are scored one by one, so no row at or past `end`
// is ever read (another index copy may be writing it).
void score_rows(const VectorBlock& block, std::size_t begin, std::size_t end, const float* query,
                float sqrt_nq, float* out) noexcept;

// A scored candidate. `seq` is its position in the scan's production order: ties and NaN
// ordering are decided by it, so results do not depend on how the scan was split.
struct Ranked {
  float score;
  std::uint64_t seq;
  MemoryId id;
};

// Strict weak ordering (a total order on distinct seqs): higher score first, NaN after every
// number, then lower seq first.
inline bool ranks_before(const Ranked& a, const Ranked& b) noexcept {
  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  return a.seq < b.seq;
}

// Keeps the k best of the candidates offered. Candidates gather in a buffer of up to 2k; when it
// fills, a selection keeps the k best and their k-th score becomes the bar that later candidates
// must reach. A scan so costs O(n) plus O(k) per k accepted candidates, instead of a heap update
// per accepted candidate. The kept set is exactly the k best under ranks_before (seq makes the
// order total). Memory: min(2k, reserve_hint) entries up front, never more than the candidates
// offered.
class TopK {
 public:
  TopK(std::size_t k, std::size_t reserve_hint);
  void offer(const Ranked& candidate) {
    // Most candidates of a long scan lose to the k-th best on the score alone; this check
    // refuses exactly those (a NaN candidate loses to any number; ties are kept for the
    // selection, which decides them by seq).
    if (has_bar_ && !(candidate.score >= bar_)) return;
    if (floor_ != nullptr && candidate.score < floor_->load(std::memory_order_relaxed)) return;
    kept_.push_back(candidate);
    if (kept_.size() >= limit_) select();
  }
  // Shares a floor with the other collectors of one parallel scan: a collector holding k
  // numbers raises it to its k-th best score, and every collector refuses candidates scoring
  // below it, which cannot be among the k best of the whole scan. `floor` starts at -infinity
  // and must outlive this collector's offers.
  void share_floor(std::atomic<float>* floor) noexcept { floor_ = floor; }
  void merge(const TopK& other);
  // The kept candidates, best first, as (id, score) pairs.
  SearchHits take_sorted();
  std::vector<Ranked> take_sorted_ranked();

 private:
  // Keeps the k best of the buffer and raises the bar (and the shared floor) to the k-th score.
  void select();

  std::size_t k_;
  std::size_t limit_;  // buffer size that triggers a selection: 2k, saturated
  std::vector<Ranked> kept_;
  bool has_bar_ = false;
  float bar_ = 0.0f;
  std::atomic<float>* floor_ = nullptr;
};

}  // namespace tessaradb::detail
