// The facade end to end: remember (384 floats, with content and metadata) and ask, exact and
// HNSW, under the Batch sync policy the Python layer uses for "batch".
//
//   facade_insert_ask_bench [memories, default 20000] [asks, default 500]

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "facade/tessaradb.hpp"

namespace {

using namespace tessaradb;

constexpr std::size_t kDimension = 384;

using Rng = bench::Xorshift;

void run(const char* name, IndexMode mode, std::size_t memories, std::size_t asks) {
  const auto dir = std::filesystem::temp_directory_path() / "facade_insert_ask_bench";
  std::filesystem::remove_all(dir);
  TessaraDBConfig config;
  config.checkpoint = CheckpointPolicy{CheckpointPolicy::Disabled{}};
  config.index_mode = mode;
  config.sync = SyncPolicy{SyncPolicy::Batch{64, 50}};
  config.dimension = kDimension;
  {
    auto opened = TessaraDB::open_with_config(dir, config);
    if (!opened) {
      std::fprintf(stderr, "open failed: %s\n", opened.error().message().c_str());
      std::exit(1);
    }
    auto& db = *opened;
    Rng rng(0x9e3779b97f4a7c15ull);
    std::vector<double> inserts;
    inserts.reserve(memories);
    for (std::size_t i = 0; i < memories; ++i) {
      auto v = rng.vector(kDimension);
      const double start = bench::now_seconds();
      auto id = db->remember_with_content("default", "chunk " + std::to_string(i), std::move(v),
                                          Metadata{{"source", "bench"}});
      inserts.push_back(bench::now_seconds() - start);
      if (!id) std::exit(1);
    }
    std::vector<double> answers;
    for (std::size_t i = 0; i < asks; ++i) {
      auto q = rng.vector(kDimension);
      const double start = bench::now_seconds();
      auto hits = db->ask(std::move(q), 10, std::nullopt);
      answers.push_back(bench::now_seconds() - start);
      if (!hits || hits->size() != 10) std::exit(1);
    }
    std::sort(answers.begin(), answers.end());
    std::printf("%-6s %10zu %16.2f %12.3f %12.3f\n", name, memories, bench::median(inserts) * 1e6,
                answers[answers.size() / 2] * 1e3, answers[answers.size() * 99 / 100] * 1e3);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t memories = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  const std::size_t asks = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 500;
  std::printf("%-6s %10s %16s %12s %12s\n", "index", "memories", "remember us p50", "ask ms p50",
              "ask ms p99");
  run("exact", IndexMode{IndexMode::Exact{}}, memories, asks);
  run("hnsw", IndexMode{IndexMode::Hnsw{}}, memories, asks);
  return 0;
}
