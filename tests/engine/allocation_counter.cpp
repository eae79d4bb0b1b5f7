#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Every form of operator new and delete is replaced, not only the plain
// one: AddressSanitizer supplies the others itself, and memory from its
// forms reaching ours (or the other way round) is reported as a mismatch.
namespace {
std::atomic<uint64_t> g_allocated{0};

void* Allocate(size_t n) {
  g_allocated += n;
  return std::malloc(n ? n : 1);
}
}  // namespace

void* operator new(size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace olktest {
uint64_t BytesAllocated() { return g_allocated; }
}  // namespace olktest
