#include "storage/wal.hpp"

#include <utility>

#include "storage/frame.hpp"

namespace tessaradb {
namespace {

WalError io_error(IoError e) { return WalError{WalError::Io{std::move(e)}}; }
WalError serialization_error(SerializationError e) {
  return WalError{WalError::Serialization{std::move(e)}};
}

// Cuts the log at `length` and syncs the cut, so the next append starts on a frame boundary
// even after a crash.
Result<void, IoError> cut_log(FileSystem& fs, const std::filesystem::path& path,
                              std::uint64_t length) {
  auto file = fs.open_writable(path, WriteMode::Existing);
  if (!file) return std::move(file).error();
  if (auto cut = (*file)->truncate(length); !cut) return cut;
  if (auto synced = (*file)->sync(); !synced) return synced;
  return (*file)->close();
}

}  // namespace

std::string WalError::message() const {
  if (const auto* io = std::get_if<Io>(&kind)) return "IO error: " + io->inner.message();
  return "Serialization error: " + std::get<Serialization>(kind).inner.message();
}

WriteAheadLog::WriteAheadLog(std::filesystem::path path, FileSystem& fs,
                             std::unique_ptr<WritableFile> file, std::uint64_t entry_count)
    : path_(std::move(path)), fs_(&fs), file_(std::move(file)), entry_count_(entry_count) {}

Result<WriteAheadLog, WalError> WriteAheadLog::open(const std::filesystem::path& path,
                                                    FileSystem& fs) {
  auto existed = fs.exists(path);
  if (!existed) return io_error(std::move(existed).error());
  auto file = fs.open_writable(path, WriteMode::Append);
  if (!file) return io_error(std::move(file).error());
  if (!*existed) {
    // A new file's directory entry is durable only once its directory is synced.
    if (auto synced = fs.sync_directory(parent_directory(path)); !synced) {
      return io_error(std::move(synced).error());
    }
  }
  auto count = count_entries(path, fs);
  if (!count) return std::move(count).error();
  return WriteAheadLog(path, fs, std::move(*file), *count);
}

WalError WriteAheadLog::fail(IoError error) {
  failure_ = error;
  return io_error(std::move(error));
}

Result<CommandId, WalError> WriteAheadLog::append(const Command& command) {
  if (failure_) return io_error(*failure_);
  frame_.clear();
  if (auto framed = append_frame(command, frame_); !framed) {
    return serialization_error(std::move(framed).error());
  }
  // One write per frame: the whole frame is in the kernel before the id is handed out.
  auto written = file_->append(frame_);
  release_if_large(frame_);
  if (!written) return fail(std::move(written).error());
  return entry_count_++;
}

Result<void, WalError> WriteAheadLog::flush() {
  if (failure_) return io_error(*failure_);
  return {};
}

Result<void, WalError> WriteAheadLog::sync() {
  if (failure_) return io_error(*failure_);
  if (auto synced = file_->sync(); !synced) return fail(std::move(synced).error());
  return {};
}

Result<std::uint64_t, WalError> count_entries(const std::filesystem::path& path, FileSystem& fs) {
  auto file = fs.open_readable(path);
  if (!file) {
    if (file.error().is_not_found()) return std::uint64_t{0};
    return io_error(std::move(file).error());
  }
  auto size = (*file)->size();
  if (!size) return io_error(std::move(size).error());
  FrameReader reader(**file, *size);
  reader.set_skip_payloads(true);
  std::uint64_t count = 0;
  for (;;) {
    auto status = reader.next();
    if (!status) return io_error(std::move(status).error());
    if (*status == FrameReader::Status::End) return count;
    if (*status == FrameReader::Status::Torn) {
      // Stray bytes shorter than a length field end the count; a frame cut after its length is
      // a file that needs repair first.
      if (*size - reader.offset() < 4) return count;
      return io_error(IoError{0, "read " + path.string() + ": unexpected end of file at offset " +
                                     std::to_string(reader.offset())});
    }
    ++count;
  }
}

Result<TolerantRead, WalError> read_all_tolerant(const std::filesystem::path& path,
                                                 FileSystem& fs,
                                                 const DecodedEntryHook& on_insert) {
  TolerantRead result;
  auto file = fs.open_readable(path);
  if (!file) {
    if (file.error().is_not_found()) return result;
    return io_error(std::move(file).error());
  }
  auto size = (*file)->size();
  if (!size) return io_error(std::move(size).error());
  FrameReader reader(**file, *size);
  for (;;) {
    const std::uint64_t frame_start = reader.offset();
    auto status = reader.next();
    if (!status) return io_error(std::move(status).error());
    if (*status == FrameReader::Status::End) break;
    bool intact = *status == FrameReader::Status::Frame;
    WalCut why = WalCut::TornTail;
    if (intact) {
      const auto& frame = reader.frame();
      intact = crc32_cksum(frame.payload) == frame.stored_checksum;
      if (intact) {
        auto command = deserialize_versioned<Command>(frame.payload);
        intact = command.has_value();
        if (intact && on_insert) {
          if (auto* insert = std::get_if<InsertMemory>(&*command)) on_insert(insert->entry);
        }
        if (intact) result.entries.emplace_back(result.entries.size(), std::move(*command));
      }
      if (!frame.ends_file) why = WalCut::DamagedFrame;
    }
    if (!intact) {
      // The first bad frame ends the log, wherever it lies.
      file->reset();
      if (auto cut = cut_log(fs, path, frame_start); !cut) return io_error(std::move(cut).error());
      result.valid_length = frame_start;
      result.was_truncated = true;
      result.cut = why;
      result.discarded_bytes = *size - frame_start;
      return result;
    }
  }
  result.valid_length = reader.offset();
  return result;
}

Result<void, WalError> truncate_prefix(const std::filesystem::path& path, CommandId last_applied_id,
                                       FileSystem& fs) {
  auto present = fs.exists(path);
  if (!present) return io_error(std::move(present).error());
  if (!*present) return {};
  auto read = read_all_tolerant(path, fs);
  if (!read) return std::move(read).error();

  // Encode every kept frame first, so a record that cannot be framed fails before the rewrite
  // starts and the log stays as it was.
  std::vector<std::byte> frames;
  for (const auto& [id, command] : read->entries) {
    if (id <= last_applied_id) continue;
    if (auto framed = append_frame(command, frames); !framed) {
      return serialization_error(std::move(framed).error());
    }
  }
  const auto temp = replace_extension(path, "wal.trunc.tmp");
  if (auto rewritten = durable_rewrite(fs, path, temp, frames); !rewritten) {
    return io_error(std::move(rewritten).error());
  }
  return {};
}

}  // namespace tessaradb
