#include "storage/file.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "testing/storage_damage.hpp"
#include "testing/storage_fault_fs.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb {
namespace {

using testing::bytes;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  FileSystem& fs = default_file_system();
  testing::TempDir dir_;
};

TEST_F(PosixFileSystemTest, WriteModes) {
  const auto path = dir_ / "f";
  auto missing = fs.open_writable(path, WriteMode::Existing);
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_not_found());
  EXPECT_NE(missing.error().message().find("(os error 2)"), std::string::npos);

  {
    auto file = fs.open_writable(path, WriteMode::Append);
    ASSERT_TRUE(file);
    ASSERT_TRUE((*file)->append(bytes({1, 2, 3, 4})));
    ASSERT_TRUE((*file)->truncate(2));
    ASSERT_TRUE((*file)->append(bytes({9})));  // goes to the new end
    EXPECT_EQ(*(*file)->size(), 3u);
    ASSERT_TRUE((*file)->sync());
    ASSERT_TRUE((*file)->close());
    EXPECT_FALSE((*file)->append(bytes({1})));  // closed
  }
  EXPECT_EQ(testing::read_file(path), bytes({1, 2, 9}));
  {
    auto file = fs.open_writable(path, WriteMode::Existing);
    ASSERT_TRUE(file);
    ASSERT_TRUE((*file)->append(bytes({7})));
  }
  EXPECT_EQ(testing::read_file(path), bytes({1, 2, 9, 7}));
  ASSERT_TRUE(fs.open_writable(path, WriteMode::Truncate));
  EXPECT_EQ(*fs.file_size(path), 0u);
}

TEST_F(PosixFileSystemTest, NewFilesAndDirectoriesTakeTheUmask) {
  const mode_t old = ::umask(022);
  ASSERT_TRUE(fs.open_writable(dir_ / "f", WriteMode::Append));
  ASSERT_TRUE(fs.create_directories(dir_ / "a" / "b"));
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::stat((dir_ / "a" / "b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(PosixFileSystemTest, ReadsStopAtTheEnd) {
  const auto path = dir_ / "f";
  testing::write_file(path, bytes({1, 2, 3}));
  auto file = fs.open_readable(path);
  ASSERT_TRUE(file);
  std::vector<std::byte> out(8);
  EXPECT_EQ(*(*file)->read_at(1, out), 2u);
  EXPECT_EQ(*(*file)->read_at(3, out), 0u);
  EXPECT_EQ(*(*file)->size(), 3u);
  auto missing = fs.open_readable(dir_ / "nope");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_not_found());
}

TEST_F(PosixFileSystemTest, Directories) {
  ASSERT_TRUE(fs.create_directories(dir_ / "a" / "b" / "c"));
  ASSERT_TRUE(fs.create_directories(dir_ / "a" / "b"));  // existing is fine
  testing::write_file(dir_ / "a" / "file", bytes({1}));
  auto in_the_way = fs.create_directories(dir_ / "a" / "file");
  ASSERT_FALSE(in_the_way);
  EXPECT_EQ(in_the_way.error().code, EEXIST);

  auto names = fs.list_directory(dir_ / "a");
  ASSERT_TRUE(names);
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"b", "file"}));

  EXPECT_TRUE(*fs.exists(dir_ / "a" / "b"));
  EXPECT_FALSE(*fs.exists(dir_ / "missing"));
  EXPECT_FALSE(*fs.exists(dir_ / "a" / "file" / "below"));  // ENOTDIR reads as absent
  EXPECT_TRUE(fs.sync_directory(dir_ / "a"));

  ASSERT_TRUE(fs.rename(dir_ / "a" / "b", dir_ / "moved"));
  EXPECT_TRUE(*fs.exists(dir_ / "moved" / "c"));
  ASSERT_TRUE(fs.remove_all(dir_ / "a"));
  ASSERT_TRUE(fs.remove_all(dir_ / "a"));  // missing is fine
  EXPECT_FALSE(*fs.exists(dir_ / "a"));
}

TEST_F(PosixFileSystemTest, DroppingCachedPagesKeepsTheContents) {
  const auto path = dir_ / "f";
  std::vector<std::byte> data(3 * 4096 + 100);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i * 7);
  auto file = fs.open_writable(path, WriteMode::Truncate);
  ASSERT_TRUE(file);
  ASSERT_TRUE((*file)->append(data));
  ASSERT_TRUE((*file)->sync());
  (*file)->drop_cached(0, data.size());
  ASSERT_TRUE((*file)->append(bytes({1, 2})));  // appends into the partly written last page
  ASSERT_TRUE((*file)->close());
  data.push_back(std::byte{1});
  data.push_back(std::byte{2});
  EXPECT_EQ(testing::read_file(path), data);
}

// Records the ranges it is advised to drop.
class DropRecordingFile final : public WritableFile {
 public:
  using Range = std::pair<std::uint64_t, std::uint64_t>;  // offset, length
  Result<void, IoError> append(std::span<const std::byte>) override { return {}; }
  Result<void, IoError> sync() override { return {}; }
  Result<void, IoError> truncate(std::uint64_t) override { return {}; }
  Result<std::uint64_t, IoError> size() override { return std::uint64_t{0}; }
  Result<void, IoError> close() override { return {}; }
  void drop_cached(std::uint64_t offset, std::uint64_t length) noexcept override {
    dropped.emplace_back(offset, length);
  }
  std::vector<Range> dropped;
};

TEST(SyncedPageRelease, ReleasesWholeStepsAndKeepsTheNewestBytes) {
  constexpr std::uint64_t kStep = SyncedPageRelease::kStepBytes;
  constexpr std::uint64_t kKept = SyncedPageRelease::kKeptBytes;
  using Range = DropRecordingFile::Range;
  struct Case {
    const char* what;
    const char* path;
    std::uint64_t synced;
    std::vector<Range> dropped_after;  // everything dropped so far
  };
  const std::vector<Case> cases = {
      {"less than a step beyond the kept bytes", "a", kStep + kKept - 1, {}},
      {"a whole step", "a", kStep + kKept, {{0, kStep}}},
      {"less than another step", "a", 2 * kStep + kKept - 1, {{0, kStep}}},
      {"more than another step", "a", 3 * kStep + kKept + 5, {{0, kStep}, {kStep, 2 * kStep + 5}}},
      {"the file was rewritten shorter",
       "a",
       kStep + kKept,
       {{0, kStep}, {kStep, 2 * kStep + 5}, {0, kStep}}},
      {"another file",
       "b",
       kStep + kKept,
       {{0, kStep}, {kStep, 2 * kStep + 5}, {0, kStep}, {0, kStep}}},
  };
  DropRecordingFile file;
  SyncedPageRelease release;
  for (const Case& c : cases) {
    release.after_sync(file, c.path, c.synced);
    EXPECT_EQ(file.dropped, c.dropped_after) << c.what;
  }
}

TEST(FilePaths, ExtensionsAndParents) {
  EXPECT_EQ(replace_extension("db/tessaradb.wal", "wal.trunc.tmp"), "db/tessaradb.wal.trunc.tmp");
  EXPECT_EQ(replace_extension("db/tessaradb.ckpt", "ckpt.tmp"), "db/tessaradb.ckpt.tmp");
  EXPECT_EQ(replace_extension("db/log", "ckpt"), "db/log.ckpt");
  EXPECT_EQ(parent_directory("tessaradb.wal"), ".");
  EXPECT_EQ(parent_directory("/db/tessaradb.wal"), "/db");
}

TEST(DurableRewrite, SyncsBeforeRenamingAndTheDirectoryAfter) {
  testing::TempDir dir;
  const auto target = dir / "data", temp = dir / "data.tmp";
  testing::write_file(target, bytes({1}));
  testing::FaultInjectingFileSystem fs;
  ASSERT_TRUE(durable_rewrite(fs, target, temp, bytes({5, 6})));
  EXPECT_EQ(testing::read_file(target), bytes({5, 6}));
  EXPECT_FALSE(std::filesystem::exists(temp));
  const std::string dir_name = dir.path().filename().string();
  EXPECT_EQ(fs.log(), (std::vector<std::string>{"open_writable data.tmp", "append data.tmp",
                                                "sync data.tmp", "close data.tmp",
                                                "rename data.tmp", "sync_directory " + dir_name}));
}

TEST(DurableRewrite, FailedDirectorySyncStillCountsTheRenameDone) {
  testing::TempDir dir;
  testing::FaultInjectingFileSystem fs;
  fs.fail_nth("sync_directory", 1, EIO);
  ASSERT_TRUE(durable_rewrite(fs, dir / "data", dir / "data.tmp", bytes({5})));
  EXPECT_EQ(testing::read_file(dir / "data"), bytes({5}));
}

}  // namespace
}  // namespace tessaradb
