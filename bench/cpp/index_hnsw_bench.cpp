// HNSW backend: build and search throughput and recall@10 against the exact scan, on the same
// data; and, when the library's own Python package is installed, its insert and search
// throughput at the same parameters (m 16, ef_construction 200, ef_search 50, cosine, f32, one
// thread) on the same vectors.
//
// Data: real sentence embeddings when a vector file is given (raw little-endian float32 rows of
// 384), otherwise clustered synthetic vectors (normalised Gaussian clusters). Uniform random
// vectors are avoided: they make every neighbour almost equally far and recall meaningless.
//
//   index_hnsw_bench [vectors.f32 | -] [count] [python]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "index/vector.hpp"

namespace {

using tessaradb::HnswBackend;
using tessaradb::HnswConfig;
using tessaradb::MemoryId;
using tessaradb::VectorIndex;
using tessaradb::bench::now_seconds;

constexpr std::size_t kDimension = 384;
constexpr std::size_t kQueries = 500;
constexpr std::size_t kTopK = 10;

std::vector<std::vector<float>> load_file(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::vector<float>> out;
  std::vector<float> row(kDimension);
  while (out.size() < limit &&
         in.read(reinterpret_cast<char*>(row.data()), kDimension * sizeof(float))) {
    out.push_back(row);
  }
  return out;
}

std::vector<std::vector<float>> clustered(std::size_t count) {
  std::mt19937 rng{2024};
  std::normal_distribution<float> normal(0.0f, 1.0f);
  constexpr std::size_t kClusters = 200;
  std::vector<std::vector<float>> centers(kClusters, std::vector<float>(kDimension));
  for (auto& c : centers) {
    for (float& x : c) x = normal(rng);
  }
  std::vector<std::vector<float>> out(count, std::vector<float>(kDimension));
  std::uniform_int_distribution<std::size_t> pick(0, kClusters - 1);
  for (auto& v : out) {
    const auto& c = centers[pick(rng)];
    float norm = 0;
    for (std::size_t i = 0; i < kDimension; ++i) {
      v[i] = c[i] + 0.6f * normal(rng);
      norm += v[i] * v[i];
    }
    for (float& x : v) x /= std::sqrt(norm);
  }
  return out;
}

std::string python_figures(const std::string& python, const std::string& file, std::size_t rows) {
  const std::string script =
      "import sys,time,numpy as np\n"
      "from usearch.index import Index\n"
      "d=np.fromfile('" +
      file + "',dtype=np.float32).reshape(-1," + std::to_string(kDimension) +
      ")\n"
      "n=" +
      std::to_string(rows) + "; q=d[n:n+" + std::to_string(kQueries) +
      "]; d=d[:n]\n"
      "ix=Index(ndim=" +
      std::to_string(kDimension) +
      ",metric='cos',dtype='f32',connectivity=16,expansion_add=200,expansion_search=50)\n"
      "t=time.perf_counter()\n"
      "for i in range(n): ix.add(i,d[i],threads=1)\n"
      "a=time.perf_counter()-t\n"
      "t=time.perf_counter()\n"
      "for v in q: ix.search(v," +
      std::to_string(kTopK) +
      ",threads=1)\n"
      "s=time.perf_counter()-t\n"
      "import usearch; print('%s %.0f %.0f' % (usearch.__version__, n/a, len(q)/s))\n";
  const std::string command = python + " -c \"" + script + "\" 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char line[256] = {};
  std::string out = std::fgets(line, sizeof(line), pipe) ? std::string(line) : "";
  ::pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : "-";
  const std::size_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
  const std::string python = argc > 3 ? argv[3] : "/work/main/.venv/bin/python";

  std::vector<std::vector<float>> data;
  std::string source = "clustered synthetic";
  if (file != "-") {
    data = load_file(file, count + kQueries);
    source = "embeddings from " + file;
  }
  if (data.size() < count + kQueries) {
    data = clustered(count + kQueries);
    source = "clustered synthetic";
  }
  const std::vector<std::vector<float>> queries(data.begin() + static_cast<long>(count),
                                                data.end());
  data.resize(count);

  // Build: the graph through its own API, and the vector index with the graph attached.
  const HnswConfig config{16, 200, 50};
  auto graph = *HnswBackend::create(kDimension, config);
  double start = now_seconds();
  for (std::size_t i = 0; i < data.size(); ++i) (void)graph->add(MemoryId{i}, data[i]);
  const double build_s = now_seconds() - start;

  VectorIndex exact(kDimension);
  for (std::size_t i = 0; i < data.size(); ++i) {
    (void)exact.index_in_namespace("bench", MemoryId{i}, data[i]);
  }
  auto with_graph = *VectorIndex::new_with_loaded_hnsw(kDimension, config, graph);
  for (std::size_t i = 0; i < data.size(); ++i) {
    // The graph already holds these vectors, so this only fills the exact rows.
    (void)with_graph.index_in_namespace("bench", MemoryId{i}, data[i]);
  }

  // Each path is timed in its own loop, so no path runs on caches another one warmed.
  std::vector<double> graph_s, index_s, exact_s;
  std::vector<tessaradb::SearchHits> approx_hits, truth_hits;
  for (const auto& q : queries) {
    start = now_seconds();
    auto approx = graph->search(q, kTopK);
    graph_s.push_back(now_seconds() - start);
    if (!approx) std::abort();
    approx_hits.push_back(std::move(*approx));
  }
  for (const auto& q : queries) {
    start = now_seconds();
    auto through_index = with_graph.search_scoped(q, kTopK, std::nullopt, false, 1);
    index_s.push_back(now_seconds() - start);
    if (!through_index) std::abort();
  }
  for (const auto& q : queries) {
    start = now_seconds();
    auto truth = exact.search_scoped(q, kTopK, std::nullopt, false, 1);
    exact_s.push_back(now_seconds() - start);
    if (!truth) std::abort();
    truth_hits.push_back(std::move(*truth));
  }
  double recall_sum = 0;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    std::set<std::uint64_t> want;
    for (const auto& [id, score] : truth_hits[i]) want.insert(id.value);
    std::size_t found = 0;
    for (const auto& [id, score] : approx_hits[i]) found += want.count(id.value);
    recall_sum += static_cast<double>(found) / static_cast<double>(kTopK);
  }
  auto per_second = [](const std::vector<double>& samples) {
    double total = 0;
    for (double s : samples) total += s;
    return static_cast<double>(samples.size()) / total;
  };

  std::printf("HNSW, %zu vectors of %zu (%s), m 16, ef_construction 200, ef_search 50\n",
              data.size(), kDimension, source.c_str());
  std::printf("%-34s %14s\n", "measure", "value");
  std::printf("%-34s %14.0f\n", "build: inserts/s", static_cast<double>(data.size()) / build_s);
  std::printf("%-34s %14.0f\n", "graph search: queries/s", per_second(graph_s));
  std::printf("%-34s %14.0f\n", "VectorIndex search (HNSW): q/s", per_second(index_s));
  std::printf("%-34s %14.0f\n", "exact scan (sequential): q/s", per_second(exact_s));
  std::printf("%-34s %14.4f\n", "recall@10 vs exact",
              recall_sum / static_cast<double>(queries.size()));

  // The library's Python package on the same vectors, same parameters.
  const std::string dump = "/tmp/tessaradb_hnsw_bench.f32";
  {
    std::ofstream out(dump, std::ios::binary | std::ios::trunc);
    for (const auto& v : data) out.write(reinterpret_cast<const char*>(v.data()), kDimension * 4);
    for (const auto& v : queries)
      out.write(reinterpret_cast<const char*>(v.data()), kDimension * 4);
  }
  const std::string figures = python_figures(python, dump, data.size());
  std::remove(dump.c_str());
  if (figures.empty()) {
    std::printf("usearch Python package: not available\n");
  } else {
    char version[64] = {};
    double adds = 0, searches = 0;
    if (std::sscanf(figures.c_str(), "%63s %lf %lf", version, &adds, &searches) == 3) {
      std::printf("%-34s %14.0f\n", (std::string("usearch ") + version + " py: inserts/s").c_str(),
                  adds);
      std::printf("%-34s %14.0f\n", (std::string("usearch ") + version + " py: queries/s").c_str(),
                  searches);
    }
  }
  return 0;
}
