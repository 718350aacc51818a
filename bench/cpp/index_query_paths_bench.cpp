// The vector-index pieces of one facade query (top 10, one graph hop, so 50 vector hits), at
// the size the quick comparison runs (10,000 vectors of 384 floats by default):
//   - the exact scan for 50 hits, on one thread and on the data-parallel pool;
//   - the exact rescoring of 50 ids (what the graph hop does with the vector hits), through the
//     index's tiles and, for comparison, row by row with the scalar element-order loop; and the
//     rescoring of the graph's hits from the graph's copies of the rows, right after the search;
//   - the HNSW graph's 50 hits through the index (filtered to the index value's ids) and the
//     bare graph search, at 1 and 2 threads (queries per second over all threads).
// Real sentence embeddings when a vector file is given (raw little-endian float32 rows of 384),
// otherwise normalised Gaussian clusters. Medians over the queries; all figures from one run.
//
//   index_query_paths_bench [vectors.f32 | -] [count]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bench_util.hpp"
#include "index/exact_scan.hpp"
#include "index/vector.hpp"

namespace {

using tessaradb::HnswBackend;
using tessaradb::HnswConfig;
using tessaradb::MemoryId;
using tessaradb::VectorIndex;
using tessaradb::bench::median;
using tessaradb::bench::now_seconds;

constexpr std::size_t kDimension = 384;
constexpr std::size_t kQueries = 300;
constexpr std::size_t kHits = 50;

std::vector<std::vector<float>> load(const std::string& path, std::size_t count) {
  std::vector<std::vector<float>> out;
  if (path != "-") {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> row(kDimension);
    while (out.size() < count &&
           in.read(reinterpret_cast<char*>(row.data()), kDimension * sizeof(float))) {
      out.push_back(row);
    }
  }
  if (out.size() == count) return out;
  out.clear();
  std::mt19937 rng{7};
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> centers(100, std::vector<float>(kDimension));
  for (auto& c : centers) {
    for (float& x : c) x = normal(rng);
  }
  for (std::size_t n = 0; n < count; ++n) {
    std::vector<float> v = centers[n % centers.size()];
    float norm = 0.0f;
    for (float& x : v) {
      x += 0.6f * normal(rng);
      norm += x * x;
    }
    for (float& x : v) x /= std::sqrt(norm);
    out.push_back(std::move(v));
  }
  return out;
}

// Median microseconds of op(query) over the queries.
template <typename Op>
double median_us(const std::vector<std::vector<float>>& queries, Op&& op) {
  std::vector<double> samples;
  for (const auto& q : queries) {
    const double start = now_seconds();
    op(q);
    samples.push_back(now_seconds() - start);
  }
  return median(std::move(samples)) * 1e6;
}

// Queries per second with `threads` threads each running every query once.
template <typename Op>
double throughput(const std::vector<std::vector<float>>& queries, std::size_t threads, Op&& op) {
  const double start = now_seconds();
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (const auto& q : queries) op(q);
    });
  }
  for (auto& w : workers) w.join();
  return static_cast<double>(queries.size() * threads) / (now_seconds() - start);
}

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : "-";
  const std::size_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000;
  auto data = load(file, count + kQueries);
  const std::vector<std::vector<float>> queries(data.begin() + static_cast<long>(count),
                                                data.end());
  data.resize(count);

  const HnswConfig config{16, 200, 50};
  auto with_graph = VectorIndex::new_with_loaded_hnsw(kDimension, config, nullptr);
  require(with_graph.has_value(), "new_with_loaded_hnsw");
  const std::shared_ptr<HnswBackend> graph = with_graph->hnsw();
  VectorIndex exact(kDimension);
  for (std::size_t i = 0; i < data.size(); ++i) {
    require(exact.index_in_namespace("bench", MemoryId{i + 1}, data[i]).has_value(), "index");
    require(with_graph->index_in_namespace("bench", MemoryId{i + 1}, data[i]).has_value(), "add");
  }

  // The ids each query rescores: its 50 best, as the graph hop receives them.
  std::vector<std::unordered_set<MemoryId>> hit_sets;
  for (const auto& q : queries) {
    auto hits = exact.search_scoped(q, kHits, std::nullopt, false, 1);
    require(hits.has_value(), "search");
    std::unordered_set<MemoryId> ids;
    for (const auto& [id, score] : *hits) ids.insert(id);
    hit_sets.push_back(std::move(ids));
  }
  std::size_t next_set = 0;
  auto row_by_row = [&](const std::vector<float>& q) {
    // The scalar element-order loop over each id's row, one id after the other.
    float sum = 0.0f;
    for (const MemoryId id : hit_sets[next_set++ % hit_sets.size()]) {
      const auto v = exact.vector_of(id);
      float dot = 0.0f;
      for (std::size_t i = 0; i < kDimension; ++i) dot += q[i] * (*v)[i];
      sum += dot;
    }
    return sum;
  };

  std::printf("vector index, %zu vectors of %zu, %zu hits per query, %zu queries (%s)\n", count,
              kDimension, kHits, queries.size(), file == "-" ? "synthetic" : file.c_str());
  std::printf("%-48s %12s\n", "path", "median us");
  auto line = [](const char* name, double us) { std::printf("%-48s %12.1f\n", name, us); };
  line("exact scan, one thread", median_us(queries, [&](const auto& q) {
         (void)exact.search_scoped(q, kHits, {}, false, 1);
       }));
  line("exact scan, data-parallel pool", median_us(queries, [&](const auto& q) {
         (void)exact.search_scoped(q, kHits, {}, true, 1);
       }));
  next_set = 0;
  line("rescore 50 ids: search_in_ids", median_us(queries, [&](const auto& q) {
         (void)exact.search_in_ids(q, hit_sets[next_set++ % hit_sets.size()], kHits);
       }));
  next_set = 0;
  line("rescore 50 ids: copy rows, scalar loop each",
       median_us(queries, [&](const auto& q) { (void)row_by_row(q); }));
  line("HNSW 50 hits through the index", median_us(queries, [&](const auto& q) {
         (void)with_graph->search_scoped(q, kHits, {}, false, 7);
       }));
  {
    // What the graph hop does in HNSW mode: rescore the graph's hits right after the search,
    // from the graph's copies of the rows (the search just read them).
    // The same hits rescored from the index's tiles (the index without a graph) for comparison.
    std::vector<double> copies, tiles;
    for (const auto& q : queries) {
      for (const bool from_graph : {true, false}) {
        auto hits = with_graph->search_scoped(q, kHits, std::nullopt, false, 7);
        require(hits.has_value(), "search");
        std::unordered_set<MemoryId> ids;
        for (const auto& [id, score] : *hits) ids.insert(id);
        const double start = now_seconds();
        (void)(from_graph ? *with_graph : exact).search_in_ids(q, ids, kHits);
        (from_graph ? copies : tiles).push_back(now_seconds() - start);
      }
    }
    line("rescore the graph's 50 hits: graph's copies", median(std::move(copies)) * 1e6);
    line("rescore the graph's 50 hits: tiles", median(std::move(tiles)) * 1e6);
  }
  line("HNSW 50 hits, bare graph search",
       median_us(queries, [&](const auto& q) { (void)graph->search(q, kHits); }));
  line("HNSW 10 hits, bare graph search",
       median_us(queries, [&](const auto& q) { (void)graph->search(q, 10); }));

  std::printf("%-48s %12s\n", "HNSW 50 hits through the index", "queries/s");
  auto through_index = [&](const auto& q) {
    (void)with_graph->search_scoped(q, kHits, std::nullopt, false, 7);
  };
  const double one = throughput(queries, 1, through_index);
  const double two = throughput(queries, 2, through_index);
  std::printf("%-48s %12.0f\n", "1 thread", one);
  std::printf("%-48s %12.0f\n", "2 threads", two);
  std::printf("%-48s %12.2f\n", "2 threads / 1 thread", two / one);
  return 0;
}
