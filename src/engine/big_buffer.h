/*
 * Buffers of megabytes: whole files read into memory and the tables built
 * over them.
 *
 * Two things make such buffers slow to set up, and both are avoided here.
 * A std::vector writes zeros over new elements, which a read then
 * overwrites at once. And every fresh 4 KiB page costs a fault when it is
 * first written and, on virtual machines, often again when it is first
 * read; on a 9 MB file that was four times the time of reading and hashing
 * it. Buffers from kBigBuffer on are therefore asked to be backed by huge
 * pages where the system offers them (Linux with transparent huge pages),
 * and their elements are left uninitialised unless a value is given.
 */
#ifndef OLKENG_BIG_BUFFER_H
#define OLKENG_BIG_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace olk {

constexpr size_t kBigBuffer = 2u << 20;

/* AllocateBig(), FreeBig():
 * Memory for `n` bytes, aligned for any type, backed by huge pages where
 * possible when `n` >= kBigBuffer. Throws std::bad_alloc. FreeBig() takes
 * the same `n`. */
void* AllocateBig(size_t n);
void FreeBig(void* p, size_t n);

template <typename T>
struct BigBufferAllocator {
  typedef T value_type;
  BigBufferAllocator() = default;
  template <typename U>
  BigBufferAllocator(const BigBufferAllocator<U>&) {}
  T* allocate(size_t n) {
    if (n > ~size_t(0) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(AllocateBig(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) { FreeBig(p, n * sizeof(T)); }
  template <typename U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const BigBufferAllocator<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const BigBufferAllocator<U>&) const {
    return false;
  }
};

template <typename T>
using BigVector = std::vector<T, BigBufferAllocator<T>>;

/* A whole file's bytes. */
typedef BigVector<uint8_t> FileBytes;

}  // namespace olk

#endif
