// The write path, snapshots, reads and opening: what one thread sees.

#include "store/store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>

#include "testing/storage_fault_fs.hpp"
#include "testing/store_fixture.hpp"

namespace tessaradb {
namespace {

using testing::FaultInjectingFileSystem;
using testing::FixedEmbedder;
using testing::store_memory;

class StoreTest : public testing::StoreFixture {
 protected:
  QueryOptions query_options(std::size_t top_k) const {
    QueryOptions o;
    o.top_k = top_k;
    o.graph_hops = 1;
    return o;
  }

  // The ids of the top hits for `query` on the current snapshot.
  std::vector<std::uint64_t> ask(const TessaraDBStore& store, std::vector<float> query,
                                 std::size_t top_k) const {
    FixedEmbedder embedder(std::move(query));
    auto result = store.query_with_snapshot("", query_options(top_k), embedder);
    EXPECT_TRUE(result) << (result ? "" : result.error().message());
    std::vector<std::uint64_t> ids;
    if (result) {
      for (const QueryHit& hit : result->execution.hits) ids.push_back(hit.id.value);
    }
    return ids;
  }
};

std::uint64_t directory_bytes(const std::filesystem::path& dir) {
  std::uint64_t total = 0;
  for (const auto& file : std::filesystem::directory_iterator(dir)) total += file.file_size();
  return total;
}

TEST_F(StoreTest, ReopenFromACheckpointKeepsTheSegmentsAndReportsADamagedCheckpoint) {
  {
    auto store = open_store(options());
    ASSERT_TRUE(store);
    for (std::uint64_t id = 1; id <= 6; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
    ASSERT_TRUE(store->checkpoint_now());
    ASSERT_TRUE(store->insert_memory(store_memory(7)));
  }
  const std::uint64_t segment_bytes = directory_bytes(segments_dir());
  {
    auto store = open_store(options());
    ASSERT_TRUE(store);
    EXPECT_EQ(store->state_machine().memory_count(), 7u);
    EXPECT_EQ(store->indexed_embeddings(), 7u);
    EXPECT_EQ(directory_bytes(segments_dir()), segment_bytes);  // nothing rewritten
  }

  const auto intact = checkpoint_path().string() + ".intact";
  std::filesystem::copy_file(checkpoint_path(), intact);
  std::filesystem::resize_file(checkpoint_path(), file_size(checkpoint_path()) / 2);
  auto refused = TessaraDBStore::recover_with_policies(options());
  ASSERT_FALSE(refused);
  EXPECT_TRUE(std::holds_alternative<TessaraDBStoreError::Checkpoint>(refused.error().kind));
  EXPECT_EQ(refused.error().message().rfind("Checkpoint error: Serialization error", 0), 0u)
      << refused.error().message();

  std::filesystem::copy_file(intact, checkpoint_path(),
                             std::filesystem::copy_options::overwrite_existing);
  auto store = open_store(options());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->state_machine().memory_count(), 7u);
}

TEST_F(StoreTest, WrongLengthEmbeddingIsRefusedBeforeTheLog) {
  auto store = open_store(options());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->insert_memory(store_memory(1)));
  const auto log_bytes = file_size(wal_path());
  MemoryEntry bad = store_memory(2);
  bad.embedding = std::vector<float>{1.0f, 2.0f, 3.0f};

  auto refused = store->insert_memory(bad);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Vector index error: Dimension mismatch: expected 4, got 3");
  EXPECT_EQ(store->wal_len(), 1u);
  EXPECT_EQ(file_size(wal_path()), log_bytes);
  EXPECT_FALSE(store->state_machine().contains(MemoryId{2}));
  EXPECT_TRUE(store->insert_memory(store_memory(2)));  // the store stays usable
}

TEST_F(StoreTest, MemoryWithoutEmbeddingIsStoredButNotIndexed) {
  {
    auto store = open_store(options());
    ASSERT_TRUE(store);
    MemoryEntry plain = store_memory(1);
    plain.embedding.reset();
    ASSERT_TRUE(store->insert_memory(plain));
    ASSERT_TRUE(store->insert_memory(store_memory(2)));
    EXPECT_TRUE(store->state_machine().contains(MemoryId{1}));
    EXPECT_EQ(store->indexed_embeddings(), 1u);
    EXPECT_EQ(ask(*store, store_memory(1).embedding.to_vector(), 5), std::vector<std::uint64_t>{2});
  }
  auto reopened = open_store(options());  // the open-time check agrees too
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->indexed_embeddings(), 1u);
  EXPECT_EQ(reopened->state_machine().memory_count(), 2u);
}

TEST_F(StoreTest, ReinsertWithoutEmbeddingKeepsItOnlyForUnchangedContent) {
  auto store = open_store(options());
  ASSERT_TRUE(store);
  const MemoryEntry original = store_memory(5, 4, "default", "same text");
  ASSERT_TRUE(store->insert_memory(original));
  const auto log_entries = store->wal_len();

  MemoryEntry changed = original;
  changed.content = "other text";
  changed.embedding.reset();
  auto refused = store->insert_memory(changed);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "Embedding required when content changes for memory id MemoryId(5)");
  EXPECT_EQ(store->wal_len(), log_entries);

  MemoryEntry same = original;
  same.embedding.reset();
  same.metadata = {{"k", "v"}};
  ASSERT_TRUE(store->insert_memory(same));
  const MemoryEntry* stored = store->state_machine().get(MemoryId{5});
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->embedding, original.embedding);
  EXPECT_EQ(stored->metadata.at("k"), "v");
  EXPECT_EQ(store->indexed_embeddings(), 1u);
}

TEST_F(StoreTest, SnapshotHeldAcrossADeleteStillShowsTheMemory) {
  auto store = open_store(options());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->insert_memory(store_memory(1)));
  ASSERT_TRUE(store->insert_memory(store_memory(2)));
  ASSERT_TRUE(store->add_edge(MemoryId{1}, MemoryId{2}, "next"));
  const auto held = store->snapshot();

  ASSERT_TRUE(store->delete_memory(MemoryId{2}));
  EXPECT_TRUE(held->state_machine.contains(MemoryId{2}));
  EXPECT_TRUE(held->indexes.vector.has(MemoryId{2}));
  EXPECT_EQ(held->state_machine.get_neighbors(MemoryId{1})->size(), 1u);
  const auto now = store->snapshot();
  EXPECT_FALSE(now->state_machine.contains(MemoryId{2}));
  EXPECT_FALSE(now->indexes.vector.has(MemoryId{2}));
  EXPECT_TRUE(now->state_machine.get_neighbors(MemoryId{1})->empty());
}

TEST_F(StoreTest, RefusedCommandsCarryTheEngineErrorAndWriteNothing) {
  auto store = open_store(options());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->insert_memory(store_memory(1, 4, "a")));
  ASSERT_TRUE(store->insert_memory(store_memory(2, 4, "b")));
  const auto published = store->snapshot();

  struct Case {
    const char* expected;
    std::function<Result<CommandId, TessaraDBStoreError>()> write;
  };
  const Case cases[] = {
      {"Engine error: Segment error: Entry not found: MemoryId(9)",
       [&] { return store->delete_memory(MemoryId{9}); }},
      {"Engine error: State machine error: Cross-namespace edge is not allowed: "
       "from=MemoryId(1) (a) to=MemoryId(2) (b)",
       [&] { return store->add_edge(MemoryId{1}, MemoryId{2}, "r"); }},
      {"Engine error: State machine error: Memory not found: MemoryId(7)",
       [&] { return store->add_edge(MemoryId{7}, MemoryId{1}, "r"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    auto result = c.write();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.expected);
    EXPECT_EQ(store->wal_len(), 2u);
    EXPECT_EQ(store->snapshot(), published);  // failed writes publish nothing
  }
  // CommandIds continue where the log ends.
  auto next = store->insert_memory(store_memory(3));
  ASSERT_TRUE(next);
  EXPECT_EQ(*next, 2u);
}

TEST_F(StoreTest, QueriesRunOnTheSnapshotAndReportExecutorErrors) {
  auto store = open_store(options());
  ASSERT_TRUE(store);
  FixedEmbedder embedder({1.0f, 0.0f, 0.0f, 0.0f});
  auto empty = store->query_with_snapshot("", query_options(3), embedder);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message(), "Query error: Vector error: No embeddings indexed");

  for (std::uint64_t id = 1; id <= 8; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
  auto zero = store->query_with_snapshot("", query_options(0), embedder);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().message(), "Query error: Invalid top_k: 0");

  auto hits = store->query_with_snapshot("", query_options(3), embedder);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->execution.hits.size(), 3u);
  EXPECT_EQ(hits->snapshot, store->snapshot());
  // ids 4 and 8 point along axis 0; 8 has the smaller off-axis bump (0.25 against 1.0).
  EXPECT_EQ(hits->execution.hits[0].id, MemoryId{8});
  EXPECT_EQ(hits->execution.hits[1].id, MemoryId{4});
}

TEST_F(StoreTest, CapacityEvictsOldestAndKeepsTheIndexInStep) {
  StoreOptions o = options();
  o.capacity.max_entries = 3;
  auto store = open_store(o);
  ASSERT_TRUE(store);
  for (std::uint64_t id = 1; id <= 5; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
  const StateMachine state = store->state_machine();
  EXPECT_EQ(state.memory_count(), 3u);
  EXPECT_FALSE(state.contains(MemoryId{1}));
  EXPECT_FALSE(state.contains(MemoryId{2}));
  EXPECT_EQ(store->indexed_embeddings(), 3u);
  // Two evictions were logged as deletes.
  EXPECT_EQ(store->wal_len(), 7u);
}

TEST_F(StoreTest, ReopenRestoresStateAndRefusesAnotherDimension) {
  {
    auto store = open_store(options());
    ASSERT_TRUE(store);
    for (std::uint64_t id = 1; id <= 4; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
    ASSERT_TRUE(store->delete_memory(MemoryId{3}));
    ASSERT_TRUE(store->add_edge(MemoryId{1}, MemoryId{2}, "rel"));
  }
  StoreOptions wider = options();
  wider.dimension = 8;
  auto refused = TessaraDBStore::recover_with_policies(wider);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Vector index error: Dimension mismatch: expected 8, got 4");

  auto store = open_store(options());
  ASSERT_TRUE(store);
  const StateMachine state = store->state_machine();
  EXPECT_EQ(state.memory_count(), 3u);
  EXPECT_FALSE(state.contains(MemoryId{3}));
  EXPECT_EQ(store->indexed_embeddings(), 3u);
  EXPECT_EQ(state.get_neighbors(MemoryId{1})->at(0).second, "rel");
}

// Every embedding of the published state is a view of the row the index holds for that memory:
// the state keeps no copy of the floats of its own, nor a view that pins a reclaimed block.
void expect_state_shares_index_rows(const TessaraDBStore& store) {
  const auto snap = store.snapshot();
  std::size_t with_embedding = 0;
  snap->state_machine.memories().for_each([&](std::uint64_t id, const StateMachine::EntryPtr& e) {
    if (!e->has_embedding()) return;
    ++with_embedding;
    EXPECT_TRUE(e->embedding.shares_storage_with(snap->indexes.vector.row_view(MemoryId{id})))
        << id;
  });
  EXPECT_EQ(with_embedding, snap->indexes.vector.len());
}

TEST_F(StoreTest, StateSharesTheIndexRowsAfterWritesRebuildsAndReopens) {
  StateMachine expected;
  std::vector<std::uint64_t> answers;
  {
    auto store = open_store(options());
    ASSERT_TRUE(store);
    for (std::uint64_t id = 1; id <= 40; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
    // Replacing one memory again and again makes the partition rebuild (moving every row).
    for (std::uint64_t round = 0; round < 45; ++round) {
      MemoryEntry changed = store_memory(41 + round);
      changed.id = MemoryId{5};
      ASSERT_TRUE(store->insert_memory(changed));
    }
    expect_state_shares_index_rows(*store);
    ASSERT_TRUE(store->checkpoint_now());
    // Log entries after the checkpoint: a replacement, a move to another namespace, a memory
    // without embedding, a new one, and deletes enough to make the open rebuild the partition.
    ASSERT_TRUE(store->insert_memory(store_memory(99, 4, "default", "memory 2")));
    MemoryEntry replaced = store_memory(99, 4, "default", "memory 2");
    replaced.id = MemoryId{2};
    ASSERT_TRUE(store->insert_memory(replaced));
    ASSERT_TRUE(store->insert_memory(store_memory(11, 4, "other")));
    for (std::uint64_t version : {7u, 8u}) {  // replaced twice within the log
      MemoryEntry twice = store_memory(version * 10);
      twice.id = MemoryId{3};
      ASSERT_TRUE(store->insert_memory(twice));
    }
    ASSERT_TRUE(store->delete_memory(MemoryId{4}));  // deleted, then inserted again
    ASSERT_TRUE(store->insert_memory(store_memory(4)));
    MemoryEntry plain = store_memory(60);
    plain.embedding.reset();
    ASSERT_TRUE(store->insert_memory(plain));
    for (std::uint64_t id = 12; id <= 40; ++id) ASSERT_TRUE(store->delete_memory(MemoryId{id}));
    expect_state_shares_index_rows(*store);
    expected = store->state_machine();
    answers = ask(*store, {0.2f, 1.0f, 0.1f, 0.0f}, 5);
  }
  auto store = open_store(options());
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->state_machine() == expected);
  EXPECT_EQ(store->indexed_embeddings(), 12u);
  EXPECT_EQ(store->snapshot()->indexes.vector.namespace_of(MemoryId{11}), "other");
  expect_state_shares_index_rows(*store);
  EXPECT_EQ(ask(*store, {0.2f, 1.0f, 0.1f, 0.0f}, 5), answers);
  // Writes after the open keep sharing.
  ASSERT_TRUE(store->insert_memory(store_memory(70)));
  expect_state_shares_index_rows(*store);
}

TEST_F(StoreTest, FailedSyncRefusesLaterWritesFlushesAndCheckpointsUntilReopened) {
  FaultInjectingFileSystem fs;
  {
    auto store = open_store(options(), fs);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->insert_memory(store_memory(1)));
    fs.fail_nth("sync", 1, EIO);
    auto failed = store->insert_memory(store_memory(2));
    ASSERT_FALSE(failed);
    const std::string text = failed.error().message();
    EXPECT_NE(text.find("Engine error: WAL error: IO error: sync"), std::string::npos) << text;
    EXPECT_NE(text.find("(os error 5)"), std::string::npos) << text;

    // Every later write and flush reports that same failure, although the file system works
    // again: the kernel may have dropped what the failed sync was asked to write.
    auto later = store->insert_memory(store_memory(3));
    ASSERT_FALSE(later);
    EXPECT_EQ(later.error().message(), text);
    auto flushed = store->flush();
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error().message(), text);
    auto checkpointed = store->checkpoint_now();
    ASSERT_FALSE(checkpointed);
    EXPECT_EQ(checkpointed.error().message(), text);
    EXPECT_FALSE(store->delete_memory(MemoryId{1}));
    // Reads keep working on the last published snapshot.
    EXPECT_TRUE(store->state_machine().contains(MemoryId{1}));
    EXPECT_FALSE(store->state_machine().contains(MemoryId{2}));
  }
  auto reopened = open_store(options());
  ASSERT_TRUE(reopened);
  EXPECT_TRUE(reopened->state_machine().contains(MemoryId{1}));
  EXPECT_FALSE(reopened->state_machine().contains(MemoryId{3}));
  EXPECT_TRUE(reopened->insert_memory(store_memory(3)));
}

TEST_F(StoreTest, FailedSegmentWriteRefusesLaterWrites) {
  FaultInjectingFileSystem fs;
  auto store = open_store(options(), fs);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->insert_memory(store_memory(1)));
  // The first append of the next insert goes to the log, the second to the segment.
  fs.fail_nth("append", 2, ENOSPC);
  auto failed = store->insert_memory(store_memory(2));
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().message().find("Engine error: Segment error: IO error"),
            std::string::npos)
      << failed.error().message();
  auto later = store->add_edge(MemoryId{1}, MemoryId{1}, "self");
  ASSERT_FALSE(later);
  EXPECT_EQ(later.error().message(), failed.error().message());
}

// ---- HNSW mode
// -------------------------------------------------------------------------------------

class StoreHnswTest : public StoreTest {
 protected:
  StoreOptions hnsw_options() const { return options({SyncPolicy::Strict{}}, {IndexMode::Hnsw{}}); }

  // Opens in HNSW mode and returns the store with what it printed.
  std::pair<std::unique_ptr<TessaraDBStore>, std::string> open_hnsw() {
    ::testing::internal::CaptureStderr();
    auto store = open_store(hnsw_options());
    return {std::move(store), ::testing::internal::GetCapturedStderr()};
  }

  // The graph must hold exactly the memories with embeddings, each with its current vector.
  void expect_graph_matches_state(const TessaraDBStore& store) {
    const auto snap = store.snapshot();
    const auto& graph = snap->indexes.vector.hnsw();
    ASSERT_TRUE(graph);
    std::size_t with_embedding = 0;
    snap->state_machine.memories().for_each(
        [&](std::uint64_t id, const StateMachine::EntryPtr& entry) {
          if (!entry->has_embedding()) return;
          ++with_embedding;
          auto stored = graph->get(MemoryId{id});
          ASSERT_TRUE(stored && *stored) << id;
          EXPECT_EQ(entry->embedding, **stored) << id;
        });
    EXPECT_EQ(graph->size(), with_embedding);
  }
};

TEST_F(StoreHnswTest, FileIsBuiltSavedAndReusedWithTheSameAnswers) {
  std::vector<std::uint64_t> answers;
  {
    auto [store, printed] = open_hnsw();
    ASSERT_TRUE(store);
    EXPECT_EQ(printed, "No HNSW index file found, building fresh index\n");
    for (std::uint64_t id = 1; id <= 40; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
    ASSERT_TRUE(store->checkpoint_now());
    EXPECT_TRUE(std::filesystem::exists(hnsw_path()));
    answers = ask(*store, {0.2f, 1.0f, 0.1f, 0.0f}, 5);
  }
  auto [store, printed] = open_hnsw();
  ASSERT_TRUE(store);
  EXPECT_EQ(printed, "Loaded HNSW index from disk (fast recovery)\n");
  EXPECT_EQ(store->indexed_embeddings(), 40u);
  EXPECT_EQ(ask(*store, {0.2f, 1.0f, 0.1f, 0.0f}, 5), answers);
  expect_graph_matches_state(*store);
  expect_state_shares_index_rows(*store);
}

TEST_F(StoreHnswTest, StaleFileIsReconciledWithTheState) {
  const auto stale = dir_.path() / "stale.hnsw";
  std::vector<std::uint64_t> answers;
  {
    auto [store, printed] = open_hnsw();
    ASSERT_TRUE(store);
    for (std::uint64_t id = 1; id <= 30; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
    ASSERT_TRUE(store->checkpoint_now());
    std::filesystem::copy_file(hnsw_path(), stale);
    // After the file was saved: a delete, a new vector for an id, a memory that lost its
    // embedding (same content) and new memories.
    ASSERT_TRUE(store->delete_memory(MemoryId{3}));
    MemoryEntry moved = store_memory(4);
    moved.embedding = std::vector<float>{0.0f, 0.0f, 0.0f, 1.0f};
    ASSERT_TRUE(store->insert_memory(moved));
    for (std::uint64_t id = 31; id <= 35; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
    answers = ask(*store, {0.0f, 0.1f, 0.0f, 1.0f}, 6);
  }
  // A crash would have left the older file.
  std::filesystem::copy_file(stale, hnsw_path(), std::filesystem::copy_options::overwrite_existing);
  auto [store, printed] = open_hnsw();
  ASSERT_TRUE(store);
  EXPECT_EQ(printed, "Loaded HNSW index from disk (fast recovery)\n");
  expect_graph_matches_state(*store);
  EXPECT_FALSE(store->snapshot()->indexes.vector.hnsw()->contains(MemoryId{3}));
  EXPECT_EQ(ask(*store, {0.0f, 0.1f, 0.0f, 1.0f}, 6), answers);
}

TEST_F(StoreHnswTest, DamagedFileIsRebuiltFromTheState) {
  {
    auto [store, printed] = open_hnsw();
    ASSERT_TRUE(store);
    for (std::uint64_t id = 1; id <= 10; ++id) ASSERT_TRUE(store->insert_memory(store_memory(id)));
  }
  ASSERT_TRUE(std::filesystem::exists(hnsw_path()));         // saved when the store was dropped
  EXPECT_FALSE(std::filesystem::exists(checkpoint_path()));  // checkpoints are Disabled
  std::filesystem::resize_file(hnsw_path(), file_size(hnsw_path()) / 2);
  auto [store, printed] = open_hnsw();
  ASSERT_TRUE(store);
  EXPECT_EQ(printed.rfind("Failed to load HNSW index, rebuilding: ", 0), 0u) << printed;
  EXPECT_EQ(store->indexed_embeddings(), 10u);
  expect_graph_matches_state(*store);
}

}  // namespace
}  // namespace tessaradb
