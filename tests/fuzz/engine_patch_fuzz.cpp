// libFuzzer target: the engine's reader of patch data and its payload
// decoders (whole-file codecs and deltas).
//
// Every input is resealed first (total size and trailer hash made right),
// so that mutations get past the checksum and reach the structure checks
// and the decoders behind it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <xxhash.h>

#include "olkeng/engine.h"
#include "patch_format.h"
#include "payload.h"

namespace {

class MemFile : public olk::File {
 public:
  explicit MemFile(std::vector<uint8_t> d) : d_(std::move(d)) {}
  olk::IoStatus ReadAt(uint64_t off, void* buf, size_t n, size_t* got) override {
    *got = 0;
    if (off < d_.size()) {
      *got = static_cast<size_t>(std::min<uint64_t>(n, d_.size() - off));
      if (*got) std::memcpy(buf, d_.data() + off, *got);
    }
    return olk::IoStatus::kOk;
  }
  olk::IoStatus Write(const void*, size_t) override { return olk::IoStatus::kIoError; }
  olk::IoStatus Flush() override { return olk::IoStatus::kOk; }
  olk::IoStatus Close() override { return olk::IoStatus::kOk; }
  uint64_t Size() const override { return d_.size(); }

 private:
  std::vector<uint8_t> d_;
};

class CountingSink : public olk::ByteSink {
 public:
  explicit CountingSink(uint64_t limit) : limit_(limit) {}
  olk::Result Put(const uint8_t* data, size_t n) override {
    if (n > limit_ - count_) __builtin_trap();  // the decoder must never overrun
    for (size_t i = 0; i < n; ++i) sum_ += data[i];
    count_ += n;
    return olk::Result::kOk;
  }

 private:
  uint64_t limit_, count_ = 0;
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
  for (const olk::PatchEntry& e : info.entries) {
    if (e.encoding == olk::Encoding::kNone) continue;
    if (e.old_size > (1u << 20) || e.new_size > (4u << 20)) continue;
    std::vector<uint8_t> old_bytes(static_cast<size_t>(e.old_size));
    for (size_t i = 0; i < old_bytes.size(); ++i) old_bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    MemFile old_file(old_bytes);
    CountingSink sink(e.new_size);
    olk::DecodePayload(info, e, patch, &old_file, sink);
  }
  return 0;
}
