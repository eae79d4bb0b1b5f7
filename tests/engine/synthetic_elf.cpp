#include "synthetic_elf.h"

#include <algorithm>

#include "synthetic_pe.h"

namespace olktest {

uint64_t SampleBase(bool elf64) { return elf64 ? 0x400000 : 0x8048000; }

ElfPlan SampleElf(bool elf64) {
  const uint64_t base = SampleBase(elf64);
  ElfPlan plan;
  plan.elf64 = elf64;
  plan.segments = {
      {kPtNote, kPfR, 0x1f0, base + 0x1f0, 0x10, 0x10},
      {kPtLoad, kPfR, 0x000, base + 0x0000, 0x200, 0x200},
      {kPtLoad, kPfR | kPfX, 0x200, base + 0x1200, 0x400, 0x400},
      {kPtLoad, kPfR | kPfW, 0x600, base + 0x2600, 0x100, 0x300},
  };
  plan.file_size = 0x800;
  return plan;
}

std::vector<uint8_t> BuildElf(const ElfPlan& plan) {
  const size_t header_size = plan.elf64 ? 64 : 52, phdr_size = plan.elf64 ? 56 : 32;
  const uint64_t phoff = plan.phoff != 0 ? plan.phoff : header_size;
  const size_t phnum = plan.phnum >= 0 ? static_cast<size_t>(plan.phnum) : plan.segments.size();
  const size_t phentsize = plan.phentsize >= 0 ? static_cast<size_t>(plan.phentsize) : phdr_size;
  size_t end = header_size;
  if (phoff < (1u << 24)) end = std::max<size_t>(end, static_cast<size_t>(phoff) + plan.segments.size() * phdr_size);
  for (const SegmentPlan& s : plan.segments)
    if (s.offset + s.file_size < (1u << 24)) end = std::max<size_t>(end, static_cast<size_t>(s.offset + s.file_size));
  std::vector<uint8_t> out(plan.file_size != 0 ? plan.file_size : end, 0);

  out[0] = 0x7f, out[1] = 'E', out[2] = 'L', out[3] = 'F';
  out[4] = plan.ident_class != 0 ? plan.ident_class : (plan.elf64 ? 2 : 1);
  out[5] = plan.data;
  out[6] = 1;  // EV_CURRENT
  PutLe(&out, 16, plan.type, 2);
  PutLe(&out, 18, plan.machine != 0 ? plan.machine : (plan.elf64 ? 62 : 3), 2);
  PutLe(&out, 20, 1, 4);
  const size_t at = plan.elf64 ? 32 : 28;  // e_phoff, then the sizes after e_flags
  PutLe(&out, at, phoff, plan.elf64 ? 8 : 4);
  const size_t sizes = plan.elf64 ? 52 : 40;
  PutLe(&out, sizes, header_size, 2);
  PutLe(&out, sizes + 2, phentsize, 2);
  PutLe(&out, sizes + 4, phnum, 2);

  for (size_t i = 0; i < plan.segments.size(); ++i) {
    const SegmentPlan& s = plan.segments[i];
    // A table placed past the end on purpose is left unwritten.
    if (phoff > out.size() || phoff + (i + 1) * phdr_size > out.size()) break;
    const size_t h = static_cast<size_t>(phoff) + i * phdr_size;
    PutLe(&out, h, s.type, 4);
    if (plan.elf64) {
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
