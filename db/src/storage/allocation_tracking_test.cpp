// Replaces the global allocation functions of the storage test binary so that a test can measure
// the largest single allocation made while a decoder runs. Kept in its own translation unit: the
// compiler must not see these definitions inlined at the allocation sites.

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
thread_local bool g_tracking = false;
thread_local std::size_t g_largest = 0;
}  // namespace

namespace tessaradb::testing {

void start_allocation_tracking() {
  g_largest = 0;
  g_tracking = true;
}

std::size_t stop_allocation_tracking() {
  g_tracking = false;
  return g_largest;
}

}  // namespace tessaradb::testing

void* operator new(std::size_t n) {
  if (g_tracking && n > g_largest) g_largest = n;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (g_tracking && n > g_largest) g_largest = n;
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept {
  return ::operator new(n, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
