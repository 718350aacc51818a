#include "storage/checkpoint.hpp"

#include <memory>
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
    const std::filesystem::path& path, FileSystem& fs) {
  auto file = fs.open_readable(path);
  if (!file) {
    if (file.error().is_not_found()) return std::optional<CheckpointData>{};
    return io_error(std::move(file).error());
  }
  auto size = (*file)->size();
  if (!size) return io_error(std::move(size).error());
  // Not zero-filled first: the read overwrites it, and a checkpoint is as large as the state.
  std::unique_ptr<std::byte[]> buffer(new std::byte[*size]);
  auto got = (*file)->read_at(0, std::span<std::byte>(buffer.get(), *size));
  if (!got) return io_error(std::move(got).error());
  // A file that shrank while read decodes as what was read.
  const std::span<const std::byte> bytes(buffer.get(), *got);
  if (bytes.size() < kCheckpointHeaderBytes) {
    return serialization_error(SerializationError{"unexpected end of input"});
  }
  auto data = decode_checkpoint(bytes);
  if (!data) return serialization_error(std::move(data).error());
  if (data->version != kCheckpointVersion) {
    return unsupported_version(data->version);
  }
  return std::optional<CheckpointData>(std::move(*data));
}

}  // namespace tessaradb
