#include "storage/checkpoint.hpp"

#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tessaradb {
namespace {

CheckpointError io_error(IoError e) { return CheckpointError{CheckpointError::Io{std::move(e)}}; }
CheckpointError serialization_error(SerializationError e) {
  return CheckpointError{CheckpointError::Serialization{std::move(e)}};
}
CheckpointError unsupported_version(std::uint32_t version) {
  CheckpointError error;
  error.kind.emplace<CheckpointError::UnsupportedVersion>(CheckpointError::UnsupportedVersion{version});
  return error;
}

// A checkpoint file read piece by piece while it is decoded; the first read failure is kept.
class FileByteSource final : public ByteSource {
 public:
  FileByteSource(ReadableFile& file, std::uint64_t size) : file_(file), size_(size) {}

  std::uint64_t size() const override { return size_; }
  std::size_t read(std::uint64_t offset, std::span<std::byte> out) override {
    if (failure_) return 0;
    auto got = file_.read_at(offset, out);
    if (!got) {
      failure_ = std::move(got).error();
      return 0;
    }
    return *got;
  }
  const std::optional<IoError>& failure() const { return failure_; }

 private:
  ReadableFile& file_;
  std::uint64_t size_;
  std::optional<IoError> failure_;
};

// The decoder holds this much of the file at a time, not the whole checkpoint (which is about as
// large as the state it holds).
constexpr std::size_t kCheckpointReadWindow = std::size_t{4} << 20;

}  // namespace

std::string CheckpointError::message() const {
  if (const auto* io = std::get_if<Io>(&kind)) return "IO error: " + io->inner.message();
  if (const auto* s = std::get_if<Serialization>(&kind)) {
    return "Serialization error: " + s->inner.message();
  }
  return "Unsupported checkpoint version: " +
         std::to_string(std::get<UnsupportedVersion>(kind).version);
}

std::filesystem::path checkpoint_path_for(const std::filesystem::path& wal_path) {
  return replace_extension(wal_path, "ckpt");
}

Result<void, CheckpointError> save_checkpoint(const std::filesystem::path& path,
                                              const StateMachine& state,
                                              std::uint64_t last_applied_id, FileSystem& fs) {
  if (path.has_parent_path()) {
    if (auto made = fs.create_directories(path.parent_path()); !made) {
      return io_error(std::move(made).error());
    }
  }
  const std::vector<std::byte> bytes = encode_checkpoint(last_applied_id, state);
  const auto temp = replace_extension(path, "ckpt.tmp");
  if (auto written = durable_rewrite(fs, path, temp, bytes); !written) {
    return io_error(std::move(written).error());
  }
  return {};
}

Result<std::optional<CheckpointData>, CheckpointError> load_checkpoint(
    const std::filesystem::path& path, FileSystem& fs, const DecodedEntryHook& on_entry) {
  auto file = fs.open_readable(path);
  if (!file) {
    if (file.error().is_not_found()) return std::optional<CheckpointData>{};
    return io_error(std::move(file).error());
  }
  auto size = (*file)->size();
  if (!size) return io_error(std::move(size).error());
  FileByteSource source(**file, *size);
  auto data = decode_checkpoint(source, kCheckpointReadWindow, on_entry);
  if (source.failure()) return io_error(*source.failure());
  // A file shorter than its header fails like any other input that ends early.
  if (!data) return serialization_error(std::move(data).error());
  if (data->version != kCheckpointVersion) {
    return unsupported_version(data->version);
  }
  return std::optional<CheckpointData>(std::move(*data));
}

}  // namespace tessaradb
