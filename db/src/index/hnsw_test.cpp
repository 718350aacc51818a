#include "index/hnsw.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "index/vector.hpp"
#include "testing/index_vectors.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb {
namespace {

using testing::random_vector;

std::shared_ptr<HnswBackend> make_backend(std::size_t dimension) {
  auto backend = HnswBackend::create(dimension, HnswConfig{});
  EXPECT_TRUE(backend);
  return *backend;
}

std::vector<unsigned char> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
  // A new file rather than a truncated one: file systems flush a file truncated to zero on close.
  std::filesystem::remove(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::size_t backend_search_fails(const HnswBackend& backend, const std::vector<float>& q) {
  auto hits = backend.search(q, 10);
  return hits && hits->size() == 10 ? 0 : 1;
}

TEST(HnswBackend, ErrorTextsAndDebugForms) {
  struct Case {
    HnswError error;
    std::string text;
    std::string debug;
  };
  const std::vector<Case> cases = {
      {{HnswError::UsearchError{"Duplicate \"key\""}},
       "USearch error: Duplicate \"key\"",
       "UsearchError(\"Duplicate \\\"key\\\"\")"},
      {{HnswError::DimensionMismatch{4, 3}},
       "Dimension mismatch: expected 4, got 3",
       "DimensionMismatch { expected: 4, actual: 3 }"},
      {{HnswError::NoVectors{}}, "No vectors indexed", "NoVectors"},
      {{HnswError::LockError{}}, "Lock error", "LockError"},
      {{HnswError::IoError{{IndexIoError::Kind::NotFound, "HNSW index file not found"}}},
       "IO error: HNSW index file not found",
       "IoError(\"HNSW index file not found\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.message(), c.text);
    EXPECT_EQ(c.error.debug_string(), c.debug);
  }
}

TEST(HnswBackend, SearchBeforeAnyAddIsNoVectors) {
  auto backend = make_backend(3);
  auto hits = backend->search(std::vector<float>{1, 0, 0}, 5);
  ASSERT_FALSE(hits);
  EXPECT_TRUE(std::holds_alternative<HnswError::NoVectors>(hits.error().kind));
}

TEST(HnswBackend, AddChecksLengthAndRefusesDuplicates) {
  auto backend = make_backend(3);
  auto wrong = backend->add(MemoryId{1}, std::vector<float>{1, 0});
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().message(), "Dimension mismatch: expected 3, got 2");
  ASSERT_TRUE(backend->add(MemoryId{1}, std::vector<float>{1, 0, 0}));
  auto duplicate = backend->add(MemoryId{1}, std::vector<float>{0, 1, 0});
  ASSERT_FALSE(duplicate);
  EXPECT_TRUE(std::holds_alternative<HnswError::UsearchError>(duplicate.error().kind));
  EXPECT_EQ(backend->get(MemoryId{1})->value(), (std::vector<float>{1, 0, 0}));
  auto hits = backend->search(std::vector<float>{1, 0, 0}, 1);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].first, MemoryId{1});
  EXPECT_NEAR((*hits)[0].second, 1.0f, 1e-6);
}

TEST(HnswBackend, GrowsAndForgetsRemovedKeys) {
  std::mt19937 rng{3};
  auto backend = make_backend(8);
  for (std::uint64_t id = 0; id < 500; ++id) {  // several capacity doublings
    ASSERT_TRUE(backend->add(MemoryId{id}, random_vector(rng, 8)));
  }
  const auto target = random_vector(rng, 8);
  ASSERT_TRUE(backend->remove(MemoryId{7}));
  ASSERT_TRUE(backend->remove(MemoryId{7}));       // absent: not an error
  ASSERT_TRUE(backend->add(MemoryId{7}, target));  // re-add under the same key after removal
  auto hits = backend->search(target, 1);
  ASSERT_TRUE(hits);
  EXPECT_EQ((*hits)[0].first, MemoryId{7});
  ASSERT_TRUE(backend->remove(MemoryId{7}));
  auto after = backend->search(target, 500);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->size(), 499u);
  for (const auto& [id, score] : *after) EXPECT_NE(id, MemoryId{7});
}

// Searches run at once, each in a search slot of its own, and answer exactly as they do alone;
// a loaded graph gets the slots too. Writes interleave with them (run under the sanitizers).
TEST(HnswBackend, ConcurrentSearchesAnswerAsAlone) {
  std::mt19937 rng{11};
  auto built = make_backend(16);
  for (std::uint64_t id = 0; id < 2000; ++id) {
    ASSERT_TRUE(built->add(MemoryId{id}, random_vector(rng, 16)));
  }
  testing::TempDir dir;
  ASSERT_TRUE(built->save_to_file(dir / "g.hnsw"));
  auto loaded = HnswBackend::load_from_file(dir / "g.hnsw", 16, HnswConfig{});
  ASSERT_TRUE(loaded);
  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 40; ++i) queries.push_back(random_vector(rng, 16));

  for (const std::shared_ptr<HnswBackend>& backend : {built, *loaded}) {
    std::vector<SearchHits> alone;
    for (const auto& q : queries) alone.push_back(*backend->search(q, 10));
    std::atomic<std::size_t> mismatches{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&] {
        for (int round = 0; round < 5; ++round) {
          for (std::size_t i = 0; i < queries.size(); ++i) {
            auto hits = backend->search(queries[i], 10);
            if (!hits) {
              failures.fetch_add(1);
            } else if (*hits != alone[i]) {
              mismatches.fetch_add(1);
            }
          }
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_EQ(mismatches.load(), 0u);
  }

  // A writer adding and removing keys while searches run: every search succeeds.
  std::atomic<bool> done{false};
  std::atomic<std::size_t> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        for (const auto& q : queries) failures += backend_search_fails(*built, q);
      }
    });
  }
  std::mt19937 writer_rng{12};
  const std::uint64_t generation = built->generation();
  for (std::uint64_t id = 2000; id < 2300; ++id) {
    ASSERT_TRUE(built->add(MemoryId{id}, random_vector(writer_rng, 16)));
    ASSERT_TRUE(built->remove(MemoryId{id - 1000}));
  }
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_EQ(built->size(), 2000u);
  EXPECT_EQ(built->generation(), generation + 600);  // one step per write
}

TEST(HnswBackend, MissingFileIsNotFound) {
  testing::TempDir dir;
  auto loaded = HnswBackend::load_from_file(dir / "absent.hnsw", 3, HnswConfig{});
  ASSERT_FALSE(loaded);
  const auto* io = std::get_if<HnswError::IoError>(&loaded.error().kind);
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->inner.kind, IndexIoError::Kind::NotFound);
  EXPECT_EQ(loaded.error().message(), "IO error: HNSW index file not found");
  // Through the vector index a missing file is simply "no graph".
  auto none = VectorIndex::load_hnsw(dir / "absent.hnsw", 3, HnswConfig{});
  ASSERT_TRUE(none);
  EXPECT_EQ(*none, nullptr);
}

TEST(HnswBackend, SaveCreatesDirectoriesAndRoundTrips) {
  testing::TempDir dir;
  std::mt19937 rng{11};
  auto backend = make_backend(5);
  std::vector<std::vector<float>> vectors;
  for (std::uint64_t id = 0; id < 50; ++id) {
    vectors.push_back(random_vector(rng, 5));
    ASSERT_TRUE(backend->add(MemoryId{id}, vectors.back()));
  }
  ASSERT_TRUE(backend->remove(MemoryId{3}));
  const auto path = dir / "nested" / "deeper" / "tessaradb.hnsw";
  ASSERT_TRUE(backend->save_to_file(path));
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp"));
  ASSERT_TRUE(backend->save_to_file(path));  // replacing an existing file works too

  auto loaded = HnswBackend::load_from_file(path, 5, HnswConfig{});
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ((*loaded)->size(), 49u);
  EXPECT_FALSE((*loaded)->contains(MemoryId{3}));
  EXPECT_EQ((*loaded)->get(MemoryId{9})->value(), vectors[9]);
  auto before = backend->search(vectors[20], 5);
  auto after = (*loaded)->search(vectors[20], 5);
  ASSERT_TRUE(before && after);
  EXPECT_EQ(*before, *after);
  ASSERT_TRUE((*loaded)->add(MemoryId{100}, vectors[0]));  // the loaded graph keeps growing

  // Another dimension is refused, not misread.
  EXPECT_FALSE(HnswBackend::load_from_file(path, 6, HnswConfig{}));
}

// Every truncation and a seeded mix of byte damage either fails the load or yields a graph
// that can be searched and written; nothing crashes (run under the sanitizers).
TEST(HnswBackend, DamagedFilesFailCleanly) {
  testing::TempDir dir;
  std::mt19937 rng{12345};
  auto backend = make_backend(4);
  for (std::uint64_t id = 0; id < 40; ++id) {
    ASSERT_TRUE(backend->add(MemoryId{id}, random_vector(rng, 4)));
  }
  ASSERT_TRUE(backend->remove(MemoryId{5}));
  const auto path = dir / "graph.hnsw";
  ASSERT_TRUE(backend->save_to_file(path));
  const auto original = read_bytes(path);
  ASSERT_GT(original.size(), 200u);

  auto exercise = [&](const std::vector<unsigned char>& bytes) -> bool {
    write_bytes(path, bytes);
    auto loaded = HnswBackend::load_from_file(path, 4, HnswConfig{});
    if (!loaded) return false;
    const auto q = random_vector(rng, 4);
    auto hits = (*loaded)->search(q, 10);
    EXPECT_TRUE(hits);
    (void)(*loaded)->add(MemoryId{1000}, q);
    (void)(*loaded)->remove(MemoryId{1});
    EXPECT_TRUE((*loaded)->search(q, 40));
    return true;
  };

  std::size_t truncated_loads = 0;
  for (std::size_t cut = 0; cut < original.size(); ++cut) {
    truncated_loads += exercise({original.begin(), original.begin() + static_cast<long>(cut)});
  }
  EXPECT_EQ(truncated_loads, 0u);  // no prefix of the file is a valid index of the same shape

  std::size_t refused = 0;
  for (int round = 0; round < 3000; ++round) {
    auto bytes = original;
    std::uniform_int_distribution<std::size_t> at(0, bytes.size() - 1);
    const int flips = 1 + round % 3;
    for (int f = 0; f < flips; ++f) {
      bytes[at(rng)] ^= static_cast<unsigned char>(1u << (rng() % 8));
    }
    if (round % 5 == 0) {  // overwrite a whole word with something large
      const std::size_t offset = at(rng) & ~std::size_t{3};
      for (std::size_t i = 0; i < 4 && offset + i < bytes.size(); ++i) bytes[offset + i] = 0xff;
    }
    refused += !exercise(bytes);
  }
  EXPECT_GT(refused, 0u);
  // The undamaged file still loads.
  EXPECT_TRUE(exercise(original));
}

// Damage that the library itself would not notice and that would make it allocate what the file
// claims or read outside its arrays during a later search: each is refused by name.
TEST(HnswBackend, LoadRefusesCountsAndLinksThatWouldBeUnsafe) {
  testing::TempDir dir;
  std::mt19937 rng{21};
  constexpr std::size_t kDimension = 4;
  auto backend = make_backend(kDimension);
  for (std::uint64_t id = 0; id < 300; ++id) {
    ASSERT_TRUE(backend->add(MemoryId{id}, random_vector(rng, kDimension)));
  }
  const auto path = dir / "graph.hnsw";
  ASSERT_TRUE(backend->save_to_file(path));
  const auto original = read_bytes(path);

  // Walk the documented layout to the graph's nodes.
  auto u32_at = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{original[at + i]} << (8 * i);
    return v;
  };
  auto u64_at = [&](std::size_t at) {
    return std::uint64_t{u32_at(at)} | (std::uint64_t{u32_at(at + 4)} << 32);
  };
  const std::size_t rows = u32_at(0);
  const std::size_t header = 8 + rows * u32_at(4) + 64;
  const std::size_t size = u64_at(header), m = u64_at(header + 8), m0 = u64_at(header + 16);
  ASSERT_EQ(size, 300u);
  const std::size_t levels_at = header + 40;
  auto level_of = [&](std::size_t slot) {
    return static_cast<std::int16_t>(original[levels_at + 2 * slot] |
                                     (original[levels_at + 2 * slot + 1] << 8));
  };
  // First node with a level-1 neighbour list holding at least one link, and a level-0 node.
  std::size_t at = levels_at + 2 * size, link_at = 0, low_slot = size;
  for (std::size_t slot = 0; slot < size; ++slot) {
    const std::size_t base = at + 10;
    if (level_of(slot) == 0 && low_slot == size) low_slot = slot;
    if (link_at == 0 && level_of(slot) >= 1 && u32_at(base + 4 + 4 * m0) > 0) {
      link_at = base + 4 + 4 * m0 + 4;  // first slot of its level-1 list
    }
    at = base + (4 + 4 * m0) + static_cast<std::size_t>(level_of(slot)) * (4 + 4 * m);
  }
  ASSERT_EQ(at, original.size());
  ASSERT_NE(link_at, 0u);
  ASSERT_LT(low_slot, size);

  auto put_u32 = [](std::vector<unsigned char>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
  };
  struct Case {
    const char* name;
    std::size_t offset;
    std::uint32_t value;
    const char* problem;
  };
  const std::vector<Case> cases = {
      {"vector count far beyond the file", 0, 0x7fffffff, "truncated vectors"},
      {"neighbour slot past the end", link_at, 100000, "neighbour link out of range"},
      {"level-1 link to a level-0 node", link_at, static_cast<std::uint32_t>(low_slot),
       "neighbour link out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = original;
    put_u32(bytes, c.offset, c.value);
    write_bytes(path, bytes);
    auto loaded = HnswBackend::load_from_file(path, kDimension, HnswConfig{});
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().message(),
              std::string("USearch error: damaged index file: ") + c.problem);
  }
}

}  // namespace
}  // namespace tessaradb
