// What a published snapshot costs the vector index: copy the writer's index, then insert one
// vector into the writer (the next write after a publish), as the store does on every write.
// The cost must track what the write changed, not the number of vectors held: the figure for
// 1M vectors should stay within a small factor of the one for 10k.

#include <cstdio>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "index/vector.hpp"

int main() {
  using tessaradb::MemoryId;
  using tessaradb::VectorIndex;
  constexpr std::size_t kDimension = 384;
  constexpr int kRounds = 2000;
  std::mt19937 rng{7};
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(kDimension);
  auto fill = [&] {
    for (float& x : v) x = dist(rng);
  };

  std::printf("copy + one insert, dimension %zu; median microseconds per round of %d\n", kDimension,
              kRounds);
  std::printf("%10s %12s %12s %12s\n", "vectors", "copy+insert", "copy+replace", "copy+remove");
  double base = 0;
  for (const std::size_t rows : {std::size_t{10000}, std::size_t{1000000}}) {
    VectorIndex writer(kDimension);
    for (std::size_t id = 0; id < rows; ++id) {
      fill();
      (void)writer.index_in_namespace(id % 4 ? "main" : "side", MemoryId{id}, v);
    }
    std::uint64_t next = rows;
    std::vector<VectorIndex> snapshots;  // kept alive, as readers would keep them
    snapshots.reserve(kRounds * 3);
    auto measure = [&](auto&& write) {
      std::vector<double> samples;
      for (int r = 0; r < kRounds; ++r) {
        fill();
        const double start = tessaradb::bench::now_seconds();
        snapshots.push_back(writer);
        write();
        samples.push_back(tessaradb::bench::now_seconds() - start);
      }
      return 1e6 * tessaradb::bench::median(std::move(samples));
    };
    const double insert_us =
        measure([&] { (void)writer.index_in_namespace("main", MemoryId{next++}, v); });
    const double replace_us = measure(
        [&] { (void)writer.index_in_namespace("main", MemoryId{(next++ * 7919) % rows}, v); });
    const double remove_us =
        measure([&] { (void)writer.remove(MemoryId{(next++ * 104729) % rows}); });
    std::printf("%10zu %12.2f %12.2f %12.2f\n", rows, insert_us, replace_us, remove_us);
    if (rows == 10000) {
      base = insert_us;
    } else {
      std::printf("ratio 1M/10k (copy+insert): %.2f\n", insert_us / base);
    }
  }
  return 0;
}
