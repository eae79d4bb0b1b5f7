// libFuzzer target: the ELF parser, and the layout the predictor makes of
// what it reads, on any bytes. Besides not crashing or reading outside the
// input, they must keep the promises their callers build on:
// - at most 96 loadable segments, each one's file data inside the file;
// - in the layout, one section per segment, none larger in the file than
//   in memory, every address below 4 GiB;
// - OffsetToRva() and RvaToOffset() inverse to each other wherever either
//   answers (segments that share file bytes included), and IsCode() only
//   inside file data;
// and a refused image must come back cleared.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "elf_image.h"
#include "pe_image.h"
#include "x86_refs.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void CheckOffset(const olk::ImageLayout& layout, uint64_t offset) {
  uint32_t rva = 0;
  uint64_t back = 0;
  if (layout.OffsetToRva(offset, &rva)) Check(layout.RvaToOffset(rva, &back) && back == offset);
}

void CheckRva(const olk::ImageLayout& layout, uint32_t rva) {
  uint64_t offset = 0;
  uint32_t back = 0;
  if (layout.RvaToOffset(rva, &offset)) Check(layout.OffsetToRva(offset, &back) && back == rva);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  olk::MemorySource src(data, size);
  olk::ElfImage image;
  if (!olk::ParseElfImage(src, &image)) {
    Check(image.segments.empty() && image.machine == 0 && !image.elf64);
    return 0;
  }
  Check(!image.segments.empty() && image.segments.size() <= olk::kMaxImageSections);
  Check(image.machine == 3 || image.machine == 62);
  for (const olk::ElfSegment& s : image.segments) Check(s.offset <= size && s.file_size <= size - s.offset);

  olk::ImageLayout layout;
  if (!olk::ElfLayout(image, &layout)) {
    Check(layout.sections.empty() && layout.image_base == 0);
    return 0;
  }
  Check(layout.sections.size() == image.segments.size());
  for (const olk::ImageSection& s : layout.sections) {
    Check(s.size <= s.virtual_size && static_cast<uint64_t>(s.rva) + s.virtual_size <= 0xffffffffu);
    Check(static_cast<uint64_t>(s.offset) + s.size <= size);
    if (s.size != 0) {
      uint32_t rva = 0;
      Check(layout.OffsetToRva(s.offset, &rva) && rva == s.rva);
      Check(layout.OffsetToRva(s.offset + s.size - 1ull, &rva) && rva == s.rva + s.size - 1);
      Check(layout.IsCode(s.offset) == s.code);
    }
    CheckRva(layout, s.rva - 1);
    CheckRva(layout, s.rva);
    CheckRva(layout, s.rva + s.size);
    CheckRva(layout, s.rva + s.virtual_size);
  }
  // Every offset of the (small) input: mapped ones map back, and code is
  // only ever file data.
  for (uint64_t offset = 0; offset <= size; ++offset) {
    CheckOffset(layout, offset);
    uint32_t rva = 0;
    if (layout.IsCode(offset)) Check(layout.OffsetToRva(offset, &rva));
  }
  return 0;
}
