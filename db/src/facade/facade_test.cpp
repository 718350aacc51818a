#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "facade/tessaradb.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb {
namespace {

class FacadeTest : public ::testing::Test {
 protected:
  static TessaraDBConfig config(std::size_t dimension = 4,
                                IndexMode mode = IndexMode{IndexMode::Exact{}}) {
    TessaraDBConfig c;
    c.checkpoint = CheckpointPolicy{CheckpointPolicy::Disabled{}};
    c.index_mode = mode;
    c.sync = SyncPolicy{SyncPolicy::Strict{}};
    c.dimension = dimension;
    return c;
  }

  std::unique_ptr<TessaraDB> open(const TessaraDBConfig& c = config()) {
    auto db = TessaraDB::open_with_config(path(), c);
    EXPECT_TRUE(db) << (db ? "" : db.error().message());
    return db ? std::move(*db) : nullptr;
  }

  std::filesystem::path path() const { return dir_.path() / "db"; }

  static std::vector<float> axis(std::size_t i, float bump = 0.0f) {
    std::vector<float> v(4, 0.01f);
    v[i % 4] = 1.0f;
    v[(i + 1) % 4] += bump;
    return v;
  }

  testing::TempDir dir_;
};

TEST_F(FacadeTest, IdsStartAtOneAndContinueAboveTheLargestAfterReopen) {
  {
    auto db = open();
    ASSERT_TRUE(db);
    for (std::uint64_t expected = 1; expected <= 7; ++expected) {
      auto id = db->remember_in_namespace("default", axis(expected), std::nullopt);
      ASSERT_TRUE(id);
      EXPECT_EQ(id->value, expected);
    }
    ASSERT_TRUE(db->delete_memory(MemoryId{3}));
  }
  auto db = open();
  ASSERT_TRUE(db);
  auto next = db->remember_in_namespace("default", axis(0), std::nullopt);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->value, 8u);
}

TEST_F(FacadeTest, RememberedMemoryHasItsDefaults) {
  auto db = open();
  ASSERT_TRUE(db);
  const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  auto plain = db->remember_in_namespace("notes", axis(1), std::nullopt);
  auto rich =
      db->remember_with_content("notes", std::string("a\0b", 3), axis(2), Metadata{{"k", "v"}});
  const auto after = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  ASSERT_TRUE(plain && rich);

  auto memory = db->get_memory(*plain);
  ASSERT_TRUE(memory);
  EXPECT_EQ(memory->namespace_, "notes");
  EXPECT_TRUE(memory->content.empty());
  EXPECT_TRUE(memory->metadata.empty());
  EXPECT_EQ(memory->importance, 0.0f);
  EXPECT_EQ(memory->embedding, axis(1));
  EXPECT_GE(memory->created_at, static_cast<std::uint64_t>(before));
  EXPECT_LE(memory->created_at, static_cast<std::uint64_t>(after));
  auto with_content = db->get_memory(*rich);
  ASSERT_TRUE(with_content);
  EXPECT_EQ(with_content->content, std::string("a\0b", 3));
  EXPECT_EQ(with_content->metadata.at("k"), "v");
}

TEST_F(FacadeTest, ErrorsCarryTheirMessages) {
  auto db = open();
  ASSERT_TRUE(db);
  struct Case {
    std::string expected;
    std::function<std::optional<TessaraDBError>()> call;
  };
  auto error_of = [](auto result) -> std::optional<TessaraDBError> {
    if (result) return std::nullopt;
    return std::move(result).error();
  };
  const Case empty_db[] = {
      {"Store error: Query error: Vector error: No embeddings indexed",
       [&] { return error_of(db->ask(axis(0), 3, std::nullopt)); }},
  };
  for (const Case& c : empty_db) {
    auto error = c.call();
    ASSERT_TRUE(error) << c.expected;
    EXPECT_EQ(error->message(), c.expected);
  }

  ASSERT_TRUE(db->remember_in_namespace("a", axis(0), std::nullopt));  // id 1
  ASSERT_TRUE(db->remember_in_namespace("b", axis(1), std::nullopt));  // id 2
  const Case cases[] = {
      {"Memory not found: 42", [&] { return error_of(db->get_memory(MemoryId{42})); }},
      {"State machine error: Memory not found: MemoryId(42)",
       [&] { return error_of(db->get_neighbors(MemoryId{42})); }},
      {"Store error: Engine error: Segment error: Entry not found: MemoryId(42)",
       [&] { return error_of(db->delete_memory(MemoryId{42})); }},
      {"Store error: Engine error: State machine error: Cross-namespace edge is not allowed: "
       "from=MemoryId(1) (a) to=MemoryId(2) (b)",
       [&] { return error_of(db->connect(MemoryId{1}, MemoryId{2}, "r")); }},
      {"Store error: Query error: Invalid top_k: 0",
       [&] { return error_of(db->ask(axis(0), 0, std::nullopt)); }},
      {"Store error: Query error: Invalid top_k: 0",
       [&] { return error_of(db->ask_in_namespace("a", axis(0), 0, std::nullopt)); }},
      {"Store error: Vector index error: Dimension mismatch: expected 4, got 3",
       [&] {
         return error_of(db->remember_in_namespace("a", {1.0f, 2.0f, 3.0f}, std::nullopt));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    auto error = c.call();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), c.expected);
  }
  // Nothing refused reached the log.
  EXPECT_EQ(db->stats().wal_length, 2u);
  auto mismatch = db->remember_in_namespace("a", {1.0f}, std::nullopt);
  ASSERT_FALSE(mismatch);
  ASSERT_TRUE(mismatch.error().dimension_mismatch());
  EXPECT_EQ(mismatch.error().dimension_mismatch()->expected, 4u);
  EXPECT_EQ(mismatch.error().dimension_mismatch()->actual, 1u);
  EXPECT_FALSE(db->get_memory(MemoryId{9}).error().dimension_mismatch());
}

TEST_F(FacadeTest, OpenFailures) {
  std::ofstream(dir_.path() / "file") << "x";
  auto blocked = TessaraDB::open_with_config(dir_.path() / "file" / "db", config());
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error().message().rfind("IO error: ", 0), 0u) << blocked.error().message();

  {
    auto db = open(config(4));
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->remember_in_namespace("default", axis(0), std::nullopt));
  }
  auto wider = TessaraDB::open_with_config(path(), config(8));
  ASSERT_FALSE(wider);
  ASSERT_TRUE(wider.error().dimension_mismatch());
  EXPECT_EQ(wider.error().dimension_mismatch()->expected, 8u);
  EXPECT_EQ(wider.error().dimension_mismatch()->actual, 4u);
  auto db = open(config(4));  // the refused open changed nothing
  ASSERT_TRUE(db);
  EXPECT_EQ(db->stats().entries, 1u);
}

TEST_F(FacadeTest, AskInNamespaceKeepsOnlyThatNamespaceAndAtMostTopK) {
  auto db = open();
  ASSERT_TRUE(db);
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(db->remember_in_namespace(i % 3 == 0 ? "work" : "home",
                                          axis(0, 0.05f * static_cast<float>(i)), std::nullopt));
  }
  // Edges pull memories of the other namespace into the graph walk of an unrestricted query.
  ASSERT_TRUE(db->connect(MemoryId{1}, MemoryId{4}, "same"));
  for (std::size_t top_k : {1u, 2u, 4u, 10u}) {
    SCOPED_TRACE(top_k);
    auto hits = db->ask_in_namespace("work", axis(0), top_k, std::nullopt);
    ASSERT_TRUE(hits);
    EXPECT_EQ(hits->size(), std::min<std::size_t>(top_k, 4));
    for (const AskHit& hit : *hits) {
      EXPECT_EQ(db->get_memory(hit.id)->namespace_, "work");
    }
  }
  auto all = db->ask(axis(0), 20, std::nullopt);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 12u);
  EXPECT_TRUE(std::is_sorted(all->begin(), all->end(),
                             [](const AskHit& a, const AskHit& b) { return a.score > b.score; }));
  auto filtered = db->ask(axis(0), 20, Metadata{{"k", "v"}});
  ASSERT_TRUE(filtered);
  EXPECT_TRUE(filtered->empty());
}

TEST_F(FacadeTest, NeighboursStatsAndMaintenance) {
  auto db = open(config(4, IndexMode{IndexMode::Hnsw{}}));
  ASSERT_TRUE(db);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(db->remember_in_namespace("n", axis(i), std::nullopt));
  ASSERT_TRUE(db->connect(MemoryId{1}, MemoryId{3}, "b"));
  ASSERT_TRUE(db->connect(MemoryId{1}, MemoryId{2}, "z"));
  ASSERT_TRUE(db->connect(MemoryId{1}, MemoryId{2}, "a"));
  auto neighbours = db->get_neighbors(MemoryId{1});
  ASSERT_TRUE(neighbours);
  const TessaraDB::Neighbors expected{{MemoryId{2}, "a"}, {MemoryId{2}, "z"}, {MemoryId{3}, "b"}};
  EXPECT_EQ(*neighbours, expected);

  ASSERT_TRUE(db->delete_memory(MemoryId{5}));
  Stats stats = db->stats();
  EXPECT_EQ(stats.entries, 4u);
  EXPECT_EQ(stats.indexed_embeddings, 4u);
  EXPECT_EQ(stats.wal_length, 9u);
  EXPECT_EQ(stats.vector_dimension, 4u);
  EXPECT_EQ(stats.storage_version, 1u);

  ASSERT_TRUE(db->flush());
  ASSERT_TRUE(db->compact());
  ASSERT_TRUE(db->checkpoint());
  EXPECT_EQ(db->stats().wal_length, 0u);
  auto hits = db->ask(axis(2), 1, std::nullopt);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ(hits->front().id, MemoryId{3});
}

TEST_F(FacadeTest, ConcurrentRemembersGetDistinctIds) {
  auto db = open(config(4));
  ASSERT_TRUE(db);
  std::vector<std::vector<std::uint64_t>> ids(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < ids.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        auto id = db->remember_in_namespace("default", axis(t), std::nullopt);
        ASSERT_TRUE(id);
        ids[t].push_back(id->value);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::uint64_t> all;
  for (const auto& list : ids) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 200u);
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), 200u);
  EXPECT_EQ(db->stats().entries, 200u);
}

// Runs `body` in a forked child and returns its exit code.
int in_child(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(FacadeTest, DirectoryLockIsSharedInProcessAndRefusesOtherProcesses) {
  auto first = open();
  ASSERT_TRUE(first);
  auto second = open();  // the same process may open the directory again
  ASSERT_TRUE(second);
  ASSERT_TRUE(first->remember_in_namespace("default", axis(0), std::nullopt));

  const std::string dir = path().string();
  // Exit codes: 0 as expected, 1 opened, 2 wrong message, 3 inherited handle could write.
  const int refused = in_child([&] {
    auto db = TessaraDB::open_with_config(path(), config());
    if (db) return 1;
    const std::string text = db.error().message();
    if (text != "IO error: database directory " + dir + " is in use by another process") return 2;
    auto write = first->remember_in_namespace("default", axis(1), std::nullopt);
    if (write || !std::holds_alternative<TessaraDBError::Io>(write.error().kind)) return 3;
    if (first->flush() || first->delete_memory(MemoryId{1})) return 3;
    return first->get_memory(MemoryId{1}) ? 0 : 4;  // reads still work
  });
  EXPECT_EQ(refused, 0);

  second.reset();  // the first handle still holds the lock
  EXPECT_EQ(in_child([&] { return TessaraDB::open_with_config(path(), config()) ? 1 : 0; }), 0);
  first.reset();  // released with the last handle
  EXPECT_EQ(in_child([&] {
              auto db = TessaraDB::open_with_config(path(), config());
              return db && (*db)->stats().entries == 1 ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(open());
}

// The first handle's rewrite may be under way while a second one opens: only an open that takes
// the directory lock for this process removes rewrite temporaries.
TEST_F(FacadeTest, SecondHandleInProcessKeepsTheFirstHandlesRewriteTemporary) {
  auto first = open();
  ASSERT_TRUE(first);
  const auto temporary = path() / "tessaradb.ckpt.tmp";
  std::ofstream(temporary) << "a checkpoint being written";
  auto second = open();
  ASSERT_TRUE(second);
  EXPECT_TRUE(std::filesystem::exists(temporary));
  first.reset();
  second.reset();
  EXPECT_TRUE(open());  // the lock is taken afresh: the file is a crash's leftover now
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(FacadeTest, CheckpointWithoutLogOpensWithItsState) {
  {
    auto db = open();
    ASSERT_TRUE(db);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(db->remember_in_namespace("d", axis(i), std::nullopt));
    ASSERT_TRUE(db->checkpoint());
  }
  std::filesystem::remove(path() / "tessaradb.wal");
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_EQ(db->stats().entries, 3u);
  auto next = db->remember_in_namespace("d", axis(0), std::nullopt);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->value, 4u);
}

}  // namespace
}  // namespace tessaradb
