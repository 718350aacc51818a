#include "storage/frame.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "storage/crc32_fold.hpp"

namespace tessaradb {
namespace {

constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;

// tables[0] is the classic MSB-first table; tables[k][i] is the CRC of byte i followed by k zero
// bytes, which lets the loop fold eight input bytes per step (slicing by eight).
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80000000u) ? (crc << 1) ^ kCrcPolynomial : crc << 1;
    }
    t[0][i] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      const std::uint32_t prev = t[k - 1][i];
      t[k][i] = (prev << 8) ^ t[0][prev >> 24];
    }
  }
  return t;
}

constexpr CrcTables kCrcTables = make_crc_tables();

// Large enough that a sequential read costs few system calls; payloads above it are read into
// their own buffer.
constexpr std::size_t kReadBufferBytes = 64 * 1024;

std::uint8_t byte_at(const std::byte* p, std::size_t i) {
  return std::to_integer<std::uint8_t>(p[i]);
}

// Appends the frame of `record` to `out`; nothing is appended when the record is too large.
template <typename T>
Result<void, SerializationError> append_frame_of(const T& record, std::vector<std::byte>& out) {
  const std::uint64_t payload = kEnvelopeHeaderBytes + encoded_size(record);
  if (auto fits = check_frame_payload(payload); !fits) return std::move(fits).error();
  const std::size_t start = out.size();
  out.resize(start + kFrameHeaderBytes + payload);
  const std::span<std::byte> body(out.data() + start + kFrameHeaderBytes, payload);
  write_versioned(record, body);
  store_u32_le(out.data() + start, static_cast<std::uint32_t>(payload));
  store_u32_le(out.data() + start + 4, crc32_cksum(body));
  return {};
}

}  // namespace

Result<void, SerializationError> check_frame_payload(std::uint64_t payload_bytes) {
  if (payload_bytes <= kMaxFramePayloadBytes) return {};
  return SerializationError{"record of " + std::to_string(payload_bytes) +
                            " bytes exceeds the frame limit of " +
                            std::to_string(kMaxFramePayloadBytes) + " bytes"};
}

namespace {

// Continues a CRC (without its final inversion) over `bytes`, eight bytes per step.
std::uint32_t crc32_table_update(std::uint32_t crc, std::span<const std::byte> bytes) {
  const auto& t = kCrcTables;
  const std::byte* p = bytes.data();
  std::size_t n = bytes.size();
  while (n >= 8) {
    const std::uint32_t hi = crc ^ ((std::uint32_t{byte_at(p, 0)} << 24) |
                                    (std::uint32_t{byte_at(p, 1)} << 16) |
                                    (std::uint32_t{byte_at(p, 2)} << 8) | byte_at(p, 3));
    crc = t[7][hi >> 24] ^ t[6][(hi >> 16) & 0xFF] ^ t[5][(hi >> 8) & 0xFF] ^ t[4][hi & 0xFF] ^
          t[3][byte_at(p, 4)] ^ t[2][byte_at(p, 5)] ^ t[1][byte_at(p, 6)] ^ t[0][byte_at(p, 7)];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = (crc << 8) ^ t[0][(crc >> 24) ^ byte_at(p++, 0)];
  return crc;
}

}  // namespace

std::uint32_t crc32_cksum(std::span<const std::byte> bytes) {
  std::uint32_t crc = 0;
  // Long payloads (every record with an embedding) are folded with carry-less multiplication
  // down to one block first; the values are the table's.
  if (bytes.size() >= detail::kCrcFoldMinBytes && detail::crc_fold_supported()) {
    std::byte folded[16];
    const std::size_t consumed = detail::crc_fold(bytes, folded);
    crc = crc32_table_update(0, folded);
    bytes = bytes.subspan(consumed);
  }
  return crc32_table_update(crc, bytes) ^ 0xFFFFFFFFu;
}

Result<void, SerializationError> append_frame(const Command& command, std::vector<std::byte>& out) {
  return append_frame_of(command, out);
}

Result<void, SerializationError> append_frame(const MemoryEntry& entry, std::vector<std::byte>& out) {
  return append_frame_of(entry, out);
}

FrameReader::FrameReader(ReadableFile& file, std::uint64_t file_size)
    : file_(file), file_size_(file_size) {}

// Makes bytes [at, at + need) available in buffer_ (need <= kReadBufferBytes). Returns false when
// the file holds fewer bytes than that.
Result<bool, IoError> FrameReader::fill(std::uint64_t at, std::size_t need) {
  if (at >= buffer_start_ && at + need <= buffer_start_ + buffer_length_) return true;
  if (buffer_.size() < kReadBufferBytes) buffer_.resize(kReadBufferBytes);
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(kReadBufferBytes, file_size_ - at));
  auto got = file_.read_at(at, std::span<std::byte>(buffer_.data(), want));
  if (!got) return std::move(got).error();
  buffer_start_ = at;
  buffer_length_ = *got;
  return *got >= need;
}

Result<FrameReader::Status, IoError> FrameReader::next() {
  if (offset_ >= file_size_) return Status::End;
  const std::uint64_t remaining = file_size_ - offset_;
  if (remaining < kFrameHeaderBytes) return Status::Torn;
  auto header = fill(offset_, kFrameHeaderBytes);
  if (!header) return std::move(header).error();
  if (!*header) return Status::Torn;  // the file shrank under us: what is left is a torn tail
  const std::byte* h = buffer_.data() + (offset_ - buffer_start_);
  const std::uint32_t length = load_u32_le(h);
  const std::uint32_t checksum = load_u32_le(h + 4);
  if (length > remaining - kFrameHeaderBytes) return Status::Torn;

  const std::uint64_t payload_at = offset_ + kFrameHeaderBytes;
  std::span<const std::byte> payload;
  if (!skip_payloads_) {
    if (length <= kReadBufferBytes) {
      auto ok = fill(payload_at, length);
      if (!ok) return std::move(ok).error();
      if (!*ok) return Status::Torn;
      payload = std::span<const std::byte>(buffer_.data() + (payload_at - buffer_start_), length);
    } else {
      // Allocated only now that the length is known to fit in the file.
      large_.resize(length);
      auto got = file_.read_at(payload_at, large_);
      if (!got) return std::move(got).error();
      if (*got < length) return Status::Torn;
      payload = large_;
    }
  }
  frame_ = Frame{offset_, length, checksum, payload, length == remaining - kFrameHeaderBytes};
  offset_ += kFrameHeaderBytes + length;
  return Status::Frame;
}

}  // namespace tessaradb
