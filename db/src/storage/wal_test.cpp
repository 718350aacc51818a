#include "storage/wal.hpp"

#include <gtest/gtest.h>

#include <random>

#include "storage/frame.hpp"
#include "testing/storage_damage.hpp"
#include "testing/storage_fault_fs.hpp"
#include "testing/storage_records.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb {
namespace {

using testing::make_entry;

class WalTest : public ::testing::Test {
 protected:
  std::filesystem::path path() const { return dir_ / "tessaradb.wal"; }
  std::uint64_t file_size() const { return std::filesystem::file_size(path()); }

  // Appends `n` inserts (ids 1..n) and remembers each frame's offset and the file's bytes.
  void append_inserts(int n) {
    auto wal = WriteAheadLog::open(path());
    ASSERT_TRUE(wal) << wal.error().message();
    for (int i = 1; i <= n; ++i) {
      offsets_.push_back(file_size());
      auto id = wal->append(InsertMemory{make_entry(static_cast<std::uint64_t>(i))});
      ASSERT_TRUE(id);
      EXPECT_EQ(*id, static_cast<CommandId>(i - 1));
    }
    original_ = testing::read_file(path());
  }
  std::uint64_t frame_offset(std::size_t i) const { return offsets_.at(i); }
  void restore_original() const { testing::write_file(path(), original_); }

  TolerantRead read_tolerant() const {
    auto read = read_all_tolerant(path());
    EXPECT_TRUE(read) << read.error().message();
    return read ? std::move(*read) : TolerantRead{};
  }

  testing::TempDir dir_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::byte> original_;
};

TEST_F(WalTest, AppendsReadBackInOrder) {
  auto wal = WriteAheadLog::open(path());
  ASSERT_TRUE(wal);
  EXPECT_EQ(wal->entry_count(), 0u);
  const auto commands = testing::one_of_each_command();
  for (std::size_t i = 0; i < commands.size(); ++i) {
    auto id = wal->append(commands[i]);
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, i);
  }
  // Every append reached the kernel: a reader sees it with the log still open.
  const auto read = read_tolerant();
  ASSERT_EQ(read.entries.size(), commands.size());
  for (std::size_t i = 0; i < commands.size(); ++i) {
    EXPECT_EQ(read.entries[i].first, i);
    EXPECT_EQ(read.entries[i].second, commands[i]);
  }
  EXPECT_EQ(read.valid_length, file_size());
  EXPECT_FALSE(read.was_truncated);
  EXPECT_TRUE(wal->sync());

  auto reopened = WriteAheadLog::open(path());
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->entry_count(), commands.size());
  EXPECT_EQ(*reopened->append(DeleteMemory{MemoryId{1}}), commands.size());
}

TEST_F(WalTest, MissingLogReadsEmptyAndIsNotCreated) {
  auto count = count_entries(path());
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, 0u);
  const auto read = read_tolerant();
  EXPECT_TRUE(read.entries.empty());
  EXPECT_EQ(read.valid_length, 0u);
  EXPECT_FALSE(read.was_truncated);
  EXPECT_TRUE(truncate_prefix(path(), 0));
  EXPECT_FALSE(std::filesystem::exists(path()));
}

TEST_F(WalTest, TornLastFrameIsCutAtEveryOffset) {
  append_inserts(3);
  const auto whole = file_size(), last_start = frame_offset(2);
  for (auto cut = last_start + 1; cut < whole; ++cut) {
    SCOPED_TRACE(cut);
    restore_original();
    testing::truncate_to(path(), cut);
    const auto read = read_tolerant();
    EXPECT_EQ(read.entries.size(), 2u);
    EXPECT_TRUE(read.was_truncated);
    EXPECT_EQ(read.valid_length, last_start);
    EXPECT_EQ(read.cut, WalCut::TornTail);
    EXPECT_EQ(read.discarded_bytes, cut - last_start);
    EXPECT_EQ(file_size(), last_start);  // the cut itself reached the file
  }
}

TEST_F(WalTest, StrayBytesAfterTheLastFrameAreCut) {
  append_inserts(2);
  for (int stray = 1; stray <= 3; ++stray) {
    SCOPED_TRACE(stray);
    restore_original();
    testing::append_bytes(path(), std::vector<std::byte>(static_cast<std::size_t>(stray)));
    EXPECT_EQ(*count_entries(path()), 2u);  // an end inside a length field ends the count
    const auto read = read_tolerant();
    EXPECT_EQ(read.entries.size(), 2u);
    EXPECT_TRUE(read.was_truncated);
    EXPECT_EQ(file_size(), original_.size());
  }
}

TEST_F(WalTest, DamagedFrameEndsTheLogWhereverItLies) {
  append_inserts(5);
  struct Case {
    const char* name;
    std::function<void()> damage;
    WalCut cut = WalCut::DamagedFrame;
  };
  const Case cases[] = {
      {"flipped payload byte", [&] { testing::flip_byte(path(), frame_offset(1) + 20); }},
      {"flipped checksum byte", [&] { testing::flip_byte(path(), frame_offset(1) + 5); }},
      // Indistinguishable from a frame whose append was cut short.
      {"length beyond the file",
       [&] { testing::overwrite_u32(path(), frame_offset(1), 0x7FFFFFFF); }, WalCut::TornTail},
      // A payload with a valid checksum that does not decode: envelope index 1.
      {"undecodable payload", [&] {
         testing::flip_byte(path(), frame_offset(1) + 8 + 1);
         auto bytes = testing::read_file(path());
         const std::uint32_t length = load_u32_le(bytes.data() + frame_offset(1));
         const std::uint32_t crc = crc32_cksum(
             std::span<const std::byte>(bytes.data() + frame_offset(1) + 8, length));
         testing::overwrite_u32(path(), frame_offset(1) + 4, crc);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restore_original();
    c.damage();
    const auto read = read_tolerant();
    ASSERT_EQ(read.entries.size(), 1u);
    EXPECT_EQ(read.entries[0].second, (Command{InsertMemory{make_entry(1)}}));
    EXPECT_TRUE(read.was_truncated);
    EXPECT_EQ(read.cut, c.cut);
    EXPECT_EQ(read.discarded_bytes, original_.size() - frame_offset(1));
    EXPECT_EQ(file_size(), frame_offset(1));
  }
}

// Whatever the damage, reading keeps a prefix of what was written, never fails, and leaves a
// file that reads back whole.
TEST_F(WalTest, RandomDamageKeepsAnIntactPrefix) {
  append_inserts(6);
  std::vector<Command> written;
  for (std::uint64_t id = 1; id <= 6; ++id) {
    written.emplace_back(std::in_place_type<InsertMemory>, InsertMemory{make_entry(id)});
  }
  std::mt19937 rng{12345};
  auto pick = [&](std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng);
  };
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    restore_original();
    switch (pick(3)) {
      case 0: testing::flip_byte(path(), pick(original_.size())); break;
      case 1: testing::truncate_to(path(), pick(original_.size())); break;
      default:
        testing::overwrite_u32(path(), frame_offset(pick(offsets_.size())),
                               static_cast<std::uint32_t>(rng()));
    }
    const auto read = read_tolerant();
    ASSERT_LE(read.entries.size(), written.size());
    for (std::size_t i = 0; i < read.entries.size(); ++i) {
      EXPECT_EQ(read.entries[i].second, written[i]);
    }
    EXPECT_EQ(file_size(), read.valid_length);
    const auto again = read_tolerant();
    EXPECT_FALSE(again.was_truncated);
    EXPECT_EQ(again.entries.size(), read.entries.size());
  }
}

TEST_F(WalTest, EmptyPayloadFrameEndsTheLog) {
  append_inserts(1);
  // L = 0 with the checksum of nothing is an intact frame, but an empty payload never decodes.
  testing::append_bytes(path(), testing::bytes({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  const auto read = read_tolerant();
  EXPECT_EQ(read.entries.size(), 1u);
  EXPECT_TRUE(read.was_truncated);
  EXPECT_EQ(read.cut, WalCut::TornTail);
  EXPECT_EQ(file_size(), original_.size());
}

TEST_F(WalTest, CountEntriesRefusesAFrameCutAfterItsLength) {
  append_inserts(2);
  testing::truncate_to(path(), frame_offset(1) + 6);
  auto count = count_entries(path());
  ASSERT_FALSE(count);
  EXPECT_NE(count.error().message().find("unexpected end of file"), std::string::npos);
}

TEST_F(WalTest, TruncatePrefixKeepsLaterEntriesRenumbered) {
  struct Case {
    CommandId last_applied_id;
    std::vector<std::uint64_t> kept_ids;  // memory ids of the surviving inserts
  };
  const Case cases[] = {{0, {2, 3}}, {1, {3}}, {2, {}}, {7, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last_applied_id);
    std::filesystem::remove(path());
    offsets_.clear();
    append_inserts(3);
    ASSERT_TRUE(truncate_prefix(path(), c.last_applied_id));
    EXPECT_FALSE(std::filesystem::exists(replace_extension(path(), "wal.trunc.tmp")));
    const auto read = read_tolerant();
    ASSERT_EQ(read.entries.size(), c.kept_ids.size());
    for (std::size_t i = 0; i < c.kept_ids.size(); ++i) {
      EXPECT_EQ(read.entries[i].first, i);
      EXPECT_EQ(read.entries[i].second, (Command{InsertMemory{make_entry(c.kept_ids[i])}}));
    }
    ASSERT_TRUE(std::filesystem::exists(path()));  // keeping nothing leaves an empty file
    auto reopened = WriteAheadLog::open(path());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(*reopened->append(DeleteMemory{MemoryId{9}}), c.kept_ids.size());
  }
}

TEST_F(WalTest, TruncatePrefixFollowsTheDurableRewriteProtocol) {
  append_inserts(2);
  testing::FaultInjectingFileSystem fs;
  ASSERT_TRUE(truncate_prefix(path(), 0, fs));
  std::vector<std::string> protocol;
  for (const std::string& op : fs.log()) {
    if (op.starts_with("open_writable") || op.starts_with("append") || op.starts_with("sync") ||
        op.starts_with("close") || op.starts_with("rename")) {
      protocol.push_back(op);
    }
  }
  const std::string dir_name = path().parent_path().filename().string();
  EXPECT_EQ(protocol, (std::vector<std::string>{
                          "open_writable tessaradb.wal.trunc.tmp", "append tessaradb.wal.trunc.tmp",
                          "sync tessaradb.wal.trunc.tmp", "close tessaradb.wal.trunc.tmp",
                          "rename tessaradb.wal.trunc.tmp", "sync_directory " + dir_name}));
}

TEST_F(WalTest, FailedRewriteLeavesTheLogUnchanged) {
  append_inserts(3);
  for (const char* op : {"append", "sync", "rename"}) {
    SCOPED_TRACE(op);
    testing::FaultInjectingFileSystem fs;
    fs.fail_nth(op, 1, ENOSPC);
    auto truncated = truncate_prefix(path(), 0, fs);
    ASSERT_FALSE(truncated);
    EXPECT_NE(truncated.error().message().find("IO error: "), std::string::npos);
    EXPECT_EQ(testing::read_file(path()), original_);
  }
}

TEST_F(WalTest, FailedWriteFailsTheLogUntilReopened) {
  testing::FaultInjectingFileSystem fs;
  auto wal = WriteAheadLog::open(path(), fs);
  ASSERT_TRUE(wal);
  ASSERT_TRUE(wal->append(DeleteMemory{MemoryId{1}}));
  fs.fail_nth("append", 1, EIO);
  auto failed = wal->append(DeleteMemory{MemoryId{2}});
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().message().find("Input/output error"), std::string::npos);
  EXPECT_EQ(wal->entry_count(), 1u);
  // The file system works again, but the log's tail is unknown: nothing may report success.
  EXPECT_FALSE(wal->append(DeleteMemory{MemoryId{3}}));
  EXPECT_FALSE(wal->flush());
  EXPECT_FALSE(wal->sync());
  ASSERT_TRUE(wal->failure());
  EXPECT_EQ(wal->failure()->code, EIO);
}

TEST_F(WalTest, FailedSyncFailsTheLog) {
  testing::FaultInjectingFileSystem fs;
  auto wal = WriteAheadLog::open(path(), fs);
  ASSERT_TRUE(wal);
  ASSERT_TRUE(wal->append(DeleteMemory{MemoryId{1}}));
  fs.fail_nth("sync", 1, EIO);
  EXPECT_FALSE(wal->sync());
  EXPECT_FALSE(wal->sync());
  EXPECT_FALSE(wal->append(DeleteMemory{MemoryId{2}}));
}

TEST_F(WalTest, ReadErrorIsReportedAndNeverCutsTheLog) {
  append_inserts(3);
  testing::FaultInjectingFileSystem fs;
  fs.fail_nth("read", 1, EIO);
  auto read = read_all_tolerant(path(), fs);
  ASSERT_FALSE(read);
  EXPECT_EQ(testing::read_file(path()), original_);
}

TEST_F(WalTest, NewLogFileIsMadeDurableInItsDirectory) {
  testing::FaultInjectingFileSystem fs;
  ASSERT_TRUE(WriteAheadLog::open(path(), fs));
  const auto log = fs.log();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "sync_directory " + path().parent_path().filename().string()),
            log.end());
}

}  // namespace
}  // namespace tessaradb
