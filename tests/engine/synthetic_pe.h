// Small hand-made Windows executables for the PE parser's tests and fuzz
// seeds: a layout described field by field (so that a test can break any
// one of them) and written out as the file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace olktest {

// One section header, its fields as written (nothing derived).
struct SectionPlan {
  std::string name;
  uint32_t rva, virtual_size, raw_offset, raw_size, characteristics;
};

constexpr uint32_t kTextFlags = 0x60000020;   // code, execute, read
constexpr uint32_t kDataFlags = 0xc0000040;   // initialized data, read, write
constexpr uint32_t kRelocFlags = 0x42000040;  // initialized data, discardable, read

struct PeLayout {
  bool pe32plus = false;
  uint16_t machine = 0x14c;
  uint32_t lfanew = 0x40;
  uint64_t image_base = 0x400000;
  uint16_t magic = 0;              // 0: the one pe32plus says
  uint32_t directory_count = 16;
  int optional_size = -1;          // -1: what the header and its directories take
  int section_count = -1;          // -1: sections.size()
  std::vector<SectionPlan> sections;
  uint32_t reloc_rva = 0, reloc_size = 0;  // the base relocation directory
  std::vector<uint8_t> relocs;     // the relocation table, written at relocs_at
  uint32_t relocs_at = 0;
  size_t file_size = 0;            // 0: up to the end of the last thing written
};

// A PE32 (or PE32+) image of three sections in 0x800 bytes (file_size
// set, so that an edited section never grows the file):
//   .text  rva 0x1000, 0x1f0 bytes of code in 0x200 of file at 0x200
//   .data  rva 0x2000, 0x400 bytes, the first 0x200 in the file at 0x400
//          (the rest is bss)
//   .reloc rva 0x3000, the relocation table, in the file at 0x600
// Its relocation table lists HIGHLOW entries at rvas 0x2010, 0x1020, 0x1004
// and again 0x1020, besides padding and one DIR64 entry at 0x1030.
PeLayout SamplePe(bool pe32plus = false);
// The file offsets the sample's HIGHLOW entries point at, ascending.
std::vector<uint32_t> SampleAbs32();

// Appends a relocation block for the page at `page`; entries are the raw
// 16-bit values (type << 12 | offset).
void AddRelocBlock(std::vector<uint8_t>* table, uint32_t page, const std::vector<uint16_t>& entries);
inline uint16_t HighLow(uint16_t offset) { return static_cast<uint16_t>(3 << 12 | offset); }

// Sets the relocation table: written at the .reloc section's raw data,
// directory and section sizes set to its length.
void SetRelocs(PeLayout* layout, std::vector<uint8_t> table);

std::vector<uint8_t> BuildPe(const PeLayout& layout);

// Little-endian field writer, for tests that patch the bytes.
void PutLe(std::vector<uint8_t>* bytes, size_t at, uint64_t value, int width);

}  // namespace olktest

namespace olktest {

// A small 32-bit program as a linker lays it out, for executable deltas:
// about 400 functions in .text that call one another (E8 rel32), load
// globals and push function addresses by absolute address (A1/68 abs32,
// listed in the relocation table), a table of function pointers in .data.
// Function `grown` gets `grow` more bytes, which moves every function after
// it (and .data, when .text crosses a page), as relinking after an edit
// does; `seed` picks the program.
std::vector<uint8_t> LinkedProgram(uint32_t seed, size_t grown = 0, size_t grow = 0);

}  // namespace olktest
