#include "index/exact_scan.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include <immintrin.h>

namespace tessaradb::detail {

namespace {

typedef float Lanes __attribute__((vector_size(kTileRows * sizeof(float))));
static_assert(kTileRows == 8, "the broadcast below spells out eight lanes");

// Helpers take and give vectors by reference: passing them by value would depend on the
// instruction set the caller was compiled for.
inline void load_lanes(Lanes& v, const float* p) { std::memcpy(&v, p, sizeof(v)); }
inline void store_lanes(float* p, const Lanes& v) { std::memcpy(p, &v, sizeof(v)); }

// Eight tiles at a time keep eight independent accumulators in flight, enough to hide the
// latency of the additions on two adders; every lane still adds its products strictly in element
// order. Multiplication and addition stay separate instructions (no contraction is allowed), so
// the bits equal the scalar loop's whatever instruction set compiles this. `tile_at(t)` gives the
// first float of the t-th tile to score.
template <std::size_t kGroup, typename TileAt>
__attribute__((always_inline)) inline void dot_tile_group(const float* query, TileAt&& tile_at,
                                                          std::size_t dimension, std::size_t t,
                                                          float* out) noexcept {
  const float* tiles[kGroup];
#pragma GCC unroll 8
  for (std::size_t g = 0; g < kGroup; ++g) tiles[g] = tile_at(t + g);
  Lanes sums[kGroup] = {};
  for (std::size_t i = 0; i < dimension; ++i) {
    const float x = query[i];
    const Lanes q = {x, x, x, x, x, x, x, x};
    const std::size_t off = i * kTileRows;
#pragma GCC unroll 8
    for (std::size_t g = 0; g < kGroup; ++g) {
      Lanes v;
      load_lanes(v, tiles[g] + off);
      sums[g] = sums[g] + q * v;
    }
  }
#pragma GCC unroll 8
  for (std::size_t g = 0; g < kGroup; ++g) store_lanes(out + (t + g) * kTileRows, sums[g]);
}

template <typename TileAt>
__attribute__((always_inline)) inline void dot_tiles_body(const float* query, TileAt&& tile_at,
                                                          std::size_t dimension,
                                                          std::size_t tile_count,
                                                          float* out) noexcept {
  std::size_t t = 0;
  for (; t + 8 <= tile_count; t += 8) dot_tile_group<8>(query, tile_at, dimension, t, out);
  for (; t + 4 <= tile_count; t += 4) dot_tile_group<4>(query, tile_at, dimension, t, out);
  for (; t < tile_count; ++t) dot_tile_group<1>(query, tile_at, dimension, t, out);
}

// out = lanes of `a` (0..7) and `b` (8..15) picked by constant indices; __builtin_shufflevector
// is understood by g++ (12 and later) and clang alike.
template <int... I>
__attribute__((always_inline)) inline void pick(Lanes& out, const Lanes& a,
                                                const Lanes& b) noexcept {
  out = __builtin_shufflevector(a, b, I...);
}

// Element e of each of the eight row slices in `r`, for e in 0..7: an 8x8 transpose, so that
// lane l of c[e] is r[l][e].
__attribute__((always_inline)) inline void transpose8(const Lanes (&r)[8], Lanes (&c)[8]) noexcept {
  Lanes t[8], u[8];
#pragma GCC unroll 8
  for (int k = 0; k < 8; k += 2) {
    pick<0, 8, 1, 9, 4, 12, 5, 13>(t[k], r[k], r[k + 1]);
    pick<2, 10, 3, 11, 6, 14, 7, 15>(t[k + 1], r[k], r[k + 1]);
  }
#pragma GCC unroll 8
  for (int k = 0; k < 8; k += 4) {
    pick<0, 1, 8, 9, 4, 5, 12, 13>(u[k], t[k], t[k + 2]);
    pick<2, 3, 10, 11, 6, 7, 14, 15>(u[k + 1], t[k], t[k + 2]);
    pick<0, 1, 8, 9, 4, 5, 12, 13>(u[k + 2], t[k + 1], t[k + 3]);
    pick<2, 3, 10, 11, 6, 7, 14, 15>(u[k + 3], t[k + 1], t[k + 3]);
  }
#pragma GCC unroll 8
  for (int e = 0; e < 4; ++e) {
    pick<0, 1, 2, 3, 8, 9, 10, 11>(c[e], u[e], u[e + 4]);
    pick<4, 5, 6, 7, 12, 13, 14, 15>(c[e + 4], u[e], u[e + 4]);
  }
}

// dot products of the query with `count` rows stored one after the other (row-major), eight
// rows at a time with one row per lane: eight elements of each row are loaded and transposed,
// and each lane adds its products strictly in element order, as the scalar loop does.
__attribute__((always_inline)) inline void dot_rows_body(const float* query, const float* rows,
                                                         std::size_t dimension, std::size_t count,
                                                         float* out) noexcept {
  for (std::size_t first = 0; first < count; first += kTileRows) {
    const std::size_t in_group = std::min(kTileRows, count - first);
    const float* row[kTileRows];
    // A short last group repeats its first row in the spare lanes, whose sums are dropped.
    for (std::size_t l = 0; l < kTileRows; ++l) {
      row[l] = rows + (first + (l < in_group ? l : 0)) * dimension;
    }
    Lanes sum = {};
    std::size_t i = 0;
    for (; i + kTileRows <= dimension; i += kTileRows) {
      Lanes r[8], c[8];
#pragma GCC unroll 8
      for (std::size_t l = 0; l < kTileRows; ++l) load_lanes(r[l], row[l] + i);
      transpose8(r, c);
#pragma GCC unroll 8
      for (std::size_t e = 0; e < kTileRows; ++e) {
        const float x = query[i + e];
        const Lanes q = {x, x, x, x, x, x, x, x};
        sum = sum + q * c[e];
      }
    }
    for (; i < dimension; ++i) {
      const float x = query[i];
      const Lanes q = {x, x, x, x, x, x, x, x};
      const Lanes v = {row[0][i], row[1][i], row[2][i], row[3][i],
                       row[4][i], row[5][i], row[6][i], row[7][i]};
      sum = sum + q * v;
    }
    float lanes[kTileRows];
    store_lanes(lanes, sum);
    for (std::size_t l = 0; l < in_group; ++l) out[first + l] = lanes[l];
  }
}

// out[r] = cosine_from_parts(out[r], norms[r], sqrt_nq) for r in [0, count).
void cosines_scalar(float* out, const float* norms, std::size_t count, float sqrt_nq) noexcept {
  for (std::size_t r = 0; r < count; ++r) out[r] = cosine_from_parts(out[r], norms[r], sqrt_nq);
}

// The same eight at a time: square root and division are exactly rounded in vector registers as
// in scalar ones, so the bits are those of cosine_from_parts.
__attribute__((target("avx2"))) void cosines_avx2(float* out, const float* norms,
                                                  std::size_t count, float sqrt_nq) noexcept {
  const __m256 s = _mm256_set1_ps(sqrt_nq);
  const __m256 zero = _mm256_setzero_ps();
  std::size_t r = 0;
  for (; r + 8 <= count; r += 8) {
    const __m256 nv = _mm256_loadu_ps(norms + r);
    const __m256 cosine = _mm256_div_ps(_mm256_loadu_ps(out + r),
                                        _mm256_mul_ps(_mm256_sqrt_ps(nv), s));
    _mm256_storeu_ps(out + r, _mm256_blendv_ps(cosine, zero, _mm256_cmp_ps(nv, zero, _CMP_EQ_OQ)));
  }
  cosines_scalar(out + r, norms + r, count - r, sqrt_nq);
}

struct Kernels {
  void (*cosines)(float*, const float*, std::size_t, float) noexcept;
  void (*contiguous)(const float*, const float*, std::size_t, std::size_t, float*) noexcept;
  void (*listed)(const float*, const float* const*, std::size_t, std::size_t, float*) noexcept;
  void (*rows)(const float*, const float*, std::size_t, std::size_t, float*) noexcept;
};

template <typename Target>
struct KernelsFor {
  static void contiguous(const float* query, const float* tiles, std::size_t dimension,
                         std::size_t tile_count, float* out) noexcept {
    const std::size_t tile_floats = dimension * kTileRows;
    Target::run([&](std::size_t t) { return tiles + t * tile_floats; }, query, dimension,
                tile_count, out);
  }
  static void listed(const float* query, const float* const* tiles, std::size_t dimension,
                     std::size_t tile_count, float* out) noexcept {
    Target::run([&](std::size_t t) { return tiles[t]; }, query, dimension, tile_count, out);
  }
  static void rows(const float* query, const float* rows, std::size_t dimension, std::size_t count,
                   float* out) noexcept {
    Target::run_rows(query, rows, dimension, count, out);
  }
};

struct Avx2 {
  template <typename TileAt>
  __attribute__((target("avx2"))) static void run(TileAt tile_at, const float* query,
                                                  std::size_t dimension, std::size_t tile_count,
                                                  float* out) noexcept {
    dot_tiles_body(query, tile_at, dimension, tile_count, out);
  }
  __attribute__((target("avx2"))) static void run_rows(const float* query, const float* rows,
                                                       std::size_t dimension, std::size_t count,
                                                       float* out) noexcept {
    dot_rows_body(query, rows, dimension, count, out);
  }
};

struct Baseline {
  template <typename TileAt>
  static void run(TileAt tile_at, const float* query, std::size_t dimension, std::size_t tile_count,
                  float* out) noexcept {
    dot_tiles_body(query, tile_at, dimension, tile_count, out);
  }
  static void run_rows(const float* query, const float* rows, std::size_t dimension,
                       std::size_t count, float* out) noexcept {
    dot_rows_body(query, rows, dimension, count, out);
  }
};

// Chosen on first use rather than through an ifunc resolver: resolvers run before sanitizer
// runtimes are ready, and thread-sanitized builds crash in them.
Kernels pick_kernels() noexcept {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    return Kernels{cosines_avx2, KernelsFor<Avx2>::contiguous, KernelsFor<Avx2>::listed,
                   KernelsFor<Avx2>::rows};
  }
  return Kernels{cosines_scalar, KernelsFor<Baseline>::contiguous, KernelsFor<Baseline>::listed,
                 KernelsFor<Baseline>::rows};
}

const Kernels& kernels() noexcept {
  static const Kernels chosen = pick_kernels();
  return chosen;
}

}  // namespace

void dot_tiles(const float* query, const float* tiles, std::size_t dimension,
               std::size_t tile_count, float* out) noexcept {
  kernels().contiguous(query, tiles, dimension, tile_count, out);
}

void dot_tile_list(const float* query, const float* const* tiles, std::size_t dimension,
                   std::size_t tile_count, float* out) noexcept {
  kernels().listed(query, tiles, dimension, tile_count, out);
}

void dot_rows(const float* query, const float* rows, std::size_t dimension, std::size_t count,
              float* out) noexcept {
  kernels().rows(query, rows, dimension, count, out);
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
  constexpr std::size_t kNorms = 256;
  float norms[kNorms];
  for (std::size_t at = begin; at < end; at += kNorms) {
    const std::size_t count = std::min(kNorms, end - at);
    for (std::size_t r = 0; r < count; ++r) norms[r] = block.squared_norm(at + r);
    kernels().cosines(out + (at - begin), norms, count, sqrt_nq);
  }
}

TopK::TopK(std::size_t k, std::size_t reserve_hint)
    : k_(k),
      limit_(k > std::numeric_limits<std::size_t>::max() / 2 ? k
                                                             : std::max<std::size_t>(2 * k, 1)) {
  kept_.reserve(std::min(limit_, reserve_hint));
}

namespace {

// ranks_before as a function object, so the selection algorithms inline it.
constexpr auto kRanksBefore = [](const Ranked& a, const Ranked& b) { return ranks_before(a, b); };

}  // namespace

void TopK::select() {
  if (k_ == 0) {
    kept_.clear();
    return;
  }
  if (kept_.size() > k_) {
    std::nth_element(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(k_ - 1),
                     kept_.end(), kRanksBefore);
    kept_.resize(k_);
  }
  if (kept_.size() < k_) return;
  // After nth_element the k-th best sits at k-1 and the rest rank before it. A NaN there means
  // fewer than k numbers are kept, which gives no bar.
  const float kth = kept_[k_ - 1].score;
  if (std::isnan(kth)) return;
  has_bar_ = true;
  bar_ = kth;
  if (floor_ == nullptr) return;
  float current = floor_->load(std::memory_order_relaxed);
  while (kth > current && !floor_->compare_exchange_weak(current, kth, std::memory_order_relaxed)) {
  }
}

void TopK::merge(const TopK& other) {
  for (const Ranked& r : other.kept_) offer(r);
}

std::vector<Ranked> TopK::take_sorted_ranked() {
  if (kept_.size() > k_) {
    std::nth_element(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(k_),
                     kept_.end(), kRanksBefore);
    kept_.resize(k_);
  }
  std::sort(kept_.begin(), kept_.end(), kRanksBefore);
  return std::move(kept_);
}

SearchHits TopK::take_sorted() {
  const std::vector<Ranked> ranked = take_sorted_ranked();
  SearchHits hits;
  hits.reserve(ranked.size());
  for (const Ranked& r : ranked) hits.emplace_back(r.id, r.score);
  return hits;
}

}  // namespace tessaradb::detail
