#include "big_buffer.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>

#include <map>
#include <mutex>
#endif

namespace olk {

#if defined(__linux__)

namespace {

/* Freed blocks are kept for the next file, a few at most: the kernel
 * clears every fresh page, and on the files of one build that was a fifth
 * of the builder's time. Blocks are whole huge pages, so that one file's
 * buffers fit the next one's. */
constexpr size_t kKeptBlocks = 4;

class BlockCache {
 public:
  ~BlockCache() {
    for (const auto& kv : kept_) std::free(kv.second);
  }
  void* Take(size_t n) {
    const size_t size = (n + kBigBuffer - 1) / kBigBuffer * kBigBuffer;
    std::lock_guard<std::mutex> lock(mutex_);
    /* The smallest kept block that holds n bytes, unless it is more than
     * twice what is asked for. */
    auto it = kept_.lower_bound(size);
    void* p = nullptr;
    size_t got = size;
    if (it != kept_.end() && it->first <= 2 * size) {
      p = it->second;
      got = it->first;
      kept_.erase(it);
    } else {
      if (posix_memalign(&p, kBigBuffer, size) != 0) throw std::bad_alloc();
      madvise(p, size, MADV_HUGEPAGE); /* a hint: where huge pages are off, it fails and nothing changes */
    }
    live_[p] = got;
    return p;
  }
  void Give(void* p) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(p);
    const size_t size = it->second;
    live_.erase(it);
    if (kept_.size() < kKeptBlocks) {
      kept_.emplace(size, p);
    } else {
      std::free(p);
    }
  }

 private:
  std::mutex mutex_;
  std::multimap<size_t, void*> kept_; /* by size */
  std::map<void*, size_t> live_;      /* handed out: their sizes */
};

BlockCache& Cache() {
  static BlockCache cache;
  return cache;
}

}  // namespace

void* AllocateBig(size_t n) {
  if (n < kBigBuffer) return ::operator new(n);
  return Cache().Take(n);
}

void FreeBig(void* p, size_t n) {
  if (n < kBigBuffer) return ::operator delete(p);
  Cache().Give(p);
}

#else

void* AllocateBig(size_t n) { return ::operator new(n); }
void FreeBig(void* p, size_t) { ::operator delete(p); }

#endif

}  // namespace olk
