/*
 * Where the image parsers (pe_image.h, elf_image.h) read from: memory in
 * the builder, the old file through a cache in the applier.
 */
#ifndef OLKENG_BYTE_SOURCE_H
#define OLKENG_BYTE_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace olk {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  /* Read(): copies the n bytes at `offset` into buf; false when they are
   * not all in the source or reading fails. */
  virtual bool Read(uint64_t offset, uint8_t* buf, size_t n) = 0;
};

/* A byte span in memory (not copied: it must outlive the source). */
class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t offset, uint8_t* buf, size_t n) override {
    if (offset > size_ || n > size_ - offset) return false;
    if (n != 0) std::memcpy(buf, data_ + offset, n);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

/* ReadRange(): Read(), with the range checked against Size() here too, so
 * that no parser relies on a source's own checks. */
inline bool ReadRange(ByteSource& src, uint64_t offset, uint8_t* buf, size_t n) {
  if (offset > src.Size() || n > src.Size() - offset) return false;
  return src.Read(offset, buf, n);
}

}  // namespace olk

#endif
