#pragma once

// Leftovers of interrupted durable rewrites.
//
// Every durable rewrite of a database file (the checkpoint, the log's prefix cut, the HNSW
// graph) first writes a temporary file beside its target and renames it over the target. A
// crash before the rename leaves the temporary behind: harmless, since the next rewrite
// truncates it, but it holds up to a whole checkpoint's worth of disk until then. Opening a
// database removes these files.

#include <filesystem>
#include <vector>

#include "storage/file.hpp"

namespace tessaradb {

// The temporary files the rewrites of the database whose log is `wal_path` write, exactly:
// "<stem>.ckpt.tmp", "<stem>.wal.trunc.tmp" and "<stem>.hnsw.tmp" beside the log.
std::vector<std::filesystem::path> rewrite_temporary_paths(const std::filesystem::path& wal_path);

// Removes those of `rewrite_temporary_paths(wal_path)` that are regular files, and nothing else. Best
// effort: a file that cannot be removed is left (it is overwritten by the next rewrite), so this
// never fails an open. The caller must own the database directory: a rewrite running in another
// handle on the same directory would lose its temporary file.
void remove_stale_rewrite_temporaries(const std::filesystem::path& wal_path, FileSystem& fs);

}  // namespace tessaradb
