#include "storage/checkpoint.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "storage/frame.hpp"
#include "storage/serialization.hpp"

#include "testing/storage_damage.hpp"
#include "testing/storage_fault_fs.hpp"
#include "testing/storage_records.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb {
namespace {

using testing::make_entry;

StateMachine small_state() {
  StateMachine state;
  for (std::uint64_t id = 1; id <= 4; ++id) state.insert_memory(make_entry(id, 8));
  EXPECT_TRUE(state.add_edge(MemoryId{1}, MemoryId{2}, "next"));
  EXPECT_TRUE(state.add_edge(MemoryId{4}, MemoryId{1}, "back"));
  return state;
}

class CheckpointTest : public ::testing::Test {
 protected:
  std::filesystem::path path() const { return dir_ / "db" / "tessaradb.ckpt"; }

  testing::TempDir dir_;
};

TEST_F(CheckpointTest, PathsFollowTheLog) {
  EXPECT_EQ(checkpoint_path_for("/db/tessaradb.wal"), "/db/tessaradb.ckpt");
  EXPECT_EQ(replace_extension("/db/tessaradb.ckpt", "ckpt.tmp"), "/db/tessaradb.ckpt.tmp");
}

TEST_F(CheckpointTest, SaveCreatesTheDirectoryAndLoadsBack) {
  const StateMachine state = small_state();
  ASSERT_TRUE(save_checkpoint(path(), state, 17));
  EXPECT_FALSE(std::filesystem::exists(replace_extension(path(), "ckpt.tmp")));
  auto loaded = load_checkpoint(path());
  ASSERT_TRUE(loaded) << loaded.error().message();
  ASSERT_TRUE(loaded->has_value());
  EXPECT_EQ((*loaded)->version, 1u);
  EXPECT_EQ((*loaded)->last_applied_id, 17u);
  EXPECT_TRUE((*loaded)->state_machine == state);
}

TEST_F(CheckpointTest, EmptyStateWrites36Bytes) {
  ASSERT_TRUE(save_checkpoint(path(), StateMachine{}, 0));
  EXPECT_EQ(std::filesystem::file_size(path()), 36u);
}

TEST_F(CheckpointTest, MissingFileIsNone) {
  auto loaded = load_checkpoint(path());
  ASSERT_TRUE(loaded);
  EXPECT_FALSE(loaded->has_value());
}

TEST_F(CheckpointTest, DamagedFilesFailWithTheirCase) {
  ASSERT_TRUE(save_checkpoint(path(), small_state(), 3));
  const auto valid = testing::read_file(path());
  auto version_2 = valid;
  version_2[0] = std::byte{2};
  auto version_2_bad_body = version_2;
  version_2_bad_body.resize(40);
  auto huge_count = valid;
  for (int i = 0; i < 8; ++i) huge_count[12 + static_cast<std::size_t>(i)] = std::byte{0xFF};

  struct Case {
    const char* name;
    std::vector<std::byte> content;
    std::string message;
  };
  const Case cases[] = {
      {"11 bytes", std::vector<std::byte>(valid.begin(), valid.begin() + 11),
       "Serialization error: unexpected end of input"},
      {"version 2", version_2, "Unsupported checkpoint version: 2"},
      {"version 2, undecodable body", version_2_bad_body, "Serialization error: "},
      {"memory count beyond the file", huge_count, "Serialization error: length "},
      {"cut inside the state", std::vector<std::byte>(valid.begin(), valid.end() - 3),
       "Serialization error: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::write_file(path(), c.content);
    auto loaded = load_checkpoint(path());
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().message().substr(0, c.message.size()), c.message);
  }
}

TEST_F(CheckpointTest, StaleTemporaryFileIsReused) {
  std::filesystem::create_directories(path().parent_path());
  testing::write_file(replace_extension(path(), "ckpt.tmp"), std::vector<std::byte>(1000));
  ASSERT_TRUE(save_checkpoint(path(), StateMachine{}, 0));
  EXPECT_EQ(std::filesystem::file_size(path()), 36u);
  EXPECT_FALSE(std::filesystem::exists(replace_extension(path(), "ckpt.tmp")));
}

TEST_F(CheckpointTest, FailedSaveKeepsThePreviousCheckpoint) {
  ASSERT_TRUE(save_checkpoint(path(), small_state(), 5));
  const auto previous = testing::read_file(path());
  for (const char* op : {"open_writable", "append", "sync", "close", "rename"}) {
    SCOPED_TRACE(op);
    testing::FaultInjectingFileSystem fs;
    fs.fail_nth(op, 1, EIO);
    auto saved = save_checkpoint(path(), StateMachine{}, 9, fs);
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().message().substr(0, 10), "IO error: ");
    EXPECT_EQ(testing::read_file(path()), previous);
  }
}

TEST_F(CheckpointTest, UnreadableMetadataIsAnErrorNotAbsence) {
  testing::FaultInjectingFileSystem fs;
  fs.fail_nth("open_readable", 1, EACCES);
  auto loaded = load_checkpoint(path(), fs);
  ASSERT_FALSE(loaded);
  EXPECT_TRUE(std::holds_alternative<CheckpointError::Io>(loaded.error().kind));
}

}  // namespace
}  // namespace tessaradb

namespace tessaradb {
namespace {

// Serves a byte string through reads, as a file would; counts them.
class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  std::size_t read(std::uint64_t offset, std::span<std::byte> out) override {
    ++reads;
    const std::size_t n = std::min<std::size_t>(out.size(), bytes_.size() - offset);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
    return n;
  }
  int reads = 0;

 private:
  std::span<const std::byte> bytes_;
};

std::string outcome(const Result<CheckpointData, SerializationError>& decoded) {
  if (!decoded) return "error: " + decoded.error().message();
  const auto again = encode_checkpoint(decoded->last_applied_id, decoded->state_machine);
  return "ok: " + std::to_string(decoded->version) + " " + std::to_string(again.size()) + " " +
         std::to_string(crc32_cksum(again));
}

TEST(CheckpointWindowedDecode, GivesWhatOneBufferGivesForEveryPrefixAndDamage) {
  const std::vector<std::byte> whole = encode_checkpoint(7, small_state());
  // Invalid UTF-8 inside a namespace: the error names its byte offset in the whole file.
  std::vector<std::byte> bad_utf8 = whole;
  const std::string_view name = "default";
  const auto at = std::search(bad_utf8.begin(), bad_utf8.end(), name.begin(), name.end(),
                              [](std::byte b, char c) { return b == std::byte(c); });
  ASSERT_NE(at, bad_utf8.end());
  at[2] = std::byte{0xFF};

  for (const std::vector<std::byte>* input : {&whole, static_cast<const std::vector<std::byte>*>(&bad_utf8)}) {
    for (std::size_t length = 0; length <= input->size(); ++length) {
      const std::span<const std::byte> prefix(input->data(), length);
      const std::string expected = outcome(decode_checkpoint(prefix));
      // Windows smaller than one number, than one embedding, and larger than the input.
      for (const std::size_t window : {1, 5, 40, 1 << 20}) {
        SpanSource source(prefix);
        ASSERT_EQ(outcome(decode_checkpoint(source, window)), expected)
            << "length " << length << " window " << window;
      }
    }
  }
  EXPECT_EQ(outcome(decode_checkpoint(whole)).substr(0, 4), "ok: ");
  SpanSource small_windows(whole);
  ASSERT_TRUE(decode_checkpoint(small_windows, 40));
  EXPECT_GT(small_windows.reads, 3);  // the input really was read piece by piece
  EXPECT_NE(outcome(decode_checkpoint(bad_utf8)).find("invalid utf-8 in the string at byte"),
            std::string::npos);
}

}  // namespace
}  // namespace tessaradb
