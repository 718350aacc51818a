#pragma once

// Reads memory records back from a segment storage through one read handle per segment file,
// instead of opening a file for every record. Replay reads one record per logged insert and
// compaction reads every live record, so a database of a million memories would otherwise open
// and close a million files.
//
// Records come back exactly as SegmentStorage::read_entry returns them: the frame's checksum is
// verified before the payload is decoded, and the same errors are reported.
//
// The storage and the file system must outlive the reader. The storage may be written while the
// reader is in use (replay appends to the current segment): the index is consulted on each read
// and new bytes are visible through handles opened earlier. At most kMaxOpenFiles handles are
// kept, so a database with thousands of segment files cannot run out of descriptors.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "storage/file.hpp"
#include "storage/segment.hpp"

namespace tessaradb::detail {

class SegmentRecordReader {
 public:
  static constexpr std::size_t kMaxOpenFiles = 64;

  SegmentRecordReader(const SegmentStorage& storage, FileSystem& fs) : storage_(storage), fs_(fs) {}

  // The live record of `id`: EntryNotFound when the id is not indexed or marked deleted.
  Result<MemoryEntry, SegmentError> read(MemoryId id);

  // The record at `where` in the storage's directory, whatever its deleted mark.
  Result<MemoryEntry, SegmentError> read_at(const SegmentIndexEntry& where);

 private:
  Result<ReadableFile*, SegmentError> file(std::uint32_t segment);

  const SegmentStorage& storage_;
  FileSystem& fs_;
  std::unordered_map<std::uint32_t, std::unique_ptr<ReadableFile>> files_;
  std::vector<std::byte> frame_;  // reused between reads
};

}  // namespace tessaradb::detail
