#include "storage/file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tessaradb {

std::string IoError::message() const {
  if (code == 0) return context;
  return context + ": " + std::strerror(code) + " (os error " + std::to_string(code) + ")";
}

bool IoError::is_not_found() const { return code == ENOENT || code == ENOTDIR; }

void SyncedPageRelease::after_sync(WritableFile& file, const std::filesystem::path& path,
                                   std::uint64_t synced) {
  if (path != path_ || synced < released_) {  // another file, or this one was rewritten
    path_ = path;
    released_ = 0;
  }
  if (synced < released_ + kKeptBytes + kStepBytes) return;
  const std::uint64_t end = synced - kKeptBytes;
  file.drop_cached(released_, end - released_);
  released_ = end;
}

namespace {

// The one place where errno becomes an IoError.
IoError posix_error(const std::string& operation, const std::filesystem::path& path) {
  return IoError{errno, operation + " " + path.string()};
}

class PosixReadableFile final : public ReadableFile {
 public:
  PosixReadableFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  ~PosixReadableFile() override { ::close(fd_); }

  Result<std::size_t, IoError> read_at(std::uint64_t offset, std::span<std::byte> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return posix_error("read", path_);
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

  Result<std::uint64_t, IoError> size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return posix_error("stat", path_);
    return static_cast<std::uint64_t>(st.st_size);
  }

 private:
  int fd_;
  std::filesystem::path path_;
};

class PosixWritableFile final : public WritableFile {
 public:
  PosixWritableFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Result<void, IoError> append(std::span<const std::byte> bytes) override {
    if (fd_ < 0) return closed("write");
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return posix_error("write", path_);
      }
      done += static_cast<std::size_t>(n);
    }
    return {};
  }

  Result<void, IoError> sync() override {
    if (fd_ < 0) return closed("sync");
    while (::fsync(fd_) != 0) {
      if (errno != EINTR) return posix_error("sync", path_);
    }
    return {};
  }

  Result<void, IoError> truncate(std::uint64_t length) override {
    if (fd_ < 0) return closed("truncate");
    while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      if (errno != EINTR) return posix_error("truncate", path_);
    }
    return {};
  }

  Result<std::uint64_t, IoError> size() override {
    if (fd_ < 0) return closed("stat");
    struct stat st;
    if (::fstat(fd_, &st) != 0) return posix_error("stat", path_);
    return static_cast<std::uint64_t>(st.st_size);
  }

  void drop_cached(std::uint64_t offset, std::uint64_t length) noexcept override {
    if (fd_ < 0 || length == 0) return;  // a length of 0 would mean "to the end"
    (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                          POSIX_FADV_DONTNEED);
  }

  Result<void, IoError> close() override {
    if (fd_ < 0) return closed("close");
    const int fd = std::exchange(fd_, -1);
    // The descriptor is released even when close reports an error; retrying could close another.
    if (::close(fd) != 0 && errno != EINTR) return posix_error("close", path_);
    return {};
  }

 private:
  IoError closed(const std::string& operation) const {
    return IoError{EBADF, operation + " " + path_.string()};
  }

  int fd_;
  std::filesystem::path path_;
};

int open_retrying(const std::filesystem::path& path, int flags) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

class PosixFileSystem final : public FileSystem {
 public:
  bool allows_concurrent_calls() const override { return true; }

  Result<std::unique_ptr<ReadableFile>, IoError> open_readable(
      const std::filesystem::path& path) override {
    const int fd = open_retrying(path, O_RDONLY);
    if (fd < 0) return posix_error("open", path);
    return std::unique_ptr<ReadableFile>(std::make_unique<PosixReadableFile>(fd, path));
  }

  Result<std::unique_ptr<WritableFile>, IoError> open_writable(const std::filesystem::path& path,
                                                               WriteMode mode) override {
    int flags = O_WRONLY;
    switch (mode) {
      case WriteMode::Append: flags |= O_CREAT | O_APPEND; break;
      case WriteMode::Truncate: flags |= O_CREAT | O_TRUNC; break;
      case WriteMode::Existing: flags |= O_APPEND; break;
    }
    const int fd = open_retrying(path, flags);
    if (fd < 0) return posix_error("open", path);
    return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd, path));
  }

  Result<bool, IoError> exists(const std::filesystem::path& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    return posix_error("stat", path);
  }

  Result<std::uint64_t, IoError> file_size(const std::filesystem::path& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return posix_error("stat", path);
    return static_cast<std::uint64_t>(st.st_size);
  }

  Result<void, IoError> rename(const std::filesystem::path& from,
                               const std::filesystem::path& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      return posix_error("rename " + from.string() + " to", to);
    }
    return {};
  }

  Result<void, IoError> create_directories(const std::filesystem::path& path) override {
    if (path.empty()) return {};
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return {};
      return IoError{EEXIST, "create directory " + path.string()};
    }
    if (errno != ENOENT) return posix_error("stat", path);
    const std::filesystem::path parent = path.parent_path();
    if (!parent.empty() && parent != path) {
      if (auto made = create_directories(parent); !made) return made;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
      return posix_error("create directory", path);
    }
    return {};
  }

  Result<void, IoError> remove_all(const std::filesystem::path& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return {};
      return posix_error("stat", path);
    }
    if (S_ISDIR(st.st_mode)) {
      auto names = list_directory(path);
      if (!names) return std::move(names).error();
      for (const std::string& name : *names) {
        if (auto removed = remove_all(path / name); !removed) return removed;
      }
      if (::rmdir(path.c_str()) != 0 && errno != ENOENT) return posix_error("remove", path);
      return {};
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return posix_error("remove", path);
    return {};
  }

  Result<std::vector<std::string>, IoError> list_directory(
      const std::filesystem::path& path) override {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return posix_error("list directory", path);
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) {
          IoError error = posix_error("list directory", path);
          ::closedir(dir);
          return error;
        }
        break;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
  }

  Result<void, IoError> sync_directory(const std::filesystem::path& path) override {
    const int fd = open_retrying(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return posix_error("open directory", path);
    int rc;
    while ((rc = ::fsync(fd)) != 0 && errno == EINTR) {
    }
    // A file system that cannot sync directories has nothing more to make durable.
    IoError error;
    const bool failed = rc != 0 && errno != EINVAL;
    if (failed) error = posix_error("sync directory", path);
    ::close(fd);
    if (failed) return error;
    return {};
  }
};

}  // namespace

FileSystem& default_file_system() {
  static PosixFileSystem* const fs = new PosixFileSystem();  // never destroyed: used at exit
  return *fs;
}

std::filesystem::path parent_directory(const std::filesystem::path& path) {
  std::filesystem::path parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

std::filesystem::path replace_extension(const std::filesystem::path& path,
                                        const std::string& extension) {
  std::filesystem::path result = path;
  result.replace_extension(extension);
  return result;
}

Result<void, IoError> durable_rewrite(FileSystem& fs, const std::filesystem::path& target,
                                      const std::filesystem::path& temp, const FileFiller& fill) {
  auto file = fs.open_writable(temp, WriteMode::Truncate);
  if (!file) return std::move(file).error();
  if (auto filled = fill(**file); !filled) return filled;
  // The bytes must be on disk before the new name can point at them: otherwise a crash after
  // the rename could leave `target` empty or partial.
  if (auto synced = (*file)->sync(); !synced) return synced;
  if (auto closed = (*file)->close(); !closed) return closed;
  if (auto renamed = fs.rename(temp, target); !renamed) return renamed;
  // Sync the directory too: otherwise a crash can bring back the old name. The rename has
  // happened either way, so a failure here is not reported as a failed rewrite.
  (void)fs.sync_directory(parent_directory(target));
  return {};
}

Result<void, IoError> durable_rewrite(FileSystem& fs, const std::filesystem::path& target,
                                      const std::filesystem::path& temp,
                                      std::span<const std::byte> bytes) {
  return durable_rewrite(fs, target, temp,
                         [bytes](WritableFile& file) { return file.append(bytes); });
}

}  // namespace tessaradb
