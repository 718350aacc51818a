#include "engine/segment_reader.hpp"

#include <span>
#include <string>
#include <utility>

#include "storage/frame.hpp"
#include "storage/serialization.hpp"

namespace tessaradb::detail {
namespace {

SegmentError io_error(IoError e) { return SegmentError{SegmentError::Io{std::move(e)}}; }

}  // namespace

Result<ReadableFile*, SegmentError> SegmentRecordReader::file(std::uint32_t segment) {
  if (auto it = files_.find(segment); it != files_.end()) return it->second.get();
  // Replay and compaction move through the segments roughly in order, so dropping every
  // handle when the cache is full costs little and keeps the descriptor count bounded.
  if (files_.size() >= kMaxOpenFiles) files_.clear();
  auto opened = fs_.open_readable(storage_.segment_path(segment));
  if (!opened) return io_error(std::move(opened).error());
  ReadableFile* raw = opened->get();
  files_.emplace(segment, std::move(*opened));
  return raw;
}

Result<MemoryEntry, SegmentError> SegmentRecordReader::read(MemoryId id) {
  const auto it = storage_.index().find(id);
  if (it == storage_.index().end() || it->second.deleted) {
    return SegmentError{SegmentError::EntryNotFound{id}};
  }
  return read_at(it->second);
}

Result<MemoryEntry, SegmentError> SegmentRecordReader::read_at(const SegmentIndexEntry& where) {
  auto handle = file(where.segment);
  if (!handle) return std::move(handle).error();
  frame_.resize(kFrameHeaderBytes + std::size_t{where.length});
  auto got = (*handle)->read_at(where.offset, frame_);
  if (!got) return io_error(std::move(got).error());
  if (*got < frame_.size()) {
    return io_error(IoError{0, "read " + storage_.segment_path(where.segment).string() +
                                   ": unexpected end of file at offset " +
                                   std::to_string(where.offset + *got)});
  }
  const std::span<const std::byte> payload(frame_.data() + kFrameHeaderBytes, where.length);
  const std::uint32_t stored = load_u32_le(frame_.data() + 4);
  const std::uint32_t actual = crc32_cksum(payload);
  if (stored != actual) {
    return SegmentError{SegmentError::ChecksumMismatch{where.offset, stored, actual}};
  }
  auto entry = deserialize_versioned<MemoryEntry>(payload);
  if (!entry) return SegmentError{SegmentError::Serialization{std::move(entry).error()}};
  return std::move(*entry);
}

}  // namespace tessaradb::detail
