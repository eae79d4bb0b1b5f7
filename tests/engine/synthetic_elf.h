// Small hand-made Linux executables for the ELF parser's tests and fuzz
// seeds: a layout described field by field (so that a test can break any
// one of them) and written out as the file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace olktest {

constexpr uint32_t kPtLoad = 1, kPtNote = 4;
constexpr uint32_t kPfX = 1, kPfW = 2, kPfR = 4;

// One program header, its fields as written.
struct SegmentPlan {
  uint32_t type, flags;
  uint64_t offset, vaddr, file_size, memory_size;
};

struct ElfPlan {
  bool elf64 = true;
  uint8_t ident_class = 0;  // 0: the one elf64 says
  uint8_t data = 1;         // 1: little-endian
  uint16_t type = 2;        // ET_EXEC
  uint16_t machine = 0;     // 0: x86-64 for ELF64, i386 for ELF32
  uint64_t phoff = 0;       // 0: right after the ELF header
  int phentsize = -1;       // -1: the size of one header of the class
  int phnum = -1;           // -1: segments.size()
  std::vector<SegmentPlan> segments;
  size_t file_size = 0;     // 0: up to the end of the last thing written; else exactly
};

// An executable of 0x800 bytes (file_size set, so that an edited segment
// never grows the file), its program headers at 0x40:
//   a note (not loaded), then
//   R   vaddr base+0x000, file 0x000-0x200 (the headers)
//   R X vaddr base+0x1200, file 0x200-0x600, code
//   RW  vaddr base+0x2600, file 0x600-0x700, 0x300 bytes in memory (bss)
// where base is 0x400000 for ELF64 and 0x8048000 for ELF32.
ElfPlan SampleElf(bool elf64 = true);
uint64_t SampleBase(bool elf64);

std::vector<uint8_t> BuildElf(const ElfPlan& plan);

}  // namespace olktest
