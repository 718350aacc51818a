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
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/file.hpp"

namespace tessaradb::testing {

class FaultInjectingFileSystem final : public FileSystem {
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
  std::optional<IoError> enter(const std::string& operation, const std::filesystem::path& path) {
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
    return std::unique_ptr<ReadableFile>(std::make_unique<Readable>(*this, path, std::move(*file)));
  }

  Result<std::unique_ptr<WritableFile>, IoError> open_writable(const std::filesystem::path& path,
                                                               WriteMode mode) override {
    if (auto e = enter("open_writable", path)) return *e;
    auto file = base_.open_writable(path, mode);
    if (!file) return std::move(file).error();
    return std::unique_ptr<WritableFile>(std::make_unique<Writable>(*this, path, std::move(*file)));
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

  class Readable final : public ReadableFile {
   public:
    Readable(FaultInjectingFileSystem& fs, std::filesystem::path path,
             std::unique_ptr<ReadableFile> inner)
        : fs_(fs), path_(std::move(path)), inner_(std::move(inner)) {}
    Result<std::size_t, IoError> read_at(std::uint64_t offset, std::span<std::byte> out) override {
      if (auto e = fs_.enter("read", path_)) return *e;
      return inner_->read_at(offset, out);
    }
    Result<std::uint64_t, IoError> size() override { return inner_->size(); }

   private:
    FaultInjectingFileSystem& fs_;
    std::filesystem::path path_;
    std::unique_ptr<ReadableFile> inner_;
  };

  class Writable final : public WritableFile {
   public:
    Writable(FaultInjectingFileSystem& fs, std::filesystem::path path,
             std::unique_ptr<WritableFile> inner)
        : fs_(fs), path_(std::move(path)), inner_(std::move(inner)) {}
    Result<void, IoError> append(std::span<const std::byte> bytes) override {
      if (auto e = fs_.enter("append", path_)) return *e;
      return inner_->append(bytes);
    }
    Result<void, IoError> sync() override {
      if (auto e = fs_.enter("sync", path_)) return *e;
      return inner_->sync();
    }
    Result<void, IoError> truncate(std::uint64_t length) override {
      if (auto e = fs_.enter("truncate", path_)) return *e;
      return inner_->truncate(length);
    }
    Result<std::uint64_t, IoError> size() override { return inner_->size(); }
    Result<void, IoError> close() override {
      if (auto e = fs_.enter("close", path_)) return *e;
      return inner_->close();
    }

   private:
    FaultInjectingFileSystem& fs_;
    std::filesystem::path path_;
    std::unique_ptr<WritableFile> inner_;
  };

  FileSystem& base_;
  mutable std::mutex mu_;
  std::map<std::string, Fault> faults_;  // guarded by mu_
  std::vector<std::string> log_;         // guarded by mu_
};

}  // namespace tessaradb::testing
