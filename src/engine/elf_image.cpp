#include "elf_image.h"

#include <algorithm>
#include <vector>

#include "byte_source.h"
#include "bytes.h"
#include "x86_refs.h"

namespace olk {
namespace {

constexpr size_t kIdentSize = 16;
constexpr size_t kElf32HeaderSize = 52, kElf64HeaderSize = 64;
constexpr size_t kElf32PhdrSize = 32, kElf64PhdrSize = 56;
constexpr uint8_t kClass32 = 1, kClass64 = 2;
constexpr uint8_t kLittleEndian = 1;
constexpr uint8_t kCurrentVersion = 1;
constexpr uint16_t kTypeExec = 2, kTypeShared = 3;
constexpr uint16_t kMachineI386 = 3, kMachineX86_64 = 62;
constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kPfX = 1;
/* Linux refuses a larger program header table too. */
constexpr uint64_t kMaxPhdrTable = 64 * 1024;
constexpr uint64_t kPage = 4096;
constexpr uint64_t kMax32 = 0xffffffffu;


// One program header of either class; false for a segment that is not
// loadable or not inside the file.
bool ReadLoadSegment(const uint8_t* h, bool elf64, uint64_t file_size, ElfSegment* s, bool* loadable) {
  const uint32_t type = Le32(h);
  *loadable = type == kPtLoad;
  if (!*loadable) return true;
  uint32_t flags;
  if (elf64) {
    flags = Le32(h + 4);
    s->offset = Le64(h + 8);
    s->vaddr = Le64(h + 16);
    s->file_size = Le64(h + 32);
    s->memory_size = Le64(h + 40);
  } else {
    s->offset = Le32(h + 4);
    s->vaddr = Le32(h + 8);
    s->file_size = Le32(h + 16);
    s->memory_size = Le32(h + 20);
    flags = Le32(h + 24);
  }
  s->executable = (flags & kPfX) != 0;
  if (s->offset > file_size || s->file_size > file_size - s->offset) return false;
  return s->memory_size <= ~0ull - s->vaddr;
}

bool Parse(ByteSource& src, ElfImage* out) {
  uint8_t header[kElf64HeaderSize];
  if (!ReadRange(src, 0, header, kIdentSize)) return false;
  if (header[0] != 0x7f || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') return false;
  if ((header[4] != kClass32 && header[4] != kClass64) || header[5] != kLittleEndian || header[6] != kCurrentVersion)
    return false;
  const bool elf64 = header[4] == kClass64;
  if (!ReadRange(src, 0, header, elf64 ? kElf64HeaderSize : kElf32HeaderSize)) return false;
  const uint16_t type = Le16(header + 16), machine = Le16(header + 18);
  if (type != kTypeExec && type != kTypeShared) return false;
  // x86-64 code also comes in ELF32 files (the x32 ABI); i386 never in ELF64.
  if (machine != kMachineX86_64 && !(machine == kMachineI386 && !elf64)) return false;
  const uint64_t phoff = elf64 ? Le64(header + 32) : Le32(header + 28);
  const uint16_t phentsize = Le16(header + (elf64 ? 54 : 42)), phnum = Le16(header + (elf64 ? 56 : 44));
  if (phentsize != (elf64 ? kElf64PhdrSize : kElf32PhdrSize) || phnum == 0) return false;
  const uint64_t table_size = static_cast<uint64_t>(phentsize) * phnum;
  if (table_size > kMaxPhdrTable) return false;
  std::vector<uint8_t> table(static_cast<size_t>(table_size));
  if (!ReadRange(src, phoff, table.data(), table.size())) return false;

  out->elf64 = elf64;
  out->machine = machine;
  uint64_t previous_end = 0;
  for (size_t i = 0; i < phnum; ++i) {
    ElfSegment s;
    bool loadable = false;
    if (!ReadLoadSegment(table.data() + i * phentsize, elf64, src.Size(), &s, &loadable)) return false;
    if (!loadable) continue;
    // The loader wants them ascending; overlapping memory would make
    // addresses map to two places in the file.
    if (out->segments.size() == kMaxImageSections || s.vaddr < previous_end) return false;
    previous_end = s.vaddr + s.memory_size;
    out->segments.push_back(s);
  }
  return !out->segments.empty();
}

}  // namespace

bool ParseElfImage(ByteSource& src, ElfImage* out) {
  *out = ElfImage();
  if (Parse(src, out)) return true;
  *out = ElfImage();
  return false;
}

bool ElfLayout(const ElfImage& image, ImageLayout* out) {
  *out = ImageLayout();
  if (image.segments.empty()) return false;
  uint64_t lowest = ~0ull;
  for (const ElfSegment& s : image.segments) lowest = std::min(lowest, s.vaddr);
  const uint64_t base = lowest & ~(kPage - 1);
  ImageLayout layout;
  layout.image_base = base;
  layout.x64 = image.machine == kMachineX86_64;
  for (const ElfSegment& s : image.segments) {
    const uint64_t rva = s.vaddr - base, size = std::min(s.file_size, s.memory_size);
    if (rva > kMax32 || s.memory_size > kMax32 - rva || s.offset > kMax32 - size) return false;
    ImageSection x;
    x.rva = static_cast<uint32_t>(rva);
    x.virtual_size = static_cast<uint32_t>(s.memory_size);
    x.offset = static_cast<uint32_t>(s.offset);
    x.size = static_cast<uint32_t>(size);
    x.code = s.executable;
    // File bytes two segments share (the headers, a page both map) go to
    // the earlier segment, so that each offset has one address. Cutting
    // only shrinks a segment, so one pass over the earlier ones does.
    for (const ImageSection& t : layout.sections) {
      const uint64_t t_end = static_cast<uint64_t>(t.offset) + t.size, x_end = static_cast<uint64_t>(x.offset) + x.size;
      if (t.size == 0 || x.size == 0 || t.offset >= x_end || x.offset >= t_end) continue;
      if (t.offset <= x.offset) {  // cut the front: start where t ends
        const uint32_t cut = static_cast<uint32_t>(std::min(t_end, x_end) - x.offset);
        x.offset += cut;
        x.rva += cut;
        x.size -= cut;
        x.virtual_size -= cut;
      } else {  // cut the back: end where t starts
        x.size = t.offset - x.offset;
      }
    }
    layout.sections.push_back(x);
  }
  *out = std::move(layout);
  return true;
}

bool ReadElfLayout(ByteSource& src, ImageLayout* out) {
  ElfImage image;
  if (ParseElfImage(src, &image) && ElfLayout(image, out)) return true;
  *out = ImageLayout();
  return false;
}

}  // namespace olk
