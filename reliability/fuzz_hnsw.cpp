// libFuzzer target: loading an HNSW graph file and one search over it. The input is written as
// the graph file of an 8-dimensional HNSW-mode database and loaded the way the store loads it at
// open (VectorIndex::load_hnsw hands the file to HnswBackend::load_from_file, which checks every
// count, kind and link before the library reads it); a graph that loads must answer a search
// with keys it holds. No input may crash, hang or allocate much more than its
// own size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unordered_set>
#include <vector>

#include <unistd.h>

#include "index/hnsw.hpp"

using namespace tessaradb;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kDimension = 8;  // the dimension of the seed files
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("fuzz-" + std::to_string(getpid()) + ".hnsw");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  auto loaded = HnswBackend::load_from_file(path, kDimension, HnswConfig{});
  if (!loaded || !*loaded) return 0;
  const auto& graph = **loaded;
  auto keys = graph.keys();
  if (!keys) return 0;
  const std::unordered_set<std::uint64_t> held = [&] {
    std::unordered_set<std::uint64_t> s;
    for (const MemoryId id : *keys) s.insert(id.value);
    return s;
  }();
  std::vector<float> query(kDimension, 0.25f);
  query[size % kDimension] = 1.0f;
  auto hits = graph.search(query, 5);
  if (hits) {
    for (const auto& hit : *hits) {
      if (!held.contains(hit.first.value)) std::abort();
    }
  }
  return 0;
}
