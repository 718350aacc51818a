#include "storage/frame.hpp"

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "storage/crc32_fold.hpp"
#include "testing/storage_records.hpp"

namespace tessaradb {
namespace {

std::span<const std::byte> as_bytes(std::string_view s) {
  return std::as_bytes(std::span<const char>(s.data(), s.size()));
}

// The definition, one bit at a time, MSB first.
std::uint32_t reference_crc(std::span<const std::byte> bytes) {
  std::uint32_t crc = 0;
  for (std::byte b : bytes) {
    crc ^= std::uint32_t{std::to_integer<std::uint8_t>(b)} << 24;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
  }
  return crc ^ 0xFFFFFFFFu;
}

std::vector<std::byte> random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::byte> out(n);
  for (std::byte& b : out) b = std::byte(static_cast<std::uint8_t>(rng()));
  return out;
}

TEST(Crc32Fold, MatchesTheBitwiseDefinitionAcrossBlockBoundariesAndAlignments) {
  const std::vector<std::byte> data = random_bytes(1 << 20, 7);
  // Every length across the fold threshold and the 16- and 64-byte block boundaries, at every
  // alignment of a 16-byte load; then long payloads like records with embeddings.
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length <= 300; ++length) {
      const std::span<const std::byte> bytes(data.data() + offset, length);
      ASSERT_EQ(crc32_cksum(bytes), reference_crc(bytes)) << "offset " << offset << " length "
                                                        << length;
    }
  }
  for (std::size_t length : {1541u, 1553u, 4096u, 65537u, 1u << 20}) {
    const std::span<const std::byte> bytes(data.data(), length);
    EXPECT_EQ(crc32_cksum(bytes), reference_crc(bytes)) << length;
  }
  // All-zero and all-ones blocks, where a wrong fold constant could cancel out.
  for (std::uint8_t fill : {0x00, 0xFF}) {
    const std::vector<std::byte> same(1000, std::byte{fill});
    EXPECT_EQ(crc32_cksum(same), reference_crc(same)) << int{fill};
  }
}

TEST(Crc32Fold, FoldedBlockKeepsTheChecksumOfWhatItReplaces) {
  if (!detail::crc_fold_supported()) GTEST_SKIP() << "no carry-less multiplication here";
  const std::vector<std::byte> data = random_bytes(1000, 11);
  std::byte folded[16];
  const std::size_t consumed = detail::crc_fold(data, folded);
  EXPECT_EQ(consumed, 992u);  // whole blocks only: 8 bytes remain for the table
  std::vector<std::byte> replaced(folded, folded + 16);
  replaced.insert(replaced.end(), data.begin() + static_cast<std::ptrdiff_t>(consumed), data.end());
  EXPECT_EQ(reference_crc(replaced), reference_crc(data));
}

TEST(Crc32Cksum, CheckValues) {
  EXPECT_EQ(crc32_cksum(as_bytes("123456789")), 0x765E7680u);
  EXPECT_EQ(crc32_cksum({}), 0xFFFFFFFFu);
  EXPECT_EQ(crc32_cksum(as_bytes("a")), reference_crc(as_bytes("a")));
}

TEST(Crc32Cksum, MatchesTheBitwiseDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 rng{12345};
  std::vector<std::byte> data(300);
  for (auto& b : data) b = std::byte(static_cast<std::uint8_t>(rng()));
  for (std::size_t start = 0; start < 8; ++start) {
    for (std::size_t length = 0; start + length <= data.size(); length += 7) {
      const std::span<const std::byte> piece(data.data() + start, length);
      ASSERT_EQ(crc32_cksum(piece), reference_crc(piece)) << start << " " << length;
    }
  }
}

TEST(Frame, HeaderHoldsLengthAndChecksumOfThePayload) {
  const Command command = DeleteMemory{MemoryId{7}};
  std::vector<std::byte> frame;
  ASSERT_TRUE(append_frame(command, frame));
  ASSERT_EQ(frame.size(), kFrameHeaderBytes + 17);
  const std::span<const std::byte> payload(frame.data() + kFrameHeaderBytes, 17);
  EXPECT_EQ(load_u32_le(frame.data()), 17u);
  EXPECT_EQ(load_u32_le(frame.data() + 4), crc32_cksum(payload));
  EXPECT_EQ(std::vector<std::byte>(payload.begin(), payload.end()), *serialize_versioned(command));

  // A second frame goes after the bytes already there, which stay as they were.
  std::vector<std::byte> two = frame;
  ASSERT_TRUE(append_frame(command, two));
  std::vector<std::byte> expected = frame;
  expected.insert(expected.end(), frame.begin(), frame.end());
  EXPECT_EQ(two, expected);
}

TEST(Frame, PayloadLimitIsTheLengthField) {
  EXPECT_TRUE(check_frame_payload(0xFFFFFFFFull));
  auto refused = check_frame_payload(0x100000000ull);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "record of 4294967296 bytes exceeds the frame limit of 4294967295 bytes");
}

}  // namespace
}  // namespace tessaradb
