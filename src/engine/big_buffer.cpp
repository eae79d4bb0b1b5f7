#include "big_buffer.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace olk {

#if defined(__linux__)

void* AllocateBig(size_t n) {
  if (n < kBigBuffer) return ::operator new(n);
  void* p = nullptr;
  if (posix_memalign(&p, kBigBuffer, n) != 0) throw std::bad_alloc();
  madvise(p, n, MADV_HUGEPAGE); /* a hint: where huge pages are off, it fails and nothing changes */
  return p;
}

void FreeBig(void* p, size_t n) {
  if (n < kBigBuffer) return ::operator delete(p);
  std::free(p);
}

#else

void* AllocateBig(size_t n) { return ::operator new(n); }
void FreeBig(void* p, size_t) { ::operator delete(p); }

#endif

}  // namespace olk
