// Cost of publishing a snapshot: copy the state, then apply one insert and one delete to the
// original while the copy is alive (as the store does while readers hold the last snapshot).
// The figure must not grow with the size of the state.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.hpp"
#include "core/state_machine.hpp"

using namespace tessaradb;

namespace {

MemoryEntry make_entry(std::uint64_t id, std::size_t dim) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = "default";
  e.embedding = std::vector<float>(dim, 0.5f);
  e.metadata.emplace("source", "bench");
  e.created_at = 1'700'000'000 + id / 1000;  // about a thousand memories a second
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t dim = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const std::vector<std::size_t> sizes = {10'000, 100'000, 1'000'000};
  std::printf("state copy + 1 insert + 1 delete (embedding dim %zu), median of 2001 rounds\n", dim);
  std::printf("%10s %14s %10s\n", "memories", "ns/round", "vs 10k");
  double base = 0.0;
  for (std::size_t n : sizes) {
    StateMachine state;
    for (std::uint64_t id = 1; id <= n; ++id) {
      state.insert_memory(make_entry(id, dim));
      if (id > 1 && id % 3 == 0) (void)state.add_edge(MemoryId{id}, MemoryId{id - 1}, "next");
    }
    std::uint64_t next = n + 1;
    std::vector<double> samples;
    for (int round = 0; round < 2001; ++round) {
      const double start = bench::now_seconds();
      StateMachine snapshot = state;  // what a published snapshot holds
      state.insert_memory(make_entry(next, dim));
      // Delete a memory with edges in both directions, from the middle of the id range.
      (void)state.delete_memory(MemoryId{next - n / 2});
      samples.push_back(bench::now_seconds() - start);
      ++next;
    }
    const double ns = bench::median(samples) * 1e9;
    if (base == 0.0) base = ns;
    std::printf("%10zu %14.0f %9.2fx\n", n, ns, ns / base);
  }
  return 0;
}
