#pragma once

// Small helpers shared by the C++ benchmarks: a monotonic stopwatch, medians and a line printer,
// and a seeded generator of benchmark vectors.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tessaradb::bench {

inline double now_seconds() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// Median of `samples` (which it sorts).
inline double median(std::vector<double> samples) {
  if (samples.empty()) return 0.0;
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
}

// Runs `op` `repetitions` times and returns the median seconds of one run.
template <typename Op>
double median_seconds(int repetitions, Op&& op) {
  std::vector<double> samples;
  samples.reserve(repetitions);
  for (int i = 0; i < repetitions; ++i) {
    const double start = now_seconds();
    op();
    samples.push_back(now_seconds() - start);
  }
  return median(std::move(samples));
}

// Xorshift64 generator of floats in [-0.5, 0.5): cheap enough not to show in the timings, and
// the same sequence on every run for a given seed.
struct Xorshift {
  std::uint64_t state;
  explicit Xorshift(std::uint64_t seed) : state(seed) {}
  float next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<float>(state >> 40) / static_cast<float>(1 << 24) - 0.5f;
  }
  std::vector<float> vector(std::size_t dimension) {
    std::vector<float> v(dimension);
    for (float& x : v) x = next();
    return v;
  }
};

}  // namespace tessaradb::bench
