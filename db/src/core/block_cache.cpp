#include "core/block_cache.hpp"

#include <array>

namespace tessaradb::detail {

namespace {

constexpr std::size_t kSizes = kLargestCachedBlock / kBlockCacheGranule;

struct FreeBlock {
  FreeBlock* next;
};

struct FreeList {
  FreeBlock* head = nullptr;
  std::size_t count = 0;
};

std::size_t size_index(std::size_t bytes) {
  return (bytes + kBlockCacheGranule - 1) / kBlockCacheGranule - 1;
}

std::size_t rounded(std::size_t bytes) {
  return (size_index(bytes) + 1) * kBlockCacheGranule;
}

// Set once this thread's cache is destroyed; blocks freed later on the thread (by destructors
// of other thread-local or static objects) go straight back. Trivially destructible, so it stays
// readable until the thread is gone.
thread_local bool cache_destroyed = false;

struct ThreadCache {
  std::array<FreeList, kSizes> lists{};

  ~ThreadCache() {
    for (FreeList& list : lists) {
      while (list.head != nullptr) {
        FreeBlock* block = list.head;
        list.head = block->next;
        ::operator delete(block);
      }
    }
    cache_destroyed = true;
  }
};

ThreadCache& thread_cache() {
  thread_local ThreadCache cache;
  return cache;
}

}  // namespace

void* cached_allocate(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (!kBlockCacheEnabled || bytes > kLargestCachedBlock || cache_destroyed) {
    // Rounded all the same: freed on a thread whose cache is alive, the block joins the cache
    // of its rounded size.
    return ::operator new(bytes > kLargestCachedBlock ? bytes : rounded(bytes));
  }
  FreeList& list = thread_cache().lists[size_index(bytes)];
  if (list.head == nullptr) return ::operator new(rounded(bytes));
  FreeBlock* block = list.head;
  list.head = block->next;
  --list.count;
  return block;
}

void cached_deallocate(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes == 0) bytes = 1;
  if (!kBlockCacheEnabled || bytes > kLargestCachedBlock || cache_destroyed) {
    ::operator delete(block);
    return;
  }
  FreeList& list = thread_cache().lists[size_index(bytes)];
  if (list.count * rounded(bytes) >= kMaxCachedBytesPerSize) {
    ::operator delete(block);
    return;
  }
  auto* free_block = static_cast<FreeBlock*>(block);
  free_block->next = list.head;
  list.head = free_block;
  ++list.count;
}

}  // namespace tessaradb::detail
