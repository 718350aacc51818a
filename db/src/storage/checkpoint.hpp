#pragma once

// Checkpoints: one file (`tessaradb.ckpt`) holding the whole state and the engine's
// last_applied_id, as a bare CheckpointData (storage/serialization.hpp): u32 version (1),
// u64 last_applied_id, then the state. No envelope, no checksum: damage is found only as far as
// decoding finds it. A save replaces the file atomically (durable_rewrite), so a crash leaves
// either the old or the new checkpoint.
//
// Plain functions over a path; the store serialises saves under its writer lock.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "core/result.hpp"
#include "core/state_machine.hpp"
#include "storage/file.hpp"
#include "storage/serialization.hpp"

namespace tessaradb {

struct CheckpointError {
  struct Io {
    IoError inner;
  };
  struct Serialization {
    SerializationError inner;
  };
  struct UnsupportedVersion {
    std::uint32_t version;
  };
  std::variant<Io, Serialization, UnsupportedVersion> kind;

  // "IO error: {}", "Serialization error: {}" or "Unsupported checkpoint version: {}".
  std::string message() const;
};

// The checkpoint beside a log: the log path with its extension replaced by "ckpt".
std::filesystem::path checkpoint_path_for(const std::filesystem::path& wal_path);

// Writes a checkpoint of `state` with `last_applied_id` to `path`: creates the parent directories
// (0777), encodes into one exact-size buffer, then durable_rewrite through the temporary file
// "<path minus extension>.ckpt.tmp" (created or truncated, so a stale one is reused). On failure
// the previous checkpoint is untouched. `state` is read, not copied: its structural sharing makes
// it an immutable snapshot for the caller that holds it.
Result<void, CheckpointError> save_checkpoint(const std::filesystem::path& path,
                                              const StateMachine& state,
                                              std::uint64_t last_applied_id,
                                              FileSystem& fs = default_file_system());

// Reads the checkpoint at `path`. A missing file gives none (not an error); any other failure to
// reach it is an I/O error, never taken for absence. A file shorter than 12 bytes or whose state
// does not decode is a serialization error; a decoded body whose version is not 1 is
// UnsupportedVersion (the body is decoded first). Bytes after the state are ignored. `on_entry`,
// when set, sees each decoded memory before it enters the state (see DecodedEntryHook).
Result<std::optional<CheckpointData>, CheckpointError> load_checkpoint(
    const std::filesystem::path& path, FileSystem& fs = default_file_system(),
    const DecodedEntryHook& on_entry = {});

}  // namespace tessaradb
