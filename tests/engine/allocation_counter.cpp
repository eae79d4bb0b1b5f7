#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// The array and nothrow forms of the standard library call this one.
namespace {
std::atomic<uint64_t> g_allocated{0};
}  // namespace

void* operator new(size_t n) {
  g_allocated += n;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace olktest {
uint64_t BytesAllocated() { return g_allocated; }
}  // namespace olktest
