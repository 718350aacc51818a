#pragma once

// The file-system interface every storage file goes through, and the durable-rewrite protocol.
//
// Log, segment, checkpoint (and later index and compaction) code never calls the operating system
// directly: each operation goes through a `FileSystem`. The process default is the POSIX one,
// `default_file_system()`. A test harness substitutes its own implementation to drop unsynced
// data or to fail the Nth operation with EIO or ENOSPC, without touching the storage code.
//
// `errno` becomes an `IoError` in exactly one place, file.cpp.
//
// New files get permission bits 0666 and new directories 0777, both reduced by the umask.
//
// Thread-safety: a FileSystem may be used from several threads at once. A file handle belongs to
// one thread at a time.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/result.hpp"

namespace tessaradb {

// A failed system call, or a file that ended where more bytes were required.
struct IoError {
  int code = 0;         // the errno value; 0 when the failure did not come from the system
  std::string context;  // what was being done and on what, e.g. "open /db/tessaradb.wal"

  // e.g. "open /db/tessaradb.wal: No such file or directory (os error 2)", or for code 0 the
  // context alone ("read /db/segments/000000.seg: unexpected end of file").
  std::string message() const;

  // True when the path (or one of its parents) does not exist.
  bool is_not_found() const;
};

// A file opened for reading at explicit offsets.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;

  // Reads up to out.size() bytes at `offset` and returns how many were read. Fewer than asked
  // only when the file ends first (0 at or past the end). Interrupted calls are retried.
  virtual Result<std::size_t, IoError> read_at(std::uint64_t offset, std::span<std::byte> out) = 0;

  // The file's current length in bytes.
  virtual Result<std::uint64_t, IoError> size() = 0;
};

// A file opened for writing. Each `append` hands all of its bytes to the kernel (write(2), with
// short writes continued) before it returns, so a process crash after a successful append loses
// none of them; only `sync` makes them survive a power loss.
class WritableFile {
 public:
  virtual ~WritableFile() = default;  // closes; errors ignored

  // Writes `bytes` at the end of the file. On failure any prefix of them may have reached the
  // file; the caller must treat the file's tail as unknown.
  virtual Result<void, IoError> append(std::span<const std::byte> bytes) = 0;

  // Returns once everything appended so far (data and metadata) survives a crash (fsync).
  virtual Result<void, IoError> sync() = 0;

  // Sets the file's length (cutting or zero-extending). Later appends go to the new end.
  virtual Result<void, IoError> truncate(std::uint64_t length) = 0;

  // The file's current length in bytes.
  virtual Result<std::uint64_t, IoError> size() = 0;

  // Closes the descriptor and reports what close(2) reports. Any later call fails.
  virtual Result<void, IoError> close() = 0;

  // Advice that bytes [offset, offset + length) will not be read soon, so the kernel may drop
  // their clean pages from its cache. Never fails and never changes what the file holds.
  virtual void drop_cached(std::uint64_t offset, std::uint64_t length) noexcept {
    (void)offset;
    (void)length;
  }
};

// Keeps an append-only file's synced bytes from piling up in the page cache. A log or segment
// is written once and read back only at open, compaction or recovery; cached, its pages would
// grow with everything ever written and crowd out memory the process and the system need (and
// fresh page-cache pages cost a first touch that recycled ones do not). After each sync, the
// synced bytes are released in steps, all but the newest, which a following append to a
// partly written page would otherwise read back from the disk.
class SyncedPageRelease {
 public:
  static constexpr std::uint64_t kStepBytes = 8 << 20;
  static constexpr std::uint64_t kKeptBytes = 1 << 20;

  // Call after a sync of `file` (at `path`) succeeded that covered its first `synced` bytes.
  void after_sync(WritableFile& file, const std::filesystem::path& path, std::uint64_t synced);

 private:
  std::filesystem::path path_;
  std::uint64_t released_ = 0;  // bytes of path_ released so far
};

// How `FileSystem::open_writable` opens a file.
enum class WriteMode {
  Append,    // create if missing (0666), keep the contents, write at the end
  Truncate,  // create if missing (0666), cut to length 0
  Existing,  // the file must exist; keep the contents, write at the end
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens a file for reading. A missing file gives an error whose is_not_found() is true.
  virtual Result<std::unique_ptr<ReadableFile>, IoError> open_readable(
      const std::filesystem::path& path) = 0;

  virtual Result<std::unique_ptr<WritableFile>, IoError> open_writable(
      const std::filesystem::path& path, WriteMode mode) = 0;

  // Whether `path` exists. Only "does not exist" (ENOENT, ENOTDIR) gives false; any other
  // failure to read its metadata (for example EACCES) is an error, never taken for absence.
  virtual Result<bool, IoError> exists(const std::filesystem::path& path) = 0;

  // The length in bytes of the file at `path`.
  virtual Result<std::uint64_t, IoError> file_size(const std::filesystem::path& path) = 0;

  // rename(2): atomically replaces `to` when it exists. Durable only after sync_directory of the
  // parent.
  virtual Result<void, IoError> rename(const std::filesystem::path& from,
                                       const std::filesystem::path& to) = 0;

  // Creates `path` and every missing parent (0777). An existing directory is success.
  virtual Result<void, IoError> create_directories(const std::filesystem::path& path) = 0;

  // Removes `path` with everything below it. A missing path is success.
  virtual Result<void, IoError> remove_all(const std::filesystem::path& path) = 0;

  // The names (not paths) of the entries of a directory, without "." and "..", in no order.
  virtual Result<std::vector<std::string>, IoError> list_directory(
      const std::filesystem::path& path) = 0;

  // Makes the directory's entries (creations, renames, removals) survive a crash. A file system
  // that cannot sync directories (EINVAL) counts as success.
  virtual Result<void, IoError> sync_directory(const std::filesystem::path& path) = 0;

  // Whether calls may come from several threads at once (an open then reads independent files
  // in parallel). False unless an implementation says so: test doubles that record or inject
  // faults by call order keep a single, deterministic sequence of calls.
  virtual bool allows_concurrent_calls() const { return false; }
};

// The POSIX implementation, shared by the whole process. It lives until the process exits.
FileSystem& default_file_system();

// The directory that holds `path`'s directory entry: its parent, or "." when it has none.
std::filesystem::path parent_directory(const std::filesystem::path& path);

// `path` with its extension (the part of the file name after the last dot, if any) replaced by
// `extension`, given without a leading dot: ("db/tessaradb.wal", "wal.trunc.tmp") gives
// "db/tessaradb.wal.trunc.tmp".
std::filesystem::path replace_extension(const std::filesystem::path& path,
                                        const std::string& extension);

// Fills a WritableFile; used by `durable_rewrite`.
using FileFiller = std::function<Result<void, IoError>(WritableFile& file)>;

// Replaces the file `target` with the bytes `fill` writes, so that a crash at any point leaves
// either the complete old file or the complete new one, never a mixture:
//   1. `temp` is created or truncated (0666) and `fill` writes into it;
//   2. `temp` is synced and closed: its bytes are on disk before its name can replace `target`;
//   3. `temp` is renamed over `target`: the atomic commit point;
//   4. the parent directory is synced, so the rename itself survives a crash.
// A failure in steps 1 to 3 is returned and `target` is untouched (`temp` may remain, and is
// overwritten by the next rewrite). A failure of step 4 is ignored: the rename has happened and
// callers act on it (the log writer must be reopened), so it must not be reported as undone.
Result<void, IoError> durable_rewrite(FileSystem& fs, const std::filesystem::path& target,
                                      const std::filesystem::path& temp, const FileFiller& fill);

// durable_rewrite with a buffer that is written in full.
Result<void, IoError> durable_rewrite(FileSystem& fs, const std::filesystem::path& target,
                                      const std::filesystem::path& temp,
                                      std::span<const std::byte> bytes);

}  // namespace tessaradb
