// Exact cosine scan of the vector index against the memory bandwidth it needs.
//
// For 10k, 100k and 1M vectors of 384 floats: the index's exact scan (sequential and on the
// data-parallel pool), a plain streaming read of the same number of bytes (one thread, and the
// same number of threads as the pool), and, when numpy is available, numpy's float32
// matrix-vector product over a matrix of the same shape. Medians of several runs; all figures
// come from this one run.
//
//   index_exact_scan_bench [python-with-numpy]     (default: /work/main/.venv/bin/python)

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "index/vector.hpp"

namespace {

using tessaradb::MemoryId;
using tessaradb::VectorIndex;
using tessaradb::bench::median_seconds;

constexpr std::size_t kDimension = 384;

// Sums the buffer with 8 independent accumulators so the loop is limited by memory, not by
// addition latency.
float stream_sum(const float* data, std::size_t count) {
  float acc[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    for (int l = 0; l < 8; ++l) acc[l] += data[i + l];
  }
  for (; i < count; ++i) acc[0] += data[i];
  float total = 0;
  for (float a : acc) total += a;
  return total;
}

float stream_sum_threads(const float* data, std::size_t count, std::size_t threads) {
  std::vector<float> partial(threads);
  std::vector<std::thread> pool;
  const std::size_t per = (count + threads - 1) / threads;
  for (std::size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      const std::size_t begin = std::min(count, t * per), end = std::min(count, begin + per);
      partial[t] = stream_sum(data + begin, end - begin);
    });
  }
  for (auto& th : pool) th.join();
  float total = 0;
  for (float p : partial) total += p;
  return total;
}

std::string numpy_figures(const std::string& python, std::size_t rows) {
  const std::string script =
      "import time,numpy as np\n"
      "rng=np.random.default_rng(1)\n"
      "m=rng.uniform(-1,1,(" +
      std::to_string(rows) + "," + std::to_string(kDimension) +
      ")).astype(np.float32)\n"
      "q=rng.uniform(-1,1," +
      std::to_string(kDimension) +
      ").astype(np.float32)\n"
      "s=[]\n"
      "for _ in range(7):\n"
      "  t=time.perf_counter(); r=m@q; s.append(time.perf_counter()-t)\n"
      "s.sort(); print(round(s[3]*1e3, 2))\n";
  const std::string command = python + " -c '" + script + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "n/a";
  char line[128] = {};
  std::string out = std::fgets(line, sizeof(line), pipe) ? std::string(line) : "n/a";
  ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out.empty() ? "n/a" : out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string python = argc > 1 ? argv[1] : "/work/main/.venv/bin/python";
  const std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::printf("exact scan, dimension %zu, top_k 10, %zu hardware threads; median ms\n", kDimension,
              threads);
  std::printf("%10s %10s %10s %10s %10s %10s %8s %8s\n", "vectors", "seq scan", "par scan",
              "seq read", "par read", "numpy", "par/read", "GB/s par");
  std::mt19937 rng{42};
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (const std::size_t rows : {std::size_t{10000}, std::size_t{100000}, std::size_t{1000000}}) {
    double seq_ms = 0, par_ms = 0, read_ms = 0, par_read_ms = 0;
    {
      VectorIndex index(kDimension);
      std::vector<float> v(kDimension);
      for (std::size_t id = 0; id < rows; ++id) {
        for (float& x : v) x = dist(rng);
        (void)index.index_in_namespace("bench", MemoryId{id}, v);
      }
      std::vector<float> q(kDimension);
      for (float& x : q) x = dist(rng);
      const int reps = rows >= 1000000 ? 7 : (rows > 10000 ? 15 : 101);
      seq_ms = 1e3 * median_seconds(reps, [&] {
                 auto hits = index.search_scoped(q, 10, std::nullopt, false, 1);
                 if (!hits || hits->size() != 10) std::abort();
               });
      par_ms = 1e3 * median_seconds(reps, [&] {
                 auto hits = index.search_scoped(q, 10, std::nullopt, true, 1);
                 if (!hits || hits->size() != 10) std::abort();
               });
      // The same number of bytes read plainly, in one contiguous buffer.
      std::vector<float> plain(rows * kDimension);
      for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<float>(i & 1023);
      volatile float sink = 0;
      read_ms =
          1e3 * median_seconds(reps, [&] { sink = sink + stream_sum(plain.data(), plain.size()); });
      par_read_ms = 1e3 * median_seconds(reps, [&] {
                      sink = sink + stream_sum_threads(plain.data(), plain.size(), threads);
                    });
    }
    const std::string numpy_ms = numpy_figures(python, rows);
    const double gigabytes = static_cast<double>(rows * kDimension * sizeof(float)) / 1e9;
    std::printf("%10zu %10.2f %10.2f %10.2f %10.2f %10s %8.2f %8.2f\n", rows, seq_ms, par_ms,
                read_ms, par_read_ms, numpy_ms.c_str(), par_ms / par_read_ms,
                gigabytes / (par_ms / 1e3));
  }
  return 0;
}
