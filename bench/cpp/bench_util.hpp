#pragma once

// Small helpers shared by the C++ benchmarks: a monotonic stopwatch, medians and a line printer.

#include <algorithm>
#include <chrono>
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

}  // namespace tessaradb::bench
