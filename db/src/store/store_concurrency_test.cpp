// Readers during writers: every query sees exactly one published state.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "store/store.hpp"
#include "testing/store_fixture.hpp"

namespace tessaradb {
namespace {

using testing::FixedEmbedder;
using testing::store_memory;

// The similarity a hit on the facade's path carries: the cosine (single precision, sums in
// element order) mapped to [0, 1].
float expected_similarity(const std::vector<float>& query, const std::vector<float>& stored) {
  float dot = 0.0f, nq = 0.0f, nv = 0.0f;
  for (std::size_t i = 0; i < query.size(); ++i) {
    dot += query[i] * stored[i];
    nq += query[i] * query[i];
    nv += stored[i] * stored[i];
  }
  const float cosine = nv == 0.0f ? 0.0f : dot / (std::sqrt(nv) * std::sqrt(nq));
  return std::clamp((cosine + 1.0f) * 0.5f, 0.0f, 1.0f);
}

class StoreConcurrencyTest : public testing::StoreFixture {};

TEST_F(StoreConcurrencyTest, ReadersSeeConsistentSnapshotsWhileWritersRun) {
  auto store = open_store(options({SyncPolicy::Batch{16, 5}}));
  ASSERT_TRUE(store);
  for (std::uint64_t id = 1; id <= 50; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));

  std::atomic<bool> writing{true};
  std::atomic<std::uint64_t> queries{0};
  auto write = [&](std::uint64_t seed) {
    std::mt19937_64 rng{seed};
    for (int op = 0; op < 300; ++op) {
      const std::uint64_t id = 1 + rng() % 120;
      switch (rng() % 4) {
        case 0:
        case 1: {  // insert, or replace with a new vector so a stale score would show
          MemoryEntry entry = store_memory(id);
          entry.content = "v" + std::to_string(op);
          std::vector<float> shifted = entry.embedding.to_vector();
          for (float& x : shifted) x += static_cast<float>(rng() % 100) / 50.0f;
          entry.embedding = std::move(shifted);
          ASSERT_TRUE(store->insert_memory(entry));
          break;
        }
        case 2:
          (void)store->delete_memory(MemoryId{id});  // may be absent: refused, nothing written
          break;
        default:
          (void)store->add_edge(MemoryId{id}, MemoryId{1 + rng() % 120}, "rel");
          break;
      }
    }
  };
  auto read = [&](std::uint64_t seed) {
    std::mt19937 rng{static_cast<std::uint32_t>(seed)};
    QueryOptions options;
    options.top_k = 5;
    options.graph_hops = 1;
    do {
      std::vector<float> query(4);
      for (float& x : query) x = static_cast<float>(rng() % 100) / 10.0f + 0.1f;
      FixedEmbedder embedder(query);
      auto result = store->query_with_snapshot("", options, embedder);
      ASSERT_TRUE(result) << result.error().message();
      const ReadSnapshot& snap = *result->snapshot;
      ASSERT_LE(result->execution.hits.size(), 5u);
      for (const QueryHit& hit : result->execution.hits) {
        const MemoryEntry* entry = snap.state_machine.get(hit.id);
        ASSERT_NE(entry, nullptr) << hit.id.value;
        ASSERT_TRUE(entry->embedding);
        EXPECT_FLOAT_EQ(hit.score, expected_similarity(query, entry->embedding.to_vector())) << hit.id.value;
      }
      // The snapshot's index and state belong to one write.
      std::size_t with_embedding = 0;
      snap.state_machine.memories().for_each(
          [&](std::uint64_t id, const StateMachine::EntryPtr& entry) {
            if (!entry->has_embedding()) return;
            ++with_embedding;
            EXPECT_EQ(snap.indexes.vector.vector_of(MemoryId{id}), entry->embedding) << id;
          });
      EXPECT_EQ(snap.indexes.vector.len(), with_embedding);
      queries.fetch_add(1);
    } while (writing.load());
  };

  std::vector<std::thread> readers;
  for (std::uint64_t r = 0; r < 3; ++r) readers.emplace_back(read, 100 + r);
  std::thread w1(write, 1), w2(write, 2);
  w1.join();
  w2.join();
  writing = false;
  for (auto& t : readers) t.join();
  EXPECT_GE(queries.load(), 3u);

  // What the last snapshot shows is what a reopen recovers.
  const StateMachine last = store->state_machine();
  store.reset();
  auto reopened = open_store(options({SyncPolicy::Batch{16, 5}}));
  ASSERT_TRUE(reopened);
  EXPECT_TRUE(reopened->state_machine() == last);
}

}  // namespace
}  // namespace tessaradb
