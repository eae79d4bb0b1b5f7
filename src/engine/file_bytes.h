/* A byte buffer for a whole file read into memory. */
#ifndef OLKENG_FILE_BYTES_H
#define OLKENG_FILE_BYTES_H

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace olk {

/* Leaves elements that are made without a value uninitialised, so that
 * resize() before a read does not first write zeros over memory the read
 * overwrites at once (on multi-megabyte files, a tenth of the builder's
 * time). */
template <typename T>
struct NoZeroFillAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    typedef NoZeroFillAllocator<U> other;
  };
  NoZeroFillAllocator() = default;
  template <typename U>
  NoZeroFillAllocator(const NoZeroFillAllocator<U>&) {}
  template <typename U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

typedef std::vector<uint8_t, NoZeroFillAllocator<uint8_t>> FileBytes;

}  // namespace olk

#endif
