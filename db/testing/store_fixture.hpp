#pragma once

// Helpers for the store's tests: a temporary database directory, store options over it, memory
// builders and a file poller. Header-only: only binaries that link the store include it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/memory_entry.hpp"
#include "store/store.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb::testing {

// A memory of `dimension` floats whose vector points mostly along axis `id % dimension`.
inline MemoryEntry store_memory(std::uint64_t id, std::size_t dimension = 4,
                                std::string ns = "default", std::string content = "") {
  MemoryEntry entry;
  entry.id = MemoryId{id};
  entry.namespace_ = std::move(ns);
  entry.content = content.empty() ? "memory " + std::to_string(id) : std::move(content);
  std::vector<float> v(dimension, 0.05f);
  v[id % dimension] = 1.0f;
  v[(id / dimension) % dimension] += 0.25f * static_cast<float>(id % 7);
  entry.embedding = std::move(v);
  entry.created_at = 1000 + id;
  return entry;
}

// A query embedder that returns one fixed vector (the facade's own).
using tessaradb::FixedEmbedder;

class StoreFixture : public ::testing::Test {
 protected:
  std::filesystem::path wal_path() const { return dir_.path() / "tessaradb.wal"; }
  std::filesystem::path segments_dir() const { return dir_.path() / "segments"; }
  std::filesystem::path checkpoint_path() const { return dir_.path() / "tessaradb.ckpt"; }
  std::filesystem::path hnsw_path() const { return dir_.path() / "tessaradb.hnsw"; }

  StoreOptions options(SyncPolicy sync = {SyncPolicy::Strict{}},
                       IndexMode mode = {IndexMode::Exact{}}) const {
    StoreOptions o;
    o.wal_path = wal_path();
    o.segments_dir = segments_dir();
    o.dimension = 4;
    o.sync = sync;
    o.index_mode = mode;
    return o;
  }

  // Opens like the facade: recover when the log or the checkpoint exists.
  static std::unique_ptr<TessaraDBStore> open_store(const StoreOptions& o,
                                                    FileSystem& fs = default_file_system()) {
    const bool exists = std::filesystem::exists(o.wal_path) ||
                        std::filesystem::exists(checkpoint_path_for(o.wal_path));
    auto store = exists ? TessaraDBStore::recover_with_policies(o, fs)
                        : TessaraDBStore::new_with_policies(o, fs);
    EXPECT_TRUE(store) << (store ? "" : store.error().message());
    return store ? std::move(*store) : nullptr;
  }

  std::uint64_t file_size(const std::filesystem::path& p) const {
    std::error_code ec;
    const auto n = std::filesystem::file_size(p, ec);
    return ec ? 0 : n;
  }

  TempDir dir_;
};

// Polls `condition` every millisecond until it holds or `limit` passes; returns whether it held.
// Used to wait for background work without asserting how long it takes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tessaradb::testing
