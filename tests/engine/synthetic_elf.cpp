#include "synthetic_elf.h"

#include <algorithm>

#include "synthetic_pe.h"

namespace olktest {

uint64_t SampleBase(bool elf64) { return elf64 ? 0x400000 : 0x8048000; }

ElfSpec SampleElf(bool elf64) {
  const uint64_t base = SampleBase(elf64);
  ElfSpec spec;
  spec.elf64 = elf64;
  spec.segments = {
      {kPtNote, kPfR, 0x1f0, base + 0x1f0, 0x10, 0x10},
      {kPtLoad, kPfR, 0x000, base + 0x0000, 0x200, 0x200},
      {kPtLoad, kPfR | kPfX, 0x200, base + 0x1200, 0x400, 0x400},
      {kPtLoad, kPfR | kPfW, 0x600, base + 0x2600, 0x100, 0x300},
  };
  spec.file_size = 0x800;
  return spec;
}

std::vector<uint8_t> BuildElf(const ElfSpec& spec) {
  const size_t header_size = spec.elf64 ? 64 : 52, phdr_size = spec.elf64 ? 56 : 32;
  const uint64_t phoff = spec.phoff != 0 ? spec.phoff : header_size;
  const size_t phnum = spec.phnum >= 0 ? static_cast<size_t>(spec.phnum) : spec.segments.size();
  const size_t phentsize = spec.phentsize >= 0 ? static_cast<size_t>(spec.phentsize) : phdr_size;
  size_t end = header_size;
  if (phoff < (1u << 24)) end = std::max<size_t>(end, static_cast<size_t>(phoff) + spec.segments.size() * phdr_size);
  for (const SegmentSpec& s : spec.segments)
    if (s.offset + s.file_size < (1u << 24)) end = std::max<size_t>(end, static_cast<size_t>(s.offset + s.file_size));
  std::vector<uint8_t> out(spec.file_size != 0 ? spec.file_size : end, 0);

  out[0] = 0x7f, out[1] = 'E', out[2] = 'L', out[3] = 'F';
  out[4] = spec.ident_class != 0 ? spec.ident_class : (spec.elf64 ? 2 : 1);
  out[5] = spec.data;
  out[6] = 1;  // EV_CURRENT
  PutLe(&out, 16, spec.type, 2);
  PutLe(&out, 18, spec.machine != 0 ? spec.machine : (spec.elf64 ? 62 : 3), 2);
  PutLe(&out, 20, 1, 4);
  const size_t at = spec.elf64 ? 32 : 28;  // e_phoff, then the sizes after e_flags
  PutLe(&out, at, phoff, spec.elf64 ? 8 : 4);
  const size_t sizes = spec.elf64 ? 52 : 40;
  PutLe(&out, sizes, header_size, 2);
  PutLe(&out, sizes + 2, phentsize, 2);
  PutLe(&out, sizes + 4, phnum, 2);

  for (size_t i = 0; i < spec.segments.size(); ++i) {
    const SegmentSpec& s = spec.segments[i];
    // A table placed past the end on purpose is left unwritten.
    if (phoff > out.size() || phoff + (i + 1) * phdr_size > out.size()) break;
    const size_t h = static_cast<size_t>(phoff) + i * phdr_size;
    PutLe(&out, h, s.type, 4);
    if (spec.elf64) {
      PutLe(&out, h + 4, s.flags, 4);
      PutLe(&out, h + 8, s.offset, 8);
      PutLe(&out, h + 16, s.vaddr, 8);
      PutLe(&out, h + 24, s.vaddr, 8);
      PutLe(&out, h + 32, s.file_size, 8);
      PutLe(&out, h + 40, s.memory_size, 8);
      PutLe(&out, h + 48, 0x1000, 8);
    } else {
      PutLe(&out, h + 4, s.offset, 4);
      PutLe(&out, h + 8, s.vaddr, 4);
      PutLe(&out, h + 12, s.vaddr, 4);
      PutLe(&out, h + 16, s.file_size, 4);
      PutLe(&out, h + 20, s.memory_size, 4);
      PutLe(&out, h + 24, s.flags, 4);
      PutLe(&out, h + 28, 0x1000, 4);
    }
  }
  return out;
}

}  // namespace olktest
