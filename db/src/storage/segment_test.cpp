#include "storage/segment.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "storage/frame.hpp"
#include "testing/storage_damage.hpp"
#include "testing/storage_fault_fs.hpp"
#include "testing/storage_records.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb {
namespace {

using testing::make_entry;
using testing::minimal_entry;

TEST(SegmentFileName, RoundTrips) {
  struct Case {
    std::uint32_t id;
    std::string_view name;
  };
  for (const Case& c : {Case{0, "000000.seg"}, Case{42, "000042.seg"},
                        Case{1234567, "1234567.seg"}, Case{999999, "999999.seg"}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(segment_file_name(c.id), c.name);
    EXPECT_EQ(parse_segment_file_name(c.name), c.id);
  }
}

TEST(SegmentFileName, OtherNamesAreNotSegments) {
  for (std::string_view name : {"notes.txt", "000003.seg.bak", "notes.seg", ".seg", "42.seg",
                                "+00042.seg", "0000042.seg", "-00001.seg", "000001.SEG",
                                "4294967295.seg", "99999999999.seg"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(parse_segment_file_name(name));
  }
}

class SegmentTest : public ::testing::Test {
 protected:
  std::filesystem::path dir() const { return dir_ / "segments"; }
  std::filesystem::path file(std::uint32_t n) const { return dir() / segment_file_name(n); }

  SegmentStorage open() const {
    auto storage = SegmentStorage::open(dir());
    EXPECT_TRUE(storage) << storage.error().message();
    return std::move(*storage);
  }

  testing::TempDir dir_;
};

TEST_F(SegmentTest, EachOpenStartsANewEmptySegment) {
  {
    auto storage = open();
    EXPECT_EQ(storage.current_segment(), 0u);
    EXPECT_TRUE(std::filesystem::exists(file(0)));
    EXPECT_EQ(std::filesystem::file_size(file(0)), 0u);
  }
  auto again = open();
  EXPECT_EQ(again.current_segment(), 1u);
  EXPECT_TRUE(std::filesystem::exists(file(1)));
}

TEST_F(SegmentTest, WritesAreIndexedAndReadBack) {
  auto storage = open();
  auto first = storage.write_entry(minimal_entry(1));  // a 50-byte payload
  ASSERT_TRUE(first);
  EXPECT_EQ(first->offset, 0u);
  EXPECT_EQ(first->length, 50u);
  EXPECT_EQ(first->segment, 0u);
  auto second = storage.write_entry(make_entry(2));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->offset, 58u);
  // Written through to the file at once.
  EXPECT_EQ(std::filesystem::file_size(file(0)), storage.current_size());

  auto read = storage.read_entry(MemoryId{2});
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, make_entry(2));

  // A second record for an id replaces the first in the index.
  MemoryEntry changed = make_entry(1);
  ASSERT_TRUE(storage.write_entry(changed));
  EXPECT_EQ(*storage.read_entry(MemoryId{1}), changed);

  auto reopened = open();
  EXPECT_EQ(reopened.index().size(), 2u);
  EXPECT_EQ(*reopened.read_entry(MemoryId{1}), changed);
  EXPECT_EQ(*reopened.read_entry(MemoryId{2}), make_entry(2));
}

TEST_F(SegmentTest, ReaderKeepsHandlesAndSeesLaterWrites) {
  auto storage = open();
  ASSERT_TRUE(storage.write_entry(make_entry(1)));
  SegmentReader reader(storage);
  EXPECT_EQ(*reader.read_entry(MemoryId{1}), make_entry(1));
  ASSERT_TRUE(storage.write_entry(make_entry(2)));  // into the file the reader holds open
  EXPECT_EQ(*reader.read_entry(MemoryId{2}), make_entry(2));
  storage.mark_deleted(MemoryId{1});
  EXPECT_FALSE(reader.read_entry(MemoryId{1}));
  EXPECT_FALSE(reader.read_entry(MemoryId{3}));
}

TEST_F(SegmentTest, DeletedAndUnknownIdsAreNotFound) {
  auto storage = open();
  ASSERT_TRUE(storage.write_entry(make_entry(7)));
  EXPECT_TRUE(storage.mark_deleted(MemoryId{7}));
  EXPECT_FALSE(storage.mark_deleted(MemoryId{8}));
  for (std::uint64_t id : {7, 8}) {
    auto read = storage.read_entry(MemoryId{id});
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message(), "Entry not found: MemoryId(" + std::to_string(id) + ")");
  }
  auto live = storage.get_all_live_entries();
  ASSERT_TRUE(live);
  EXPECT_TRUE(live->empty());
}

TEST_F(SegmentTest, RollsOverAtTenMebibytes) {
  auto storage = open();
  MemoryEntry big = minimal_entry(1);
  big.content.assign(1 << 20, 'x');
  std::uint64_t id = 1;
  while (storage.current_size() < kSegmentRolloverBytes) {
    big.id = MemoryId{id++};
    auto location = storage.write_entry(big);
    ASSERT_TRUE(location);
    EXPECT_EQ(location->segment, 0u);
  }
  big.id = MemoryId{id};
  auto next = storage.write_entry(big);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->segment, 1u);
  EXPECT_EQ(next->offset, 0u);
  EXPECT_EQ(*storage.read_entry(MemoryId{id}), big);
  EXPECT_EQ(*storage.read_entry(MemoryId{1}), (big.id = MemoryId{1}, big));
}

TEST_F(SegmentTest, LaterSegmentWinsAndNumberingContinues) {
  std::filesystem::create_directories(dir());
  for (std::uint32_t n : {2u, 10u}) {
    MemoryEntry e = make_entry(5);
    e.content = "from segment " + std::to_string(n);
    std::vector<std::byte> frame;
    ASSERT_TRUE(append_frame(e, frame));
    testing::write_file(file(n), frame);
  }
  testing::write_file(dir() / "notes.txt", testing::bytes({1, 2, 3}));
  testing::write_file(dir() / "000003.seg.bak", testing::bytes({1, 2, 3}));
  testing::write_file(dir() / "junk.seg", testing::bytes({1, 2, 3}));
  auto storage = open();
  EXPECT_EQ(storage.index().at(MemoryId{5}).segment, 10u);
  EXPECT_EQ(storage.read_entry(MemoryId{5})->content, "from segment 10");
  EXPECT_EQ(storage.current_segment(), 11u);
  // Files that are not segments are left alone.
  EXPECT_EQ(std::filesystem::file_size(dir() / "junk.seg"), 3u);
}

class SegmentDamageTest : public SegmentTest {
 protected:
  void SetUp() override {
    auto storage = open();
    for (std::uint64_t id = 1; id <= 3; ++id) {
      auto location = storage.write_entry(make_entry(id));
      ASSERT_TRUE(location);
      offsets_.push_back(location->offset);
    }
    original_ = testing::read_file(file(0));
  }
  void restore_original() const { testing::write_file(file(0), original_); }

  std::vector<std::uint64_t> offsets_;
  std::vector<std::byte> original_;
};

TEST_F(SegmentDamageTest, TornLastFrameIsCutAtEveryOffset) {
  const std::uint64_t last_start = offsets_[2];
  for (std::uint64_t cut = last_start + 1; cut < original_.size(); ++cut) {
    SCOPED_TRACE(cut);
    restore_original();
    testing::truncate_to(file(0), cut);
    auto storage = open();
    EXPECT_EQ(storage.index().size(), 2u);
    EXPECT_FALSE(storage.index().contains(MemoryId{3}));
    EXPECT_EQ(std::filesystem::file_size(file(0)), last_start);
    EXPECT_EQ(*storage.read_entry(MemoryId{2}), make_entry(2));
    std::filesystem::remove(file(1));  // the segment this open started
  }
}

TEST_F(SegmentDamageTest, DamagedLastFrameIsCut) {
  testing::flip_byte(file(0), original_.size() - 1);
  auto storage = open();
  EXPECT_EQ(storage.index().size(), 2u);
  EXPECT_EQ(std::filesystem::file_size(file(0)), offsets_[2]);
}

TEST_F(SegmentDamageTest, DamageBeforeTheLastFrameOfAnOlderSegmentFailsTheOpen) {
  open();  // starts segment 1, so segment 0 is no longer the newest
  testing::flip_byte(file(0), offsets_[0] + 20);
  const std::uint32_t stored = load_u32_le(original_.data() + 4);
  const auto damaged = testing::read_file(file(0));
  const std::uint32_t actual = crc32_cksum(
      std::span<const std::byte>(damaged.data() + 8, load_u32_le(damaged.data())));
  auto storage = SegmentStorage::open(dir());
  ASSERT_FALSE(storage);
  char expected[128];
  std::snprintf(expected, sizeof expected, "Checksum mismatch at offset 0: expected %x, got %x",
                stored, actual);
  EXPECT_EQ(storage.error().message(), expected);
  EXPECT_EQ(testing::read_file(file(0)), damaged);  // nothing was cut
}

// A power loss while several frames of the newest segment were unsynced can zero or garble an
// early one and keep later ones; the open must cut there instead of failing (the log rewrites
// the records at replay).
TEST_F(SegmentDamageTest, DamagedUnsyncedFrameOfTheNewestSegmentIsCutWithItsTail) {
  for (const std::uint64_t offset : {offsets_[0] + 3, offsets_[0] + 20, offsets_[1] + 9}) {
    SCOPED_TRACE(offset);
    restore_original();
    testing::flip_byte(file(0), offset);
    const std::uint64_t cut = offset < offsets_[1] ? offsets_[0] : offsets_[1];
    auto storage = open();
    EXPECT_EQ(storage.index().size(), cut == offsets_[0] ? 0u : 1u);
    EXPECT_EQ(std::filesystem::file_size(file(0)), cut);
    std::filesystem::remove(file(1));  // the segment this open started
  }
}

TEST_F(SegmentDamageTest, ReadEntryVerifiesTheChecksum) {
  auto storage = open();
  testing::flip_byte(file(0), offsets_[1] + 30);
  auto read = storage.read_entry(MemoryId{2});
  ASSERT_FALSE(read);
  EXPECT_TRUE(std::holds_alternative<SegmentError::ChecksumMismatch>(read.error().kind));
  EXPECT_EQ(std::get<SegmentError::ChecksumMismatch>(read.error().kind).offset, offsets_[1]);
  EXPECT_TRUE(storage.read_entry(MemoryId{1}));
}

TEST_F(SegmentTest, CompactableSegmentsNeedMoreThanAFifthDeleted) {
  for (int deleted : {2, 3}) {
    SCOPED_TRACE(deleted);
    std::filesystem::remove_all(dir());
    {
      auto writer = open();
      for (std::uint64_t id = 1; id <= 10; ++id) ASSERT_TRUE(writer.write_entry(minimal_entry(id)));
    }
    auto storage = open();  // segment 0 is closed, segment 1 current
    ASSERT_EQ(storage.current_segment(), 1u);
    for (int i = 1; i <= deleted; ++i) {
      storage.mark_deleted(MemoryId{static_cast<std::uint64_t>(i)});
    }
    const auto compactable = storage.get_compactable_segments();
    const std::vector<std::uint32_t> expected =
        deleted == 3 ? std::vector<std::uint32_t>{0} : std::vector<std::uint32_t>{};
    EXPECT_EQ(compactable, expected);
    auto live = storage.get_all_live_entries();
    ASSERT_TRUE(live);
    EXPECT_EQ(live->size(), 10u - static_cast<std::size_t>(deleted));
  }
}

TEST_F(SegmentTest, ActiveSegmentNeverQualifies) {
  auto storage = open();
  ASSERT_TRUE(storage.write_entry(minimal_entry(1)));
  storage.mark_deleted(MemoryId{1});
  EXPECT_TRUE(storage.get_compactable_segments().empty());
}

TEST_F(SegmentTest, WriteAfterMaintenanceReopensTheSegment) {
  auto storage = open();
  ASSERT_TRUE(storage.write_entry(make_entry(1)));
  ASSERT_TRUE(storage.prepare_for_maintenance());
  EXPECT_FALSE(storage.has_open_segment());
  auto location = storage.write_entry(make_entry(2));
  ASSERT_TRUE(location);
  EXPECT_TRUE(storage.has_open_segment());
  EXPECT_EQ(*storage.read_entry(MemoryId{2}), make_entry(2));
  EXPECT_EQ(std::filesystem::file_size(file(0)), storage.current_size());
}

TEST_F(SegmentTest, FailedWriteFailsTheStorage) {
  testing::FaultInjectingFileSystem fs;
  auto storage = SegmentStorage::open(dir(), fs);
  ASSERT_TRUE(storage);
  fs.fail_nth("append", 1, ENOSPC);
  auto failed = storage->write_entry(make_entry(1));
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().message().find("IO error: "), std::string::npos);
  EXPECT_TRUE(storage->index().empty());
  EXPECT_EQ(storage->current_size(), 0u);
  EXPECT_FALSE(storage->write_entry(make_entry(2)));
  EXPECT_FALSE(storage->flush());
  EXPECT_FALSE(storage->sync());
}

TEST_F(SegmentTest, NewDirectoryAndSegmentFilesAreMadeDurable) {
  testing::FaultInjectingFileSystem fs;
  ASSERT_TRUE(SegmentStorage::open(dir(), fs));
  const auto log = fs.log();
  const auto position = [&](const std::string& op) {
    return std::find(log.begin(), log.end(), op) - log.begin();
  };
  const auto synced_parent = position("sync_directory " + dir_.path().filename().string());
  const auto synced_segments = position("sync_directory segments");
  EXPECT_LT(synced_parent, static_cast<long>(log.size()));
  EXPECT_LT(synced_segments, static_cast<long>(log.size()));
  EXPECT_GT(synced_segments, position("open_writable 000000.seg"));
}

}  // namespace
}  // namespace tessaradb
