// libFuzzer target: the engine's reader of patch data and its payload
// decoders (whole-file codecs and deltas), for entries of any size.
//
// Every input is resealed first (total size and trailer hash made right),
// so that mutations get past the checksum and reach the structure checks
// and the decoders behind it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <xxhash.h>

#include "olkeng/engine.h"
#include "patch_format.h"
#include "payload.h"
#include "mem_file.h"

namespace {

using olkfuzz::MemFile;

// The old file the patch is applied to, made up on the fly so that an
// entry of any declared size can be decoded without holding it: byte i is
// i * 31 + (i >> 8).
class PatternFile : public olk::File {
 public:
  explicit PatternFile(uint64_t size) : size_(size) {}
  olk::IoStatus ReadAt(uint64_t off, void* buf, size_t n, size_t* got) override {
    *got = 0;
    if (off >= size_) return olk::IoStatus::kOk;
    *got = static_cast<size_t>(std::min<uint64_t>(n, size_ - off));
    uint8_t* b = static_cast<uint8_t*>(buf);
    for (size_t i = 0; i < *got; ++i) b[i] = static_cast<uint8_t>((off + i) * 31 + ((off + i) >> 8));
    return olk::IoStatus::kOk;
  }
  olk::IoStatus Write(const void*, size_t) override { return olk::IoStatus::kIoError; }
  olk::IoStatus Flush() override { return olk::IoStatus::kOk; }
  olk::IoStatus Close() override { return olk::IoStatus::kOk; }
  uint64_t Size() const override { return size_; }

 private:
  uint64_t size_;
};

// Takes what the decoder produces, up to the entry's declared size (more
// is a bug). Once the input's entries have produced `*budget` bytes it
// reports a full disk, as a sink may, so that a run stays short whatever
// the entries declare.
class CountingSink : public olk::ByteSink {
 public:
  CountingSink(uint64_t limit, uint64_t* budget) : limit_(limit), budget_(budget) {}
  olk::Result Put(const uint8_t* data, size_t n) override {
    if (n > limit_ - count_) __builtin_trap();  // the decoder must never overrun
    if (n == 0) return olk::Result::kOk;
    sum_ += data[0] + data[n / 2] + data[n - 1];  // the sanitizers check these bytes are readable
    count_ += n;
    if (n > *budget_) return olk::Result::kDiskFull;
    *budget_ -= n;
    return olk::Result::kOk;
  }

 private:
  uint64_t limit_, count_ = 0;
  uint64_t* budget_;
  uint8_t sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> p(data, data + size);
  if (p.size() >= olk::kHeaderSize + olk::kTrailerSize) {
    for (int i = 0; i < 8; ++i) p[16 + i] = static_cast<uint8_t>(static_cast<uint64_t>(p.size()) >> (8 * i));
    XXH128_canonical_t c;
    XXH128_canonicalFromHash(&c, XXH3_128bits(p.data(), p.size() - 16));
    std::memcpy(p.data() + p.size() - 16, c.digest, 16);
  }
  MemFile patch(p);
  olk::PatchInfo info;
  if (olk::ReadPatch(patch, &info) != olk::Result::kOk) return 0;
  uint64_t budget = 16u << 20;
  for (const olk::PatchEntry& e : info.entries) {
    if (e.encoding == olk::Encoding::kNone) continue;
    PatternFile old_file(e.old_size);
    CountingSink sink(e.new_size, &budget);
    olk::DecodePayload(info, e, patch, &old_file, sink);
  }
  return 0;
}
