// Cost of one write under a capacity limit, at 10k and at 1M memories: each write inserts a
// memory and enforces max_entries, which evicts the oldest one. The running totals and the
// ordered eviction set keep this independent of the database size; the ratio is printed.
// Memories carry 16 floats, so that the figures show the bookkeeping rather than the I/O.
//
// Usage: engine_capacity_bench [small] [large]

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "engine/engine.hpp"

using namespace tessaradb;

namespace {

MemoryEntry make_memory(std::uint64_t id) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = "default";
  e.content = "m" + std::to_string(id);
  e.embedding = std::vector<float>(16, static_cast<float>(id % 7));
  e.created_at = 1700000000 + id / 1000;
  e.importance = static_cast<float>(id % 5) / 5.0f;
  return e;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    std::exit(1);
  }
}

struct Figures {
  double first_enforce_seconds = 0;  // builds the totals and the eviction set
  double write_us = 0;               // median per write (insert + enforce, one eviction)
  double write_no_limit_us = 0;      // median per insert without a limit
};

Figures measure(std::uint64_t memories) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tessaradb-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  const std::filesystem::path root = pattern;
  Figures f;
  {
    auto engine = Engine::create(root / "tessaradb.wal", root / "segments");
    check(static_cast<bool>(engine), "create");
    for (std::uint64_t id = 1; id <= memories; ++id) {
      check(static_cast<bool>(engine->execute_command_unsynced(InsertMemory{make_memory(id)})),
            "fill");
    }
    std::uint64_t next = memories + 1;
    constexpr int kBatch = 2000;
    constexpr int kBatches = 7;
    f.write_no_limit_us = 1e6 / kBatch * bench::median_seconds(kBatches, [&] {
                            for (int i = 0; i < kBatch; ++i) {
                              check(static_cast<bool>(engine->execute_command_unsynced(
                                        InsertMemory{make_memory(next++)})),
                                    "insert");
                            }
                          });
    const CapacityLimits limits{engine->state_machine().memory_count(), std::nullopt};
    f.first_enforce_seconds = bench::median_seconds(1, [&] {
      check(static_cast<bool>(engine->enforce_capacity_with_sync(limits, false)), "enforce");
    });
    f.write_us = 1e6 / kBatch * bench::median_seconds(kBatches, [&] {
                   for (int i = 0; i < kBatch; ++i) {
                     check(static_cast<bool>(
                               engine->execute_command_unsynced(InsertMemory{make_memory(next++)})),
                           "insert");
                     auto result = engine->enforce_capacity_with_sync(limits, false);
                     check(result && result->evicted.size() == 1, "evict");
                   }
                 });
  }
  std::filesystem::remove_all(root);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t small = argc > 1 ? std::stoull(argv[1]) : 10000;
  const std::uint64_t large = argc > 2 ? std::stoull(argv[2]) : 1000000;
  const Figures a = measure(small);
  const Figures b = measure(large);
  std::printf("engine capacity: one write = insert + enforce max_entries (one eviction)\n");
  std::printf("%-12s %16s %18s %20s\n", "memories", "write us (median)", "no-limit insert us",
              "first enforce ms");
  for (const auto& [n, f] : {std::pair{small, a}, std::pair{large, b}}) {
    std::printf("%-12llu %16.2f %18.2f %20.1f\n", static_cast<unsigned long long>(n), f.write_us,
                f.write_no_limit_us, f.first_enforce_seconds * 1e3);
  }
  std::printf("ratio write(%llu)/write(%llu): %.2f\n", static_cast<unsigned long long>(large),
              static_cast<unsigned long long>(small), b.write_us / a.write_us);
  return 0;
}
