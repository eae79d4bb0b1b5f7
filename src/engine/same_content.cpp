#include "same_content.h"

#include <cstring>
#include <memory>
#include <new>

namespace olk {

Sameness CompareFiles(FileSystem& old_tree, FileSystem& new_tree, const std::string& path) {
  /* Small enough that the two buffers, which outlive the comparisons on
   * the build's own thread, add little to its peak. */
  constexpr size_t kChunk = 256u << 10;
  std::unique_ptr<File> a, b;
  if (old_tree.OpenRead(path, &a) != IoStatus::kOk || new_tree.OpenRead(path, &b) != IoStatus::kOk)
    return Sameness::kUnreadable;
  const uint64_t size = a->Size();
  if (b->Size() != size) return Sameness::kDifferent;
  /* The buffers stay with the thread for the next file: a build compares
   * hundreds of files, and fresh pages for each cost more than the reads. */
  thread_local std::unique_ptr<uint8_t[]> buffer_a, buffer_b;
  if (!buffer_a) buffer_a.reset(new (std::nothrow) uint8_t[kChunk]);
  if (!buffer_b) buffer_b.reset(new (std::nothrow) uint8_t[kChunk]);
  if (!buffer_a || !buffer_b) return Sameness::kUnreadable;
  uint8_t* const buf_a = buffer_a.get();
  uint8_t* const buf_b = buffer_b.get();
  for (uint64_t pos = 0; pos < size;) {
    const size_t want = static_cast<size_t>(size - pos < kChunk ? size - pos : kChunk);
    size_t got_a = 0, got_b = 0;
    if (a->ReadAt(pos, buf_a, want, &got_a) != IoStatus::kOk ||
        b->ReadAt(pos, buf_b, want, &got_b) != IoStatus::kOk)
      return Sameness::kUnreadable;
    if (got_a != want || got_b != want) return Sameness::kDifferent; /* shrank while we read */
    if (std::memcmp(buf_a, buf_b, want) != 0) return Sameness::kDifferent;
    pos += want;
  }
  return Sameness::kSame;
}

}  // namespace olk
