#include "storage/stale_temporaries.hpp"

#include <system_error>

#include "storage/checkpoint.hpp"

namespace tessaradb {

std::vector<std::filesystem::path> rewrite_temporary_paths(const std::filesystem::path& wal_path) {
  const auto checkpoint = checkpoint_path_for(wal_path);
  // The same derivations as the writers: save_checkpoint, truncate_prefix and the HNSW save.
  return {replace_extension(checkpoint, "ckpt.tmp"), replace_extension(wal_path, "wal.trunc.tmp"),
          replace_extension(checkpoint, "hnsw").string() + ".tmp"};
}

void remove_stale_rewrite_temporaries(const std::filesystem::path& wal_path, FileSystem& fs) {
  for (const auto& temp : rewrite_temporary_paths(wal_path)) {
    // Only a regular file by that name is ours: a directory or a link there was made by
    // someone else, and removing it could reach beyond the database.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(temp, ec))) continue;
    (void)fs.remove_all(temp);
  }
}

}  // namespace tessaradb
