#include "index/vector_arena.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <new>

#include <sys/mman.h>

namespace tessaradb::detail {

namespace {

constexpr std::size_t kBlockAlign = 64;
// Blocks of at least this many bytes are mapped on their own and aligned to it: freeing one
// returns its pages to the system at once, and where the system backs all memory with
// transparent huge pages a block fills whole ones. We do not ask for huge pages ourselves: the
// first write into one has to clear 2 MiB at once, which on virtual machines that hand unused
// memory back to their host cost milliseconds per page, several times what the same rows cost
// on 4 KiB pages, for a scan only a few percent faster.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Blocks grow geometrically up to about this many bytes of vector data, so that a small
// namespace does not reserve a large block while a large one has few, scan-friendly blocks.
constexpr std::size_t kMaxBlockBytes = 2 * kHugePage;
constexpr std::size_t kMaxBlockRows = 8192;
// Dead rows are reclaimed once there are at least this many and they outnumber the live ones,
// so a rebuild's cost is paid for by the removals that made it necessary.
constexpr std::size_t kMinDeadRowsForRebuild = 32;

std::size_t round_up_to_tile(std::size_t rows) {
  return (rows + kTileRows - 1) / kTileRows * kTileRows;
}

// Capacity of the next block of an arena that already holds `rows` rows (live or dead).
std::size_t next_block_capacity(std::size_t dimension, std::size_t rows) {
  const std::size_t row_bytes = std::max<std::size_t>(dimension, 1) * sizeof(float);
  const std::size_t max_rows = std::clamp<std::size_t>(
      kMaxBlockBytes / row_bytes / kTileRows * kTileRows, kTileRows, kMaxBlockRows);
  const std::size_t wanted = std::bit_ceil(std::max<std::size_t>(rows, kTileRows));
  return round_up_to_tile(std::min(wanted, max_rows));
}

std::size_t block_data_bytes(std::size_t dimension, std::size_t capacity) {
  return std::max<std::size_t>(dimension * capacity * sizeof(float), 1);
}

bool is_mapped(std::size_t bytes) { return bytes >= kHugePage; }

std::size_t mapped_length(std::size_t bytes) {
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

float* allocate_block_data(std::size_t bytes) {
  if (is_mapped(bytes)) {
    // Map one huge page more than needed and unmap the unaligned head and tail.
    const std::size_t length = mapped_length(bytes);
    void* mapped = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) ::munmap(mapped, aligned - start);
    const std::size_t tail = start + length + kHugePage - (aligned + length);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    return reinterpret_cast<float*>(aligned);
  }
  return static_cast<float*>(::operator new (bytes, std::align_val_t{kBlockAlign}));
}

void free_block_data(float* data, std::size_t bytes) noexcept {
  if (is_mapped(bytes)) {
    ::munmap(data, mapped_length(bytes));
  } else {
    ::operator delete (data, std::align_val_t{kBlockAlign});
  }
}

}  // namespace

float squared_norm(std::span<const float> v) noexcept {
  float sum = 0.0f;
  for (const float x : v) sum += x * x;
  return sum;
}

VectorBlock::VectorBlock(std::size_t dimension, std::size_t capacity)
    : dimension_(dimension),
      capacity_(capacity),
      ids_(new std::uint64_t[capacity]),
      norms_(new float[capacity]) {
  assert(capacity % kTileRows == 0 && capacity > 0);
  data_ = allocate_block_data(block_data_bytes(dimension, capacity));
}

VectorBlock::~VectorBlock() { free_block_data(data_, block_data_bytes(dimension_, capacity_)); }

bool VectorBlock::try_claim(std::size_t row) noexcept {
  if (row >= capacity_) return false;
  auto expected = static_cast<std::uint32_t>(row);
  return claimed_.compare_exchange_strong(expected, expected + 1, std::memory_order_relaxed);
}

void VectorBlock::write_row(std::size_t row, MemoryId id, std::span<const float> vector,
                            float norm) {
  assert(row < capacity_ && vector.size() == dimension_);
  float* base = data_ + (row / kTileRows) * dimension_ * kTileRows + row % kTileRows;
  for (std::size_t i = 0; i < dimension_; ++i) base[i * kTileRows] = vector[i];
  ids_[row] = id.value;
  norms_[row] = norm;
}

std::pair<std::uint64_t, std::uint32_t> VectorArena::append(MemoryId id,
                                                            std::span<const float> vector,
                                                            float norm) {
  ++live;
  // Another copy of this arena may already have appended into the shared tail block past our
  // count; try_claim refuses then and the row goes to a new block of our own.
  if (tail.block && tail.block->try_claim(tail.rows)) {
    const std::uint32_t row = tail.rows;
    tail.block->write_row(row, id, vector, norm);
    tail.rows = row + 1;
    return {next_block_key - 1, row};
  }
  const std::size_t capacity = next_block_capacity(dimension, live + dead);
  auto block = std::make_shared<VectorBlock>(dimension, capacity);
  const bool claimed = block->try_claim(0);
  assert(claimed);
  (void)claimed;
  block->write_row(0, id, vector, norm);
  if (tail.block) sealed.insert_or_assign(next_block_key - 1, std::move(tail));
  tail = BlockRef{std::move(block), 1, nullptr};
  return {next_block_key++, 0};
}

void VectorArena::mark_dead(std::uint64_t block_key, std::uint32_t row) {
  BlockRef* ref = is_tail(block_key) ? &tail : sealed.find_mut(block_key);
  assert(ref != nullptr && row < ref->rows && !ref->is_dead(row));
  auto bits = ref->dead ? std::make_shared<std::vector<std::uint64_t>>(*ref->dead)
                        : std::make_shared<std::vector<std::uint64_t>>(
                              (ref->block->capacity() + 63) / 64, 0);
  (*bits)[row / 64] |= std::uint64_t{1} << (row % 64);
  ref->dead = std::move(bits);
  --live;
  ++dead;
}

bool VectorArena::wants_rebuild() const noexcept {
  return dead > 0 && (live == 0 || (dead >= kMinDeadRowsForRebuild && dead > live));
}

VectorArena VectorArena::rebuilt(
    std::vector<std::pair<MemoryId, std::pair<std::uint64_t, std::uint32_t>>>& moved) const {
  VectorArena fresh;
  fresh.name = name;
  fresh.dimension = dimension;
  std::vector<float> row_values(dimension);
  for_each_block([&](const BlockRef& ref) {
    for (std::uint32_t row = 0; row < ref.rows; ++row) {
      if (ref.is_dead(row)) continue;
      for (std::size_t i = 0; i < dimension; ++i) row_values[i] = ref.block->element(row, i);
      const MemoryId id = ref.block->id(row);
      moved.emplace_back(id, fresh.append(id, row_values, ref.block->squared_norm(row)));
    }
  });
  return fresh;
}

}  // namespace tessaradb::detail
