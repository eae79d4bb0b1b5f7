#include "filled_memory.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace olk {

namespace {

constexpr size_t kHugePage = 2u << 20;

void* LzmaAlloc(void*, size_t count, size_t size) {
  return size != 0 && count > ~size_t(0) / size ? nullptr : AllocateFilled(count * size);
}

void LzmaFree(void*, void* p) { FreeFilled(p); }

}  // namespace

void* AllocateFilled(size_t n) {
#if defined(__linux__)
  if (n >= kHugePage) {
    void* p = nullptr;
    if (posix_memalign(&p, kHugePage, n) != 0) return nullptr;
    /* A hint: where huge pages are off, it fails and nothing changes. */
    madvise(p, n / kHugePage * kHugePage, MADV_HUGEPAGE);
    return p;
  }
#endif
  return std::malloc(n == 0 ? 1 : n);
}

void FreeFilled(void* p) { std::free(p); }

const lzma_allocator kLzmaFilledMemory = {LzmaAlloc, LzmaFree, nullptr};

}  // namespace olk
