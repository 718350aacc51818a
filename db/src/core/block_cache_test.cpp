#include "core/block_cache.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace tessaradb::detail {
namespace {

std::vector<void*> allocate_many(std::size_t count, std::size_t bytes) {
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < count; ++i) {
    blocks.push_back(cached_allocate(bytes));
    std::memset(blocks.back(), 0xAB, bytes);  // the whole size is usable
  }
  return blocks;
}

void free_all(const std::vector<void*>& blocks, std::size_t bytes) {
  for (void* block : blocks) cached_deallocate(block, bytes);
}

bool contains(const std::vector<void*>& blocks, const void* block) {
  return std::find(blocks.begin(), blocks.end(), block) != blocks.end();
}

// A write's burst of node copies must come back from the cache whole, and sizes that round to
// the same granule share blocks. The freed blocks stay in the cache: the C library does not hand
// them out meanwhile, as it would from its own cache.
TEST(BlockCache, AFreedBurstIsReusedWhole) {
  if (!kBlockCacheEnabled) GTEST_SKIP() << "this build caches no blocks";
  auto first = allocate_many(64, 72);
  free_all(first, 72);
  void* other = ::operator new(80);  // the size the C library got for each of them
  EXPECT_FALSE(contains(first, other));
  auto second = allocate_many(64, 80);
  std::sort(first.begin(), first.end());
  std::sort(second.begin(), second.end());
  EXPECT_EQ(first, second);
  free_all(second, 80);
  ::operator delete(other);
}

// Readers free nodes a writer allocated; the blocks join the reader's cache, serve its own
// allocations, and are released when its thread ends.
TEST(BlockCache, BlocksMayBeFreedAndReusedOnAnotherThread) {
  auto blocks = allocate_many(200, 48);
  std::thread reader([&] {
    free_all(blocks, 48);
    auto reused = allocate_many(100, 48);
    if (kBlockCacheEnabled) {
      for (void* block : reused) EXPECT_TRUE(contains(blocks, block));
    }
    free_all(reused, 48);
  });
  reader.join();
  auto again = allocate_many(200, 48);
  free_all(again, 48);
}

}  // namespace
}  // namespace tessaradb::detail
