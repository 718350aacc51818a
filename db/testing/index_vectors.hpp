#pragma once

// Test helpers for the index layer: seeded random vectors and the plain scalar cosine that every
// search path must reproduce bit for bit.

#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace tessaradb::testing {

// `dimension` floats uniform in [-1, 1), from `rng`.
inline std::vector<float> random_vector(std::mt19937& rng, std::size_t dimension) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(dimension);
  for (float& x : v) x = dist(rng);
  return v;
}

// The reference score: single-precision sums in element order, one loop per sum, 0.0 for
// vectors of different or zero length and for a stored vector of norm 0.
inline float reference_cosine(std::span<const float> query, std::span<const float> stored) {
  if (query.size() != stored.size() || query.empty()) return 0.0f;
  float dot = 0.0f;
  for (std::size_t i = 0; i < query.size(); ++i) dot += query[i] * stored[i];
  float nv = 0.0f;
  for (std::size_t i = 0; i < stored.size(); ++i) nv += stored[i] * stored[i];
  float nq = 0.0f;
  for (std::size_t i = 0; i < query.size(); ++i) nq += query[i] * query[i];
  if (nv == 0.0f) return 0.0f;
  return dot / (std::sqrt(nv) * std::sqrt(nq));
}

// Bit pattern of a float, so tests compare scores exactly (NaN == NaN, 0.0 != -0.0).
inline std::uint32_t float_bits(float x) {
  std::uint32_t bits;
  static_assert(sizeof(bits) == sizeof(x));
  __builtin_memcpy(&bits, &x, sizeof(x));
  return bits;
}

}  // namespace tessaradb::testing
