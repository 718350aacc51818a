#pragma once

// The storage behind VectorIndex (internal). One VectorArena per namespace holds its rows in
// fixed-capacity blocks that are allocated once and only ever appended to, so any number of
// index copies can share them: a copy records how many rows of each block it sees and never
// reads past that count, while the writer appends further rows into the same block without
// moving the old ones.
//
// Inside a block, rows are stored interleaved in tiles of kTileRows rows: element i of the row
// in lane l of tile t sits at data[(t * dimension + i) * kTileRows + l]. A SIMD register then
// holds element i of kTileRows different vectors, and each lane accumulates its own sum in
// element order, which gives bit for bit the scalar element-order result.
//
// Liveness. Deleting or replacing a vector marks its row dead in a small copy-on-write bitmap
// of its block (a replacement appends a new row); dead rows are skipped by scans and reclaimed
// by rebuilding the arena once they outnumber the live rows.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/memory_entry.hpp"
#include "core/persistent_map.hpp"

namespace tessaradb::detail {

inline constexpr std::size_t kTileRows = 8;

class VectorBlock {
 public:
  // `capacity` is a multiple of kTileRows.
  VectorBlock(std::size_t dimension, std::size_t capacity);
  VectorBlock(const VectorBlock&) = delete;
  VectorBlock& operator=(const VectorBlock&) = delete;

  std::size_t dimension() const noexcept { return dimension_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Claims row `row` for writing when exactly `row` rows were claimed so far (by any index
  // copy). Fails when the block is full or another copy already appended past `row`: the
  // caller then starts a new block. This keeps two diverged copies from writing one row.
  bool try_claim(std::size_t row) noexcept;

  // Writes a claimed row. Readers must not look at the row until the writer publishes the
  // index value that counts it (the store's snapshot pointer orders that).
  void write_row(std::size_t row, MemoryId id, std::span<const float> vector, float squared_norm);

  MemoryId id(std::size_t row) const noexcept { return MemoryId{ids_[row]}; }
  float squared_norm(std::size_t row) const noexcept { return norms_[row]; }
  float element(std::size_t row, std::size_t i) const noexcept {
    return data_[((row / kTileRows) * dimension_ + i) * kTileRows + row % kTileRows];
  }
  // The interleaved floats of tile `t` (dimension * kTileRows of them).
  const float* tile(std::size_t t) const noexcept { return data_ + t * dimension_ * kTileRows; }

  ~VectorBlock();

 private:
  std::size_t dimension_;
  std::size_t capacity_;
  std::atomic<std::uint32_t> claimed_{0};
  float* data_;  // 64-byte aligned, owned
  std::unique_ptr<std::uint64_t[]> ids_;
  std::unique_ptr<float[]> norms_;
};

// One block as one index value sees it.
struct BlockRef {
  std::shared_ptr<VectorBlock> block;
  std::uint32_t rows = 0;                                  // rows this value may read
  std::shared_ptr<const std::vector<std::uint64_t>> dead;  // bit per row; null: none dead

  bool is_dead(std::size_t row) const noexcept {
    return dead && (((*dead)[row / 64] >> (row % 64)) & 1u);
  }
};

struct RowLocation {
  std::uint64_t block_key = 0;
  std::uint32_t row = 0;
  std::uint32_t namespace_number = 0;
};

// Namespaces whose names share one hash.
using NamespaceSlot = std::vector<std::pair<std::string, std::uint32_t>>;

struct VectorArena {
  std::string name;
  std::size_t dimension = 0;
  // Blocks are keyed in append order. The last block, the one appends go to, is held by value
  // in `tail` rather than in the map: counting a new row then copies no map node, where a
  // bottom node of the map holds up to 64 references whose counts a copy would touch.
  PersistentMap<BlockRef> sealed;
  BlockRef tail;                      // key next_block_key - 1; no block before the first append
  std::uint64_t next_block_key = 0;
  std::size_t live = 0;
  std::size_t dead = 0;

  bool is_tail(std::uint64_t key) const noexcept { return tail.block && key + 1 == next_block_key; }
  const BlockRef* find_block(std::uint64_t key) const {
    return is_tail(key) ? &tail : sealed.find(key);
  }
  // Calls f(block) for every block in key order.
  template <typename F>
  void for_each_block(F&& f) const {
    sealed.for_each([&](std::uint64_t, const BlockRef& ref) { f(ref); });
    if (tail.block) f(tail);
  }

  // Appends a row and returns where it went. Cost O(dimension + log blocks).
  std::pair<std::uint64_t, std::uint32_t> append(MemoryId id, std::span<const float> vector,
                                                 float squared_norm);
  // Marks a row dead (copying only that block's bitmap).
  void mark_dead(std::uint64_t block_key, std::uint32_t row);
  // Should the dead rows be reclaimed now?
  bool wants_rebuild() const noexcept;
  // A fresh arena with only the live rows, in their order; `moved` receives (id, new block key,
  // new row) for every row.
  VectorArena rebuilt(
      std::vector<std::pair<MemoryId, std::pair<std::uint64_t, std::uint32_t>>>& moved) const;
};

// Squared norm of `v`: sum of v[i]*v[i] in element order, single precision.
float squared_norm(std::span<const float> v) noexcept;

}  // namespace tessaradb::detail
