// libFuzzer target: the PE parser on any bytes. Besides not crashing or
// reading outside the input, a parsed image must keep the promises its
// callers build on:
// - every section's raw data inside the file, no larger than the section;
// - abs32 strictly ascending, each entry's 4 bytes in one section's raw data;
// - OffsetToRva() and RvaToOffset() inverse to each other wherever either
//   answers, and IsCode() only inside raw data;
// and a refused image must come back cleared.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "pe_image.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

// The offset's rva maps back to it.
bool RoundTrips(const olk::PeImage& image, uint64_t offset, uint32_t* rva) {
  uint64_t back = 0;
  return image.OffsetToRva(offset, rva) && image.RvaToOffset(*rva, &back) && back == offset;
}

void CheckRva(const olk::PeImage& image, uint32_t rva) {
  uint64_t offset = 0;
  uint32_t back = 0;
  if (image.RvaToOffset(rva, &offset)) Check(image.OffsetToRva(offset, &back) && back == rva);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  olk::MemorySource src(data, size);
  olk::PeImage image;
  // A small bound on the entries, so that the refusal shows up too.
  const size_t max_abs32 = size > 0 && data[size - 1] == 0x55 ? 3 : 1u << 16;
  if (!olk::ParsePeImage(src, &image, max_abs32)) {
    Check(image.sections.empty() && image.abs32.empty() && image.image_base == 0 && image.machine == 0 &&
          !image.pe32plus);
    return 0;
  }
  Check(image.sections.size() <= 96 && image.abs32.size() <= max_abs32);
  for (const olk::PeSection& s : image.sections) {
    Check(static_cast<uint64_t>(s.raw_offset) + s.raw_size <= size);
    Check(s.raw_size <= s.virtual_size && static_cast<uint64_t>(s.rva) + s.virtual_size <= 1ull << 32);
    uint32_t rva = 0;
    if (s.raw_size != 0) {
      Check(RoundTrips(image, s.raw_offset, &rva) && rva == s.rva);
      Check(RoundTrips(image, s.raw_offset + s.raw_size - 1, &rva) && rva == s.rva + s.raw_size - 1);
      Check(image.IsCode(s.raw_offset) == s.code);
    }
    // Just outside the raw data: another section's, or nothing.
    CheckRva(image, s.rva - 1);
    CheckRva(image, s.rva + s.raw_size);
    CheckRva(image, s.rva + s.virtual_size);
  }
  for (size_t i = 0; i < image.abs32.size(); ++i) {
    const uint32_t at = image.abs32[i];
    if (i > 0) Check(image.abs32[i - 1] < at);
    uint32_t first = 0, last = 0;
    Check(RoundTrips(image, at, &first) && RoundTrips(image, at + 3ull, &last) && last == first + 3);
  }
  // Every offset of the (small) input: mapped ones map back, and code is
  // only ever raw data.
  for (uint64_t offset = 0; offset <= size; ++offset) {
    uint32_t rva = 0;
    const bool mapped = image.OffsetToRva(offset, &rva);
    if (mapped) Check(RoundTrips(image, offset, &rva));
    if (image.IsCode(offset)) Check(mapped);
  }
  return 0;
}
