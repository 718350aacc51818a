// Query latency (p50, p99) on an idle store against the same queries while a writer inserts
// continuously. A capacity limit of the store's size evicts the oldest memory on every insert,
// so both runs query an index of the same size. Readers load a snapshot and never take the writer
// lock, so a busy writer (which also syncs under the Batch policy) should cost the queries little
// beyond the shared CPU.
//
//   store_query_bench [memories, default 20000] [queries, default 400]

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "store/store.hpp"

namespace {

using namespace tessaradb;

constexpr std::size_t kDimension = 384;

using Rng = bench::Xorshift;

MemoryEntry make_entry(std::uint64_t id, Rng& rng) {
  MemoryEntry entry;
  entry.id = MemoryId{id};
  entry.namespace_ = "default";
  entry.embedding = rng.vector(kDimension);
  entry.created_at = 1700000000 + id;
  return entry;
}

struct Latency {
  double p50_ms;
  double p99_ms;
};

Latency run_queries(const TessaraDBStore& store, const std::vector<std::vector<float>>& queries) {
  QueryOptions options;  // what the facade sends
  options.top_k = 10;
  options.graph_hops = 1;
  std::vector<double> samples;
  samples.reserve(queries.size());
  for (const auto& q : queries) {
    FixedEmbedder embedder(q);
    const double start = bench::now_seconds();
    auto result = store.query_with_snapshot("", options, embedder);
    samples.push_back((bench::now_seconds() - start) * 1e3);
    if (!result) {
      std::fprintf(stderr, "query failed: %s\n", result.error().message().c_str());
      std::exit(1);
    }
  }
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t memories = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  const std::size_t query_count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 400;
  const auto dir = std::filesystem::temp_directory_path() / "store_query_bench";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  StoreOptions options;
  options.wal_path = dir / "tessaradb.wal";
  options.segments_dir = dir / "segments";
  options.dimension = kDimension;
  options.sync = SyncPolicy{SyncPolicy::Batch{64, 50}};
  options.capacity.max_entries = memories;
  auto opened = TessaraDBStore::new_with_policies(options);
  if (!opened) {
    std::fprintf(stderr, "open failed: %s\n", opened.error().message().c_str());
    return 1;
  }
  std::unique_ptr<TessaraDBStore> store = std::move(*opened);
  Rng rng(0x2545f4914f6cdd1dull);
  std::uint64_t next_id = 1;
  for (; next_id <= memories; ++next_id) (void)store->insert_memory(make_entry(next_id, rng));
  std::vector<std::vector<float>> queries;
  for (std::size_t i = 0; i < query_count; ++i) queries.push_back(rng.vector(kDimension));

  (void)run_queries(*store, queries);  // warm up caches and the intent anchors

  // The busy run first, then the idle one on the state the writer left: evictions leave dead
  // rows in the index until it reclaims them, and both runs should scan the same index.
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> written{0};
  std::thread writer([&, id = next_id]() mutable {
    Rng writer_rng(0x1234567ull);
    while (!stop.load()) {
      (void)store->insert_memory(make_entry(id++, writer_rng));
      written.fetch_add(1);
    }
  });
  const double busy_start = bench::now_seconds();
  const Latency busy = run_queries(*store, queries);
  const double busy_seconds = bench::now_seconds() - busy_start;
  stop = true;
  writer.join();
  (void)store->flush();
  const Latency idle = run_queries(*store, queries);

  std::printf("store with %zu memories of %zu floats, %zu queries (top_k 10, 1 hop)\n", memories,
              kDimension, query_count);
  std::printf("%-28s %10s %10s\n", "", "p50 ms", "p99 ms");
  std::printf("%-28s %10.3f %10.3f\n", "idle", idle.p50_ms, idle.p99_ms);
  std::printf("%-28s %10.3f %10.3f\n", "writer inserting (batch)", busy.p50_ms, busy.p99_ms);
  std::printf("%-28s %9.2fx %9.2fx\n", "ratio", busy.p50_ms / idle.p50_ms,
              busy.p99_ms / idle.p99_ms);
  std::printf("writer inserted %llu memories during the busy run (%.0f/s)\n",
              static_cast<unsigned long long>(written.load()),
              static_cast<double>(written.load()) / busy_seconds);
  store.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
