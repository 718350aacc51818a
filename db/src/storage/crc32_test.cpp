#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "storage/crc32_fold.hpp"
#include "storage/frame.hpp"

namespace tessaradb {
namespace {

// CRC-32/CKSUM one bit at a time: polynomial 0x04C11DB7, initial value 0, no reflection, the
// result inverted.
std::uint32_t bitwise_crc(std::span<const std::byte> bytes) {
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
      ASSERT_EQ(crc32_cksum(bytes), bitwise_crc(bytes)) << "offset " << offset << " length "
                                                        << length;
    }
  }
  for (std::size_t length : {1541u, 1553u, 4096u, 65537u, 1u << 20}) {
    const std::span<const std::byte> bytes(data.data(), length);
    EXPECT_EQ(crc32_cksum(bytes), bitwise_crc(bytes)) << length;
  }
  // All-zero and all-ones blocks, where a wrong fold constant could cancel out.
  for (std::uint8_t fill : {0x00, 0xFF}) {
    const std::vector<std::byte> same(1000, std::byte{fill});
    EXPECT_EQ(crc32_cksum(same), bitwise_crc(same)) << int{fill};
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
  EXPECT_EQ(bitwise_crc(replaced), bitwise_crc(data));
}

}  // namespace
}  // namespace tessaradb
