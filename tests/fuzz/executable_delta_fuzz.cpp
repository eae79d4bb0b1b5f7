// libFuzzer target: the applier's side of executable deltas (the head of
// the control stream, the copies' map, the predicted relocation table and
// the predicted references), on a real little program as the old file.
//
// Input: new size, control length and difference length (4 bytes each,
// little-endian), then the control, difference and literal streams, all
// stored. The decoder must refuse or produce at most the declared size;
// the sanitizers watch every read.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "olkeng/engine.h"
#include "payload.h"
#include "mem_file.h"
#include "synthetic_pe.h"

namespace {

using olkfuzz::MemFile;

class BoundedSink : public olk::ByteSink {
 public:
  explicit BoundedSink(uint64_t limit) : left_(limit) {}
  olk::Result Put(const uint8_t* data, size_t n) override {
    if (n > left_) __builtin_trap();  // the decoder must never overrun
    if (n) sum_ += data[0] + data[n - 1];
    left_ -= n;
    return olk::Result::kOk;
  }

 private:
  uint64_t left_;
  unsigned sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> old_file = olktest::LinkedProgram(1);
  if (size < 12) return 0;
  const uint64_t new_size = std::min<uint32_t>(olk::Le32(data), 4u << 20);
  const uint64_t control = olk::Le32(data + 4), diff = olk::Le32(data + 8);
  const uint64_t rest = size - 12;
  if (control > rest || diff > rest - control) return 0;
  olk::PatchEntry e;
  e.kind = olk::EntryKind::kChangeFile;
  e.encoding = olk::Encoding::kExecutableDelta;
  e.old_size = old_file.size();
  e.new_size = new_size;
  const uint64_t sizes[3] = {control, diff, rest - control - diff};
  uint64_t at = 0;
  for (int i = 0; i < 3; ++i) {
    e.streams[i].codec = 1;
    e.streams[i].decoded_size = e.streams[i].encoded_size = sizes[i];
    e.streams[i].offset = at;
    at += sizes[i];
  }
  MemFile patch(std::vector<uint8_t>(data + 12, data + size));
  MemFile old(old_file);
  olk::PatchInfo info;
  BoundedSink sink(new_size);
  (void)olk::DecodePayload(info, e, patch, &old, sink);
  return 0;
}
