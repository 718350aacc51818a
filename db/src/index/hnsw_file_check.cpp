#include "index/hnsw_file_check.hpp"

#include <cstring>
#include <type_traits>
#include <unordered_set>
#include <vector>

namespace tessaradb::detail {

namespace {

constexpr std::size_t kHeadBytes = 64;
constexpr char kMagic[] = "usearch";
// Bounds far beyond anything the library builds; they only keep sizes from a damaged file from
// overflowing the arithmetic below.
constexpr std::uint64_t kMaxConnectivity = 1u << 16;
constexpr std::uint64_t kMaxLevel = 1u << 10;

// Little-endian reader that checks what remains before every read.
class Cursor {
 public:
  explicit Cursor(std::span<const unsigned char> bytes) : bytes_(bytes) {}
  std::size_t remaining() const { return bytes_.size() - offset_; }
  bool skip(std::uint64_t n) {
    if (n > remaining()) return false;
    offset_ += static_cast<std::size_t>(n);
    return true;
  }
  template <typename T>
  std::optional<T> read() {
    if (sizeof(T) > remaining()) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value |= std::uint64_t{bytes_[offset_ + i]} << (8 * i);
    }
    offset_ += sizeof(T);
    T out;
    if constexpr (sizeof(T) == 8) {
      out = static_cast<T>(value);
    } else {
      const auto narrow = static_cast<std::make_unsigned_t<T>>(value);
      std::memcpy(&out, &narrow, sizeof(T));
    }
    return out;
  }
  std::span<const unsigned char> take(std::size_t n) {
    auto out = bytes_.subspan(offset_, n);
    offset_ += n;
    return out;
  }

 private:
  std::span<const unsigned char> bytes_;
  std::size_t offset_ = 0;
};

std::uint8_t byte_at(std::span<const unsigned char> head, std::size_t at) { return head[at]; }

std::uint64_t u64_at(std::span<const unsigned char> head, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value |= std::uint64_t{head[at + i]} << (8 * i);
  return value;
}

}  // namespace

std::optional<std::string> check_hnsw_file(std::span<const unsigned char> bytes,
                                           const HnswFileExpectation& expected) {
  Cursor in(bytes);
  const auto rows = in.read<std::uint32_t>();
  const auto row_bytes = in.read<std::uint32_t>();
  if (!rows || !row_bytes) return "truncated vector matrix header";
  if (*row_bytes != expected.dimension * sizeof(float)) return "vector size does not match";
  if (!in.skip(std::uint64_t{*rows} * *row_bytes)) return "truncated vectors";

  if (in.remaining() < kHeadBytes) return "truncated head";
  const auto head = in.take(kHeadBytes);
  if (std::memcmp(head.data(), kMagic, sizeof(kMagic) - 1) != 0) return "not an index file";
  const std::uint16_t major = static_cast<std::uint16_t>(head[7] | (head[8] << 8));
  if (major != expected.version_major) return "unsupported format version";
  if (byte_at(head, 13) != expected.metric_kind) return "metric is not cosine";
  if (byte_at(head, 14) != expected.scalar_kind) return "scalar type is not f32";
  if (byte_at(head, 15) != expected.key_kind) return "key type does not match";
  if (byte_at(head, 16) != expected.slot_kind) return "slot type does not match";
  const std::uint64_t present = u64_at(head, 17);
  const std::uint64_t deleted = u64_at(head, 25);
  if (u64_at(head, 33) != expected.dimension) return "dimension does not match";
  if (byte_at(head, 41) != 0) return "multi-vector index";

  const auto size = in.read<std::uint64_t>();
  const auto connectivity = in.read<std::uint64_t>();
  const auto connectivity_base = in.read<std::uint64_t>();
  const auto max_level = in.read<std::uint64_t>();
  const auto entry_slot = in.read<std::uint64_t>();
  if (!entry_slot) return "truncated graph header";
  if (*size != *rows) return "graph size does not match the vectors";
  if (present > *size || deleted != *size - present) return "member counts do not match";
  if (*size == 0) {
    if (in.remaining() != 0) return "trailing bytes";
    return std::nullopt;
  }
  if (*connectivity < 2 || *connectivity > kMaxConnectivity || *connectivity_base < *connectivity ||
      *connectivity_base > kMaxConnectivity) {
    return "bad connectivity";
  }
  if (*max_level > kMaxLevel) return "bad level count";
  if (*entry_slot >= *size) return "entry point out of range";

  if (in.remaining() / sizeof(std::int16_t) < *size) return "truncated node levels";
  std::vector<std::int16_t> levels(static_cast<std::size_t>(*size));
  const std::uint64_t head_bytes = 8 + 2;
  const std::uint64_t base_bytes = 4 + 4 * *connectivity_base;
  const std::uint64_t level_bytes = 4 + 4 * *connectivity;
  std::uint64_t node_bytes_total = 0;
  for (auto& level : levels) {
    level = *in.read<std::int16_t>();
    if (level < 0 || static_cast<std::uint64_t>(level) > *max_level) return "bad node level";
    node_bytes_total += head_bytes + base_bytes + level_bytes * static_cast<std::uint64_t>(level);
  }
  if (static_cast<std::uint64_t>(levels[*entry_slot]) != *max_level) {
    return "entry point is not on the top level";
  }
  if (node_bytes_total != in.remaining()) return "node bytes do not match";

  std::unordered_set<std::uint64_t> keys;
  keys.reserve(static_cast<std::size_t>(present));
  std::uint64_t free_slots = 0;
  for (std::size_t slot = 0; slot < levels.size(); ++slot) {
    const std::uint64_t key = *in.read<std::uint64_t>();
    const std::int16_t level = *in.read<std::int16_t>();
    if (level != levels[slot]) return "node level does not match";
    if (key == expected.free_key) {
      ++free_slots;
    } else if (!keys.insert(key).second) {
      return "duplicate key";
    }
    for (std::int16_t l = 0; l <= level; ++l) {
      const std::uint64_t room = l == 0 ? *connectivity_base : *connectivity;
      const std::uint32_t count = *in.read<std::uint32_t>();
      if (count > room) return "too many neighbours";
      for (std::uint64_t n = 0; n < room; ++n) {
        const std::uint32_t neighbour = *in.read<std::uint32_t>();
        if (n >= count) continue;  // unused room may hold anything
        // A link on level l must lead to a node that has level l, or the search would read
        // that node's (missing) list for level l.
        if (neighbour >= *size || levels[neighbour] < l) return "neighbour link out of range";
      }
    }
  }
  if (free_slots != deleted) return "member counts do not match";
  return std::nullopt;
}

}  // namespace tessaradb::detail
