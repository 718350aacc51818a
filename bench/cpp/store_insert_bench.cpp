// Insert throughput of the store (384-float embeddings) under each sync policy as the database
// grows. At each size a window of inserts is timed; the cost per insert there should not depend
// on the size: publishing a snapshot and checking the index cost what the write changed.
//
//   store_insert_bench [largest size, default 1000000] [policy: batch, async or strict; default
//   all]
//
// Strict pays two fsyncs per insert, so it stops at a tenth of the largest size.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "store/store.hpp"

namespace {

using namespace tessaradb;

constexpr std::size_t kDimension = 384;
constexpr std::size_t kWindow = 10000;
constexpr std::size_t kChunk = 1000;  // the window's cost is the median of its chunks' means

using Rng = bench::Xorshift;

MemoryEntry make_entry(std::uint64_t id, Rng& rng) {
  MemoryEntry entry;
  entry.id = MemoryId{id};
  entry.namespace_ = "default";
  entry.embedding = rng.vector(kDimension);
  entry.created_at = 1700000000 + id;
  return entry;
}

struct Row {
  std::string policy;
  std::size_t size;
  double us_per_insert;
  double p99_us;
  double faults_per_insert;  // minor page faults: first touches of memory the process grows into
};

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

void run(const std::string& name, SyncPolicy policy, const std::vector<std::size_t>& sizes,
         std::vector<Row>& rows) {
  const auto dir = std::filesystem::temp_directory_path() / ("store_insert_bench_" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  StoreOptions options;
  options.wal_path = dir / "tessaradb.wal";
  options.segments_dir = dir / "segments";
  options.dimension = kDimension;
  options.sync = policy;
  auto opened = TessaraDBStore::new_with_policies(options);
  if (!opened) {
    std::fprintf(stderr, "open failed: %s\n", opened.error().message().c_str());
    std::exit(1);
  }
  std::unique_ptr<TessaraDBStore> store = std::move(*opened);
  Rng rng(0x9e3779b97f4a7c15ull);
  std::uint64_t next_id = 1;
  auto insert = [&] {
    auto done = store->insert_memory(make_entry(next_id++, rng));
    if (!done) {
      std::fprintf(stderr, "insert failed: %s\n", done.error().message().c_str());
      std::exit(1);
    }
  };
  for (std::size_t size : sizes) {
    while (next_id <= size) insert();
    const long faults_before = minor_faults();
    std::vector<double> samples, chunk_means;
    samples.reserve(kWindow);
    for (std::size_t chunk = 0; chunk < kWindow / kChunk; ++chunk) {
      const double start = bench::now_seconds();
      for (std::size_t i = 0; i < kChunk; ++i) {
        const double t = bench::now_seconds();
        insert();
        samples.push_back(bench::now_seconds() - t);
      }
      chunk_means.push_back((bench::now_seconds() - start) / kChunk);
    }
    const double mean = bench::median(chunk_means);
    std::sort(samples.begin(), samples.end());
    const double faults = static_cast<double>(minor_faults() - faults_before) / kWindow;
    rows.push_back({name, size, mean * 1e6, samples[samples.size() * 99 / 100] * 1e6, faults});
    std::printf("  %-7s at %8zu: %8.2f us/insert\n", name.c_str(), size, mean * 1e6);
    std::fflush(stdout);
  }
  store.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t largest = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::vector<std::size_t> sizes;
  for (std::size_t s = 10000; s <= largest; s *= 10) sizes.push_back(s);
  std::vector<std::size_t> strict_sizes;
  for (std::size_t s : sizes) {
    if (s * 10 <= largest || sizes.size() == 1) strict_sizes.push_back(s);
  }

  const std::string only = argc > 2 ? argv[2] : "";
  auto wanted = [&](const char* name) { return only.empty() || only == name; };
  std::vector<Row> rows;
  if (wanted("batch")) run("batch", SyncPolicy{SyncPolicy::Batch{64, 50}}, sizes, rows);
  if (wanted("async")) run("async", SyncPolicy{SyncPolicy::Async{10}}, sizes, rows);
  if (wanted("strict")) run("strict", SyncPolicy{SyncPolicy::Strict{}}, strict_sizes, rows);

  std::printf("\n%-8s %10s %14s %12s %16s %14s\n", "policy", "size", "us/insert", "p99 us",
              "vs first size", "faults/insert");
  for (const Row& row : rows) {
    double first = row.us_per_insert;
    for (const Row& r : rows) {
      if (r.policy == row.policy) {
        first = r.us_per_insert;
        break;
      }
    }
    std::printf("%-8s %10zu %14.2f %12.2f %15.2fx %14.2f\n", row.policy.c_str(), row.size,
                row.us_per_insert, row.p99_us, row.us_per_insert / first, row.faults_per_insert);
  }
  return 0;
}
