#include <new>

#include "bytes.h"
#include "parallel.h"
#include "payload.h"

namespace olk {

bool EncodeDeltaApart(const DeltaStreams& streams, Effort effort, CoreBudget* budget, uint64_t base, PatchEntry* entry,
                      std::vector<uint8_t>* out) {
  const std::vector<uint8_t>* src[3] = {&streams.control, &streams.diff, &streams.extra};
  std::vector<uint8_t> enc[3];
  Codec codec[3] = {Codec::kStored, Codec::kStored, Codec::kStored};
  bool ok[3] = {true, true, true};
  RunParallel(
      3,
      [&](size_t i) {
        try {
          ok[i] = EncodeBest(src[i]->data(), src[i]->size(), effort, budget, &codec[i], &enc[i]);
        } catch (const std::bad_alloc&) {
          ok[i] = false;
        }
      },
      budget);
  if (!ok[0] || !ok[1] || !ok[2]) return false;
  try {
    out->clear();
    entry->encoding = streams.executable ? Encoding::kExecutableDelta : Encoding::kDelta;
    entry->payload_offset = base;
    for (int i = 0; i < 3; ++i) {
      StreamRef& r = entry->streams[i];
      r.codec = static_cast<uint8_t>(codec[i]);
      r.decoded_size = src[i]->size();
      r.encoded_size = enc[i].size();
      r.offset = base + out->size();
      PutBytes(out, enc[i].data(), enc[i].size());
    }
    entry->payload_size = out->size();
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace olk
