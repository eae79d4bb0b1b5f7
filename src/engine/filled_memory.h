/*
 * Memory that is filled whole soon after it is taken: a windowed-LZ
 * segment's window, a decoder's dictionary that its stream fills (each
 * segment's, or a stream larger than its dictionary), a segment encoder's
 * match finder, and an offset set's numbers.
 *
 * Every fresh 4 KiB page costs a fault when first written, 10 us each on
 * some virtual machines: a far-apart apply spent a fifth of its time on
 * them. From 2 MiB on, this memory is aligned to a huge page and, where
 * the system offers them (Linux with transparent huge pages), backed by
 * huge pages as far as whole ones fit; nothing is rounded up, so what it
 * holds stays what was asked. Memory that may stay partly unwritten (a
 * stream smaller than its dictionary) must not come from here: a huge
 * page holds 2 MiB as soon as one byte of it is written.
 *
 * The builder's buffers (big_buffer.h) are rounded up to whole huge pages
 * and kept for the next file; the applier's memory must stay small, so
 * nothing here is rounded up or kept.
 */
#ifndef OLKENG_FILLED_MEMORY_H
#define OLKENG_FILLED_MEMORY_H

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace olk {

/* AllocateFilled(), FreeFilled(): `n` bytes, or nullptr when memory runs
 * out. */
void* AllocateFilled(size_t n);
void FreeFilled(void* p);

struct FreeFilledDeleter {
  void operator()(uint8_t* p) const { FreeFilled(p); }
};

/* FilledAllocator: a container's memory from AllocateFilled(), for one
 * that is filled whole as soon as it is sized (assign(n, value)). */
template <typename T>
struct FilledAllocator {
  using value_type = T;
  FilledAllocator() = default;
  template <typename U>
  FilledAllocator(const FilledAllocator<U>&) {}
  T* allocate(size_t n) {
    void* p = n > ~size_t(0) / sizeof(T) ? nullptr : AllocateFilled(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { FreeFilled(p); }
  template <typename U>
  bool operator==(const FilledAllocator<U>&) const { return true; }
  template <typename U>
  bool operator!=(const FilledAllocator<U>&) const { return false; }
};

/* liblzma's memory from AllocateFilled(), for a decoder whose stream
 * fills its dictionary whole. */
extern const lzma_allocator kLzmaFilledMemory;

}  // namespace olk

#endif
