#pragma once

// A FileSystem for tests that records every operation and can fail a chosen one.
//
// It forwards to the POSIX file system. `fail_nth("sync", 2, EIO)` makes the second sync from now
// fail with EIO (and succeed otherwise); the failed operation does nothing. `log()` lists the
// operations in order as "<operation> <file name>", so a test can check the order of a protocol.
//
// Header-only: it needs storage/file.hpp, and only the storage tests (which link the storage
// library) include it.

#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/file.hpp"

namespace tessaradb::testing {

// The file wrappers shared by the test file systems: each operation asks the owning file
// system's gate first (which may refuse it with an error, count it or run a hook), then forwards
// to the real file and reports what happened. A gate that models the disk overrides the
// observers; a gate that only injects errors needs `enter` alone.
class FileGate {
 public:
  virtual ~FileGate() = default;
  // Held for the whole of one file operation (a gate with a lock returns it taken).
  virtual std::unique_lock<std::recursive_mutex> hold() { return {}; }
  // The error to return instead of running operation `op` on `path`, if any.
  virtual std::optional<IoError> enter(const std::string& op, const std::filesystem::path& path) = 0;
  // What a refused append or sync does beyond returning `error`. `node` is the gate's own
  // number for the file (given when the file was opened).
  virtual Result<void, IoError> refused_append(int /*node*/, WritableFile& /*file*/,
                                               std::span<const std::byte> /*bytes*/,
                                               IoError error) {
    return error;
  }
  virtual void refused_sync(int /*node*/) {}
  // False: syncs succeed without reaching the disk.
  virtual bool syncs_reach_disk() const { return true; }
  // After a successful append, sync or truncate.
  virtual void appended(int /*node*/, std::span<const std::byte> /*bytes*/) {}
  virtual void synced(int /*node*/) {}
  virtual void truncated(int /*node*/, std::uint64_t /*length*/) {}
};

class GatedReadableFile final : public ReadableFile {
 public:
  GatedReadableFile(FileGate& gate, std::filesystem::path path, std::unique_ptr<ReadableFile> inner)
      : gate_(gate), path_(std::move(path)), inner_(std::move(inner)) {}
  Result<std::size_t, IoError> read_at(std::uint64_t offset, std::span<std::byte> out) override {
    auto held = gate_.hold();
    if (auto e = gate_.enter("read", path_)) return *e;
    return inner_->read_at(offset, out);
  }
  Result<std::uint64_t, IoError> size() override { return inner_->size(); }

 private:
  FileGate& gate_;
  std::filesystem::path path_;
  std::unique_ptr<ReadableFile> inner_;
};

class GatedWritableFile final : public WritableFile {
 public:
  GatedWritableFile(FileGate& gate, std::filesystem::path path, int node,
                    std::unique_ptr<WritableFile> inner)
      : gate_(gate), path_(std::move(path)), node_(node), inner_(std::move(inner)) {}
  Result<void, IoError> append(std::span<const std::byte> bytes) override {
    auto held = gate_.hold();
    if (auto e = gate_.enter("append", path_)) return gate_.refused_append(node_, *inner_, bytes, *e);
    auto r = inner_->append(bytes);
    if (r) gate_.appended(node_, bytes);
    return r;
  }
  Result<void, IoError> sync() override {
    auto held = gate_.hold();
    if (auto e = gate_.enter("sync", path_)) {
      gate_.refused_sync(node_);
      return *e;
    }
    Result<void, IoError> r{};
    if (gate_.syncs_reach_disk()) r = inner_->sync();
    if (r) gate_.synced(node_);
    return r;
  }
  Result<void, IoError> truncate(std::uint64_t length) override {
    auto held = gate_.hold();
    if (auto e = gate_.enter("truncate", path_)) return *e;
    auto r = inner_->truncate(length);
    if (r) gate_.truncated(node_, length);
    return r;
  }
  Result<std::uint64_t, IoError> size() override { return inner_->size(); }
  Result<void, IoError> close() override {
    auto held = gate_.hold();
    if (auto e = gate_.enter("close", path_)) return *e;
    return inner_->close();
  }

 private:
  FileGate& gate_;
  std::filesystem::path path_;
  int node_;  // the gate's number for the file: follows it across renames, as an inode does
  std::unique_ptr<WritableFile> inner_;
};

class FaultInjectingFileSystem final : public FileSystem, public FileGate {
 public:
  explicit FaultInjectingFileSystem(FileSystem& base = default_file_system()) : base_(base) {}

  // The `nth` (1-based) call of `operation` from now fails with `code`.
  void fail_nth(const std::string& operation, int nth, int code) {
    std::scoped_lock lock(mu_);
    faults_[operation] = Fault{nth, code};
  }

  std::vector<std::string> log() const {
    std::scoped_lock lock(mu_);
    return log_;
  }
  void clear_log() {
    std::scoped_lock lock(mu_);
    log_.clear();
  }

  // Returns the error to inject for this call of `operation` on `path`, if any, and logs it.
  std::optional<IoError> enter(const std::string& operation,
                               const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    log_.push_back(operation + " " + path.filename().string());
    auto it = faults_.find(operation);
    if (it == faults_.end()) return std::nullopt;
    if (--it->second.countdown > 0) return std::nullopt;
    const int code = it->second.code;
    faults_.erase(it);
    return IoError{code, operation + " " + path.string()};
  }

  Result<std::unique_ptr<ReadableFile>, IoError> open_readable(
      const std::filesystem::path& path) override {
    if (auto e = enter("open_readable", path)) return *e;
    auto file = base_.open_readable(path);
    if (!file) return std::move(file).error();
    return std::unique_ptr<ReadableFile>(std::make_unique<GatedReadableFile>(*this, path, std::move(*file)));
  }

  Result<std::unique_ptr<WritableFile>, IoError> open_writable(const std::filesystem::path& path,
                                                               WriteMode mode) override {
    if (auto e = enter("open_writable", path)) return *e;
    auto file = base_.open_writable(path, mode);
    if (!file) return std::move(file).error();
    return std::unique_ptr<WritableFile>(std::make_unique<GatedWritableFile>(*this, path, -1, std::move(*file)));
  }

  Result<bool, IoError> exists(const std::filesystem::path& path) override {
    if (auto e = enter("exists", path)) return *e;
    return base_.exists(path);
  }
  Result<std::uint64_t, IoError> file_size(const std::filesystem::path& path) override {
    if (auto e = enter("file_size", path)) return *e;
    return base_.file_size(path);
  }
  Result<void, IoError> rename(const std::filesystem::path& from,
                               const std::filesystem::path& to) override {
    if (auto e = enter("rename", from)) return *e;
    return base_.rename(from, to);
  }
  Result<void, IoError> create_directories(const std::filesystem::path& path) override {
    if (auto e = enter("create_directories", path)) return *e;
    return base_.create_directories(path);
  }
  Result<void, IoError> remove_all(const std::filesystem::path& path) override {
    if (auto e = enter("remove_all", path)) return *e;
    return base_.remove_all(path);
  }
  Result<std::vector<std::string>, IoError> list_directory(
      const std::filesystem::path& path) override {
    if (auto e = enter("list_directory", path)) return *e;
    return base_.list_directory(path);
  }
  Result<void, IoError> sync_directory(const std::filesystem::path& path) override {
    if (auto e = enter("sync_directory", path)) return *e;
    return base_.sync_directory(path);
  }

 private:
  struct Fault {
    int countdown;
    int code;
  };

  FileSystem& base_;
  mutable std::mutex mu_;
  std::map<std::string, Fault> faults_;  // guarded by mu_
  std::vector<std::string> log_;         // guarded by mu_
};

}  // namespace tessaradb::testing
