#pragma once

// The frame: the unit of the log and of segment files, which are plain sequences of frames.
//
//   offset 0  u32 LE  payload length L
//   offset 4  u32 LE  CRC-32/CKSUM of the payload
//   offset 8  L bytes payload (an enveloped record)
//
// No header, no trailer, no sequence numbers. The writer and every reader take the layout from
// here.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/command.hpp"
#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "storage/file.hpp"
#include "storage/serialization.hpp"

namespace tessaradb {

inline constexpr std::size_t kFrameHeaderBytes = 8;
inline constexpr std::uint64_t kMaxFramePayloadBytes = std::numeric_limits<std::uint32_t>::max();

// CRC-32/CKSUM: polynomial 0x04C11DB7, initial value 0, not reflected, final XOR 0xFFFFFFFF.
// "123456789" gives 0x765E7680; an empty input gives 0xFFFFFFFF. Computed eight bytes at a time;
// the result is that of the bytewise MSB-first definition.
std::uint32_t crc32_cksum(std::span<const std::byte> bytes);

// Little-endian helpers shared by writers and readers of frames.
inline void store_u32_le(std::byte* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = std::byte(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline std::uint32_t load_u32_le(const std::byte* in) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::uint32_t{std::to_integer<std::uint8_t>(in[i])} << (8 * i);
  return v;
}

// Refuses a payload that would not fit the 32-bit length field, with a serialization error that
// says so. Checked before any record is encoded or written.
Result<void, SerializationError> check_frame_payload(std::uint64_t payload_bytes);

// Appends one complete frame (header and enveloped record) of `command` (or `entry`) to `out`.
// Fails with the serialization error when the payload would exceed kMaxFramePayloadBytes; `out`
// is left as it was then.
Result<void, SerializationError> append_frame(const Command& command, std::vector<std::byte>& out);
Result<void, SerializationError> append_frame(const MemoryEntry& entry, std::vector<std::byte>& out);

// A log or segment file reuses one buffer for the frames it writes. After a record larger than
// this the buffer's storage is let go rather than kept for the life of the file.
inline constexpr std::size_t kKeptFrameBufferBytes = 64 * 1024;

inline void release_if_large(std::vector<std::byte>& frame_buffer) {
  if (frame_buffer.capacity() > kKeptFrameBufferBytes) std::vector<std::byte>().swap(frame_buffer);
}

// Reads the frames of one file front to back through a read buffer. Checksums and payloads are
// not judged here: the log and the segments react to damage differently.
class FrameReader {
 public:
  // `file` must stay valid while the reader is used; `file_size` is the length to read up to.
  FrameReader(ReadableFile& file, std::uint64_t file_size);

  struct Frame {
    std::uint64_t offset = 0;  // of the length field
    std::uint32_t length = 0;  // payload length L
    std::uint32_t stored_checksum = 0;
    std::span<const std::byte> payload;  // valid until the next call to next()
    bool ends_file = false;  // the frame ends exactly at the end of the file
  };

  enum class Status {
    Frame,  // a complete frame was read into `frame()`
    End,    // the file ends exactly at the current offset
    Torn,   // fewer than a header's bytes remain, or L runs past the end: a torn tail at offset()
  };

  // Reads the next frame. Errors are real read failures, never the end of the file.
  Result<Status, IoError> next();

  // The frame read by the last next() that returned Status::Frame.
  const Frame& frame() const { return frame_; }

  // Offset of the first byte not yet consumed: after Frame, the end of that frame; after End or
  // Torn, where the file is whole up to.
  std::uint64_t offset() const { return offset_; }

  // Skips payload bytes instead of returning them (count_entries needs only the lengths).
  void set_skip_payloads(bool skip) { skip_payloads_ = skip; }

 private:
  Result<bool, IoError> fill(std::uint64_t at, std::size_t need);

  ReadableFile& file_;
  std::uint64_t file_size_;
  std::uint64_t offset_ = 0;
  bool skip_payloads_ = false;
  // Read buffer: holds bytes [buffer_start_, buffer_start_ + buffer_length_) of the file.
  std::vector<std::byte> buffer_;
  std::uint64_t buffer_start_ = 0;
  std::size_t buffer_length_ = 0;
  std::vector<std::byte> large_;  // payloads larger than the read buffer
  Frame frame_;
};

}  // namespace tessaradb
