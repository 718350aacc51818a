#pragma once

// SegmentStorage: every memory record on disk, in append-only numbered segment files inside one
// directory (`segments`), plus an in-memory index from MemoryId to the record's place.
//
// A segment file is a sequence of frames (storage/frame.hpp), each holding one enveloped
// MemoryEntry. Several records may exist for one id (a memory re-inserted); the index keeps the
// last one written or loaded. Deletion marks live only in the index: nothing is written to a
// segment when a memory is deleted, and reloading the index (a new SegmentStorage) clears them.
//
// Not internally synchronised: the engine owns the storage and calls it under the store's writer
// lock. read_entry opens its own descriptor per call.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "storage/file.hpp"
#include "storage/serialization.hpp"

namespace tessaradb {

// A segment that has reached this size receives no further record: the next write rolls over to
// a new file. A segment may exceed it by up to one frame.
inline constexpr std::uint64_t kSegmentRolloverBytes = 10485760;

struct SegmentError {
  struct Io {
    IoError inner;
  };
  struct Serialization {
    SerializationError inner;
  };
  struct EntryNotFound {
    MemoryId id;
  };
  struct ChecksumMismatch {
    std::uint64_t offset;    // of the frame
    std::uint32_t expected;  // stored in the frame
    std::uint32_t actual;    // computed over the payload
  };
  std::variant<Io, Serialization, EntryNotFound, ChecksumMismatch> kind;

  // "IO error: {}", "Serialization error: {}", "Entry not found: MemoryId(7)" or
  // "Checksum mismatch at offset {}: expected {}, got {}" (checksums in lowercase hex, no prefix).
  std::string message() const;
  // The I/O error, when this is one.
  const IoError* io() const { return std::get_if<Io>(&kind) ? &std::get<Io>(kind).inner : nullptr; }
};

// Where a record was written.
struct SegmentLocation {
  std::uint64_t offset = 0;   // of the frame (its length field)
  std::uint32_t segment = 0;  // segment number
  std::uint32_t length = 0;   // payload length L; the frame is 8 + L bytes
};

// One id's entry in the index.
struct SegmentIndexEntry {
  std::uint32_t segment = 0;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  bool deleted = false;     // set by the engine; never persisted
  std::uint32_t checksum = 0;  // the CRC-32/CKSUM stored in the frame (verified when loaded)
};

using SegmentIndex = std::unordered_map<MemoryId, SegmentIndexEntry>;

// "000042.seg": the number in decimal, zero-padded to at least six digits.
std::string segment_file_name(std::uint32_t segment);

// The segment number of a file name this storage writes, or none. Only the exact form that
// segment_file_name produces is accepted ("000042.seg", "1234567.seg"): "42.seg", "+00042.seg",
// "notes.seg" or "000003.seg.bak" give none. A name in another form cannot be read back through
// segment_file_name, so treating it as a segment would read records from the wrong file; such
// files are left alone. The largest number, 4294967295, is refused too: no segment could follow
// it.
std::optional<std::uint32_t> parse_segment_file_name(std::string_view name);

class SegmentStorage {
 public:
  // Creates `dir` and its missing parents (0777), loads the index from the segment files
  // (rebuild_index: a torn or damaged last frame of a file is cut off and the cut synced; damage
  // before the last frame fails with the checksum mismatch or serialization error, except in the
  // newest file, which is cut at its first bad frame), then opens a
  // fresh current segment numbered one above the highest existing file (0 when there is none).
  // Creating the directory or the new segment file is followed by a sync of its parent directory.
  // `fs` must outlive the storage.
  static Result<SegmentStorage, SegmentError> open(const std::filesystem::path& dir,
                                                   FileSystem& fs = default_file_system());

  SegmentStorage(SegmentStorage&&) noexcept = default;
  SegmentStorage& operator=(SegmentStorage&&) noexcept = default;
  SegmentStorage(const SegmentStorage&) = delete;
  SegmentStorage& operator=(const SegmentStorage&) = delete;
  ~SegmentStorage() = default;  // closes the current file; nothing is buffered

  // Appends `entry` to the current segment, handing the whole frame to the kernel before
  // returning (no sync), and indexes it (not deleted), replacing an earlier entry for that id.
  // Rolls over first when the current segment has reached kSegmentRolloverBytes (the full file
  // is synced and closed, the next one created). When no segment file is open (after
  // prepare_for_maintenance), the current segment is reopened first, so the record always
  // reaches a file.
  //
  // A record too large for a frame fails with the serialization error before anything is
  // written. A failed write or sync leaves index and size unchanged and fails the storage:
  // every later write_entry, flush and sync returns that I/O error (see failure()).
  Result<SegmentLocation, SegmentError> write_entry(const MemoryEntry& entry);

  // The stored record of a live id. EntryNotFound when the id is unknown or marked deleted;
  // ChecksumMismatch when the frame's bytes fail their checksum (a record that fails it is never
  // returned); an I/O error when the file is short or unreadable.
  Result<MemoryEntry, SegmentError> read_entry(MemoryId id) const;

  // Every live (id, record), read from disk (one handle per segment file), in index order; the
  // first failing read aborts.
  Result<std::vector<std::pair<MemoryId, MemoryEntry>>, SegmentError> get_all_live_entries() const;

  // Segments below the current one whose index entries are strictly more than 20% deleted, in
  // no particular order. Segments no index entry points to are not considered.
  std::vector<std::uint32_t> get_compactable_segments() const;

  // Syncs and closes the current segment file. Afterwards no file is open until
  // open_current_segment (or a write_entry, which reopens it).
  Result<void, SegmentError> prepare_for_maintenance();

  // Opens the current segment's file for appending, creating it when missing (and then syncing
  // the directory), and sets the current size to its length. A previously open file is closed.
  Result<void, SegmentError> open_current_segment();

  // Reports an earlier write or sync failure, or succeeds: writes are never buffered.
  Result<void, SegmentError> flush();

  // Syncs the current segment file, if one is open. A failure fails the storage.
  Result<void, SegmentError> sync();

  // Sets the deleted mark of `id`. Returns false (and changes nothing) when the id is not indexed.
  bool mark_deleted(MemoryId id);

  // Cuts the segment file at `path` to `length` and syncs it.
  static Result<void, SegmentError> truncate_segment_tail(const std::filesystem::path& path,
                                                          std::uint64_t length,
                                                          FileSystem& fs = default_file_system());

  const SegmentIndex& index() const { return index_; }
  const std::filesystem::path& dir() const { return dir_; }
  std::uint32_t current_segment() const { return current_segment_; }
  std::uint64_t current_size() const { return current_size_; }
  bool has_open_segment() const { return file_ != nullptr; }
  std::filesystem::path segment_path(std::uint32_t segment) const;

  // The write or sync failure that failed this storage, if any.
  const std::optional<IoError>& failure() const { return failure_; }

 private:
  friend class SegmentReader;

  SegmentStorage(std::filesystem::path dir, FileSystem& fs);
  // Reads and verifies the record at `where` from the already opened segment file.
  static Result<MemoryEntry, SegmentError> read_record(ReadableFile& file,
                                                       const std::filesystem::path& path,
                                                       const SegmentIndexEntry& where);
  Result<void, SegmentError> rebuild_index();
  Result<void, SegmentError> load_segment_file(std::uint32_t segment, bool is_newest);
  Result<void, SegmentError> roll_over();
  SegmentError fail(IoError error);

  std::filesystem::path dir_;
  FileSystem* fs_;
  SegmentIndex index_;
  std::uint32_t current_segment_ = 0;
  std::uint64_t current_size_ = 0;
  std::unique_ptr<WritableFile> file_;  // the current segment, or null
  std::optional<IoError> failure_;
  std::vector<std::byte> frame_;  // reused by write_entry
};

// Reads records of one storage through one open handle per segment file, for callers that read
// many records in a row (replay, compaction); SegmentStorage::read_entry opens a file per call.
// Gives exactly what read_entry gives, with the same verification. Records appended through the
// storage while the reader lives are readable through it. The reader must not outlive the
// storage, and must be dropped when the storage's files are replaced (compaction) or moved from.
class SegmentReader {
 public:
  explicit SegmentReader(const SegmentStorage& storage) : storage_(storage) {}

  Result<MemoryEntry, SegmentError> read_entry(MemoryId id);

 private:
  const SegmentStorage& storage_;
  std::unordered_map<std::uint32_t, std::unique_ptr<ReadableFile>> files_;
};

}  // namespace tessaradb
