#pragma once

// WriteAheadLog: the append-only file of framed, checksummed commands (`tessaradb.wal`).
//
// Every state change is appended here before it touches a segment or the state. Each frame holds
// one enveloped Command; a command's CommandId is its position in the file, counted from 0, and
// is not stored. After a checkpoint the log is rewritten without the entries it covers
// (`truncate_prefix`), which renumbers the survivors from 0.
//
// Not internally synchronised: the owner (the engine, under the store's writer lock) serialises
// every call.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/command.hpp"
#include "core/result.hpp"
#include "storage/file.hpp"
#include "storage/serialization.hpp"

namespace tessaradb {

using CommandId = std::uint64_t;

struct WalError {
  struct Io {
    IoError inner;
  };
  struct Serialization {
    SerializationError inner;
  };
  std::variant<Io, Serialization> kind;

  // "IO error: {}" or "Serialization error: {}".
  std::string message() const;
  // The I/O error, when this is one.
  const IoError* io() const { return std::get_if<Io>(&kind) ? &std::get<Io>(kind).inner : nullptr; }
};

// Why read_all_tolerant cut a log.
enum class WalCut {
  None,          // the file ended on a frame boundary
  TornTail,      // the last frame is incomplete, or is the file's last and fails its checksum or
                 // decoding: what a crash in the middle of an append leaves
  DamagedFrame,  // a complete frame followed by more bytes fails its checksum or decoding: not
                 // the trace of a crash; the frames after it were discarded with it
};

// What read_all_tolerant found.
struct TolerantRead {
  std::vector<std::pair<CommandId, Command>> entries;  // the intact prefix, ids 0, 1, 2, ...
  std::uint64_t valid_length = 0;                       // bytes of that prefix
  bool was_truncated = false;                           // the file was cut at valid_length
  WalCut cut = WalCut::None;                            // why it was cut
  std::uint64_t discarded_bytes = 0;                    // bytes the cut removed
};

class WriteAheadLog {
 public:
  // Opens the log at `path` for appending, creating it (0666) when missing, and counts its frames
  // with count_entries. A newly created file is followed by a sync of its directory so that the
  // file itself survives a crash. `fs` must outlive the log.
  //
  // The file is expected to end on a frame boundary (recovery runs read_all_tolerant first).
  static Result<WriteAheadLog, WalError> open(const std::filesystem::path& path,
                                              FileSystem& fs = default_file_system());

  WriteAheadLog(WriteAheadLog&&) noexcept = default;
  WriteAheadLog& operator=(WriteAheadLog&&) noexcept = default;
  WriteAheadLog(const WriteAheadLog&) = delete;
  WriteAheadLog& operator=(const WriteAheadLog&) = delete;
  ~WriteAheadLog() = default;  // closes the file; nothing is buffered, so nothing is lost

  // Encodes and frames `command` and hands the whole frame to the kernel in one write before
  // returning, so a process crash after success loses nothing; surviving a power loss needs
  // `sync`. Returns the entry's CommandId, which is the entry count before the call.
  //
  // A record that does not fit a frame fails with the serialization error before anything is
  // written, and the log stays usable. A failed write leaves the file's tail unknown: the count is
  // unchanged, the log is failed (see failure()) and every later append, flush and sync returns
  // that same I/O error until the log is reopened.
  Result<CommandId, WalError> append(const Command& command);

  // Appends never buffer, so this only reports a earlier write or sync failure (the sticky error
  // of failure()), or succeeds.
  Result<void, WalError> flush();

  // fsync: returns once every appended frame survives a crash. A failed sync fails the log like a
  // failed write: the kernel may have dropped the unsynced pages, so no later call may report
  // success over them.
  Result<void, WalError> sync();

  // Number of frames in the file, which is also the CommandId the next append receives.
  std::uint64_t entry_count() const { return entry_count_; }

  const std::filesystem::path& path() const { return path_; }

  // The write or sync failure that failed this log, if any.
  const std::optional<IoError>& failure() const { return failure_; }

 private:
  WriteAheadLog(std::filesystem::path path, FileSystem& fs, std::unique_ptr<WritableFile> file,
                std::uint64_t entry_count);
  WalError fail(IoError error);

  std::filesystem::path path_;
  FileSystem* fs_;
  std::unique_ptr<WritableFile> file_;
  std::uint64_t entry_count_ = 0;
  std::optional<IoError> failure_;
  std::vector<std::byte> frame_;  // reused by append
};

// Number of complete frames in the file at `path`; 0 when it does not exist. A file that ends
// inside a length field counts the frames before it; one that ends inside a checksum or payload
// is an I/O error (unexpected end of file). Checksums are not verified. Reads only the headers'
// bytes plus what the read buffer brings along.
Result<std::uint64_t, WalError> count_entries(const std::filesystem::path& path,
                                              FileSystem& fs = default_file_system());

// Reads the log at `path`: the commands of its intact prefix, the prefix's length and whether the
// file was cut. The first frame that is short, runs past the end of the file, fails its checksum
// or does not decode ends the prefix, wherever it lies; the file is then truncated there and the
// cut is synced before returning, so the next append starts on a frame boundary. A missing file
// reads as empty and is not created. Failures to open, size, read (other than reaching the end),
// cut or sync are I/O errors and leave the file as it was: a read error never cuts the log.
// `on_insert`, when set, sees the entry of each intact insert as it is decoded, in log order (see
// DecodedEntryHook), so a caller can hand over its vector before the next frame is decoded.
Result<TolerantRead, WalError> read_all_tolerant(const std::filesystem::path& path,
                                                 FileSystem& fs = default_file_system(),
                                                 const DecodedEntryHook& on_insert = {});

// Rewrites the log at `path` keeping only the entries whose CommandId is strictly greater than
// `last_applied_id`, renumbered from 0, through durable_rewrite with the temporary file
// "<path minus extension>.wal.trunc.tmp". A missing log is success and nothing is created; keeping
// nothing leaves an empty file. The log is read with read_all_tolerant first (which may cut a
// damaged tail). On failure the log file is unchanged. An open WriteAheadLog on `path` still
// writes to the replaced file afterwards and must be reopened.
Result<void, WalError> truncate_prefix(const std::filesystem::path& path, CommandId last_applied_id,
                                       FileSystem& fs = default_file_system());

}  // namespace tessaradb
