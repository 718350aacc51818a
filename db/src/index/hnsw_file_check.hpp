#pragma once

// Structural check of an HNSW index file before the library reads it (internal).
//
// The file is the library's own dense-index serialisation:
//   u32 rows, u32 bytes_per_vector, rows * bytes_per_vector vector bytes;
//   a 64-byte head: "usearch", u16 major/minor/patch, u8 metric/scalar/key/slot kinds,
//   u64 count_present, u64 count_deleted, u64 dimensions, u8 multi;
//   the graph header: u64 size, connectivity, connectivity_base, max_level, entry_slot;
//   size * i16 node levels; then every node: u64 key, i16 level, and for each level l in
//   [0, level]: u32 count, then (l == 0 ? connectivity_base : connectivity) u32 slots.
// All integers are little-endian. hnsw.cpp asserts at compile time that these sizes are the
// library's.
//
// The library trusts these bytes: a wrong count makes it allocate what the file claims, and a
// wrong link makes later searches read outside its arrays. The check refuses anything that
// could do either, so a file that passes can be loaded and searched safely (its vectors may
// still be wrong; the store compares them with its own and replaces those that differ).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tessaradb::detail {

struct HnswFileExpectation {
  std::size_t dimension = 0;  // floats per vector
  std::uint16_t version_major = 0;
  std::uint8_t metric_kind = 0;  // the library's code for cosine
  std::uint8_t scalar_kind = 0;  // ... for 32-bit floats
  std::uint8_t key_kind = 0;     // ... for u64 keys
  std::uint8_t slot_kind = 0;    // ... for u32 slots
  std::uint64_t free_key = 0;    // key that marks a removed slot
};

// Nothing when the file is sound; otherwise a short description of the first problem found.
// Cost: one pass over the bytes, plus a hash set of the keys.
std::optional<std::string> check_hnsw_file(std::span<const unsigned char> bytes,
                                           const HnswFileExpectation& expected);

}  // namespace tessaradb::detail
