// A crash inside a durable rewrite (checkpoint, log prefix cut, HNSW save) leaves its temporary
// file behind; opening the database removes exactly those files and keeps everything else.

#include <gtest/gtest.h>

#include <fstream>

#include "storage/stale_temporaries.hpp"
#include "testing/store_fixture.hpp"

namespace tessaradb {
namespace {

using testing::store_memory;

class StaleRewriteTemporariesTest : public testing::StoreFixture {
 protected:
  void write_file(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
};

TEST_F(StaleRewriteTemporariesTest, OpenRemovesTemporariesLeftByACrashInsideARewrite) {
  for (const bool existing : {false, true}) {  // fresh directory (create) and recovery
    SCOPED_TRACE(existing ? "recover" : "create");
    if (existing) {
      auto store = open_store(options());
      ASSERT_TRUE(store);
      ASSERT_TRUE(store->insert_memory(store_memory(1)));
      ASSERT_TRUE(store->checkpoint_now());
      ASSERT_TRUE(store->insert_memory(store_memory(2)));
    }
    const auto temps = rewrite_temporary_paths(wal_path());
    ASSERT_EQ(temps.size(), 3u);
    for (const auto& t : temps) write_file(t, "torn rewrite");
    // Names that merely look alike, a directory under a temporary's name, and foreign files stay.
    const auto foreign = dir_.path() / "notes.ckpt.tmp";
    const auto near = dir_.path() / "tessaradb.ckpt.tmp.keep";
    write_file(foreign, "x");
    write_file(near, "x");

    auto store = open_store(options());
    ASSERT_TRUE(store);
    for (const auto& t : temps) EXPECT_FALSE(std::filesystem::exists(t)) << t;
    EXPECT_TRUE(std::filesystem::exists(foreign));
    EXPECT_TRUE(std::filesystem::exists(near));
    EXPECT_EQ(store->state_machine().memory_count(), existing ? 2u : 0u);
    store.reset();
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
  }
}

TEST_F(StaleRewriteTemporariesTest, TemporaryNamesAreTheOnesTheRewritesWrite) {
  const auto temps = rewrite_temporary_paths(wal_path());
  EXPECT_EQ(temps[0].filename(), "tessaradb.ckpt.tmp");
  EXPECT_EQ(temps[1].filename(), "tessaradb.wal.trunc.tmp");
  EXPECT_EQ(temps[2].filename(), "tessaradb.hnsw.tmp");
  for (const auto& t : temps) EXPECT_EQ(t.parent_path(), dir_.path());
}

TEST_F(StaleRewriteTemporariesTest, ADirectoryUnderATemporaryNameIsLeftAlone) {
  const auto dir = rewrite_temporary_paths(wal_path())[0];
  std::filesystem::create_directories(dir / "inner");
  write_file(dir / "inner" / "file", "x");
  auto store = open_store(options());
  ASSERT_TRUE(store);
  EXPECT_TRUE(std::filesystem::exists(dir / "inner" / "file"));
}

}  // namespace
}  // namespace tessaradb
