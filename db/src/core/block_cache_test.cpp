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

// A write's burst of node copies must come back from the cache whole, and sizes that round to
// the same granule share blocks.
TEST(BlockCache, AFreedBurstIsReusedWhole) {
  if (!kBlockCacheEnabled) GTEST_SKIP() << "this build caches no blocks";
  auto first = allocate_many(64, 72);
  free_all(first, 72);
  auto second = allocate_many(64, 80);
  std::sort(first.begin(), first.end());
  std::sort(second.begin(), second.end());
  EXPECT_EQ(first, second);
  free_all(second, 80);

  auto large = allocate_many(4, kLargestCachedBlock + 1);  // not cached, but usable
  free_all(large, kLargestCachedBlock + 1);
}

// Readers free nodes a writer allocated; the blocks join the reader's cache and are released
// when its thread ends (a leak checker sees any that are not).
TEST(BlockCache, BlocksMayBeFreedAndReusedOnAnotherThread) {
  auto blocks = allocate_many(200, 48);
  std::thread reader([&] {
    free_all(blocks, 48);
    auto reused = allocate_many(100, 48);
    free_all(reused, 48);
  });
  reader.join();
  auto again = allocate_many(200, 48);
  free_all(again, 48);
}

}  // namespace
}  // namespace tessaradb::detail
