#pragma once

// Per-thread caches of small freed blocks, for the nodes of the persistent maps.
//
// Every write to the database copies a path of map nodes and frees the path the previous
// snapshot held: a burst of a dozen or more blocks of one size, allocated and freed together.
// The C library's own per-thread cache keeps only a few blocks of each size, so the rest of each
// burst goes through its general bins, whose cost grows with the size and fragmentation of the
// heap: an insert into a large database got slower than one into a small one. These caches keep
// enough blocks of each size for a whole burst.
//
// Blocks come from ::operator new and go back to ::operator delete, so a block may be freed on
// another thread than the one that allocated it (a reader dropping the last snapshot that held
// it): it then joins that thread's cache. Each thread keeps at most kMaxCachedBytesPerSize bytes
// of each size and hands the rest back; its cache is emptied when the thread ends.
//
// Thread-safety: the functions may be called from any thread; each thread uses its own cache.
//
// Builds with AddressSanitizer cache nothing, so that it still reports a use after free.

#include <cstddef>
#include <new>

namespace tessaradb::detail {

inline constexpr std::size_t kBlockCacheGranule = 16;
inline constexpr std::size_t kLargestCachedBlock = 1024;  // larger blocks skip the cache
inline constexpr std::size_t kMaxCachedBytesPerSize = 32 * 1024;
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kBlockCacheEnabled = false;
#else
inline constexpr bool kBlockCacheEnabled = true;
#endif

// A block of at least `bytes` bytes, aligned for any object of up to 16 bytes' alignment.
// Throws std::bad_alloc like ::operator new.
void* cached_allocate(std::size_t bytes);
// Frees a block cached_allocate(bytes) returned; `bytes` must be the same.
void cached_deallocate(void* block, std::size_t bytes) noexcept;

// The standard allocator interface over the caches, for containers and std::allocate_shared.
template <typename T>
struct CachedAllocator {
  static_assert(alignof(T) <= kBlockCacheGranule);
  using value_type = T;

  CachedAllocator() noexcept = default;
  template <typename U>
  CachedAllocator(const CachedAllocator<U>&) noexcept {}  // NOLINT: rebinding converts implicitly

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(cached_allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { cached_deallocate(p, n * sizeof(T)); }

  template <typename U>
  bool operator==(const CachedAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace tessaradb::detail
