// The PE parser on small hand-made executables: what it reads from a good
// one, and a table of broken ones it must refuse without reading outside
// the file (the test runs under AddressSanitizer too, on buffers exactly
// the file's size).
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "pe_image.h"
#include "synthetic_pe.h"

namespace {

using olktest::AddRelocBlock;
using olktest::BuildPe;
using olktest::HighLow;
using olktest::PeLayout;
using olktest::PutLe;
using olktest::SamplePe;
using olktest::SetRelocs;
typedef std::vector<uint8_t> Bytes;
using olktest::FailingSource;

bool Parse(const Bytes& file, olk::PeImage* image, size_t max_abs32 = 1u << 20) {
  olk::MemorySource src(file.data(), file.size());
  return olk::ParsePeImage(src, image, max_abs32);
}

TEST(PeImage, ReadsSectionsAndRelocationsOfPe32AndPe32Plus) {
  for (bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    olk::PeImage image;
    ASSERT_TRUE(Parse(BuildPe(SamplePe(plus)), &image));
    EXPECT_EQ(image.pe32plus, plus);
    EXPECT_EQ(image.machine, plus ? 0x8664 : 0x14c);
    EXPECT_EQ(image.image_base, plus ? 0x140000000ull : 0x400000ull);
    ASSERT_EQ(image.sections.size(), 3u);
    const olk::PeSection& text = image.sections[0];
    EXPECT_EQ(text.rva, 0x1000u);
    EXPECT_EQ(text.raw_offset, 0x200u);
    EXPECT_EQ(text.raw_size, 0x1f0u) << "the file alignment padding past the code maps nowhere";
    EXPECT_TRUE(text.code);
    EXPECT_FALSE(image.sections[1].code);
    EXPECT_EQ(image.sections[1].virtual_size, 0x400u);
    EXPECT_EQ(image.sections[1].raw_size, 0x200u);
    // HIGHLOW only (no padding, no DIR64), sorted, the duplicate once.
    EXPECT_EQ(image.abs32, olktest::SampleAbs32());
  }
}

TEST(PeImage, MapsRawDataBothWaysAndNothingElse) {
  olk::PeImage image;
  ASSERT_TRUE(Parse(BuildPe(SamplePe()), &image));
  uint64_t offset = 0;
  uint32_t rva = 0;
  EXPECT_TRUE(image.RvaToOffset(0x1010, &offset));
  EXPECT_EQ(offset, 0x210u);
  EXPECT_TRUE(image.OffsetToRva(0x5ff, &rva));
  EXPECT_EQ(rva, 0x21ffu);
  EXPECT_TRUE(image.IsCode(0x200));
  EXPECT_TRUE(image.IsCode(0x3ef));
  // Headers, padding behind the code, bss, gaps between sections, past the file.
  for (uint64_t o : {0x0ull, 0x1ffull, 0x3f0ull, 0x800ull, 0x100000000ull}) {
    EXPECT_FALSE(image.OffsetToRva(o, &rva)) << std::hex << o;
    EXPECT_FALSE(image.IsCode(o)) << std::hex << o;
  }
  for (uint32_t r : {0x0u, 0x11f0u, 0x1fffu, 0x2200u, 0x23ffu, 0x4000u, 0xffffffffu})
    EXPECT_FALSE(image.RvaToOffset(r, &offset)) << std::hex << r;
  EXPECT_FALSE(image.IsCode(0x400)) << "data is not code";
}

// Relocation tables larger than the parser's read window, with blocks
// straddling its edges, read whole; and the bound on their entries.
TEST(PeImage, ReadsALargeRelocationTableAndBoundsItsEntries) {
  PeLayout l = SamplePe();
  l.sections[0] = {".text", 0x1000, 0x10000, 0x200, 0x10000, olktest::kTextFlags};
  l.sections[1] = {".reloc", 0x20000, 0, 0x10200, 0x40000, olktest::kRelocFlags};
  l.sections.pop_back();
  l.file_size = 0x50200;
  Bytes table;
  std::set<uint32_t> expected;
  size_t entries = 0;
  for (uint32_t block = 0; block < 120; ++block) {
    const uint32_t page = 0x1000 + (block % 16) * 0x1000;
    std::vector<uint16_t> block_entries;
    for (uint32_t i = 0; i < 1021 + block % 3; ++i) {  // 2 KiB blocks, not aligned to the window
      const uint16_t offset = static_cast<uint16_t>((i * 4 + block * 3) & 0xffc);
      block_entries.push_back(HighLow(offset));
      expected.insert(0x200 + (page - 0x1000) + offset);
    }
    entries += block_entries.size();
    AddRelocBlock(&table, page, block_entries);
  }
  ASSERT_GT(table.size(), 3 * 64 * 1024u);
  SetRelocs(&l, table);
  const Bytes file = BuildPe(l);

  olk::PeImage image;
  ASSERT_TRUE(Parse(file, &image, entries));
  EXPECT_EQ(image.abs32, std::vector<uint32_t>(expected.begin(), expected.end()));
  EXPECT_FALSE(Parse(file, &image, entries - 1)) << "one HIGHLOW entry more than allowed";
  EXPECT_TRUE(image.sections.empty() && image.abs32.empty());
}

TEST(PeImage, TakesAtMost96Sections) {
  for (int count : {96, 97}) {
    PeLayout l;
    for (int i = 0; i < count; ++i)  // bss-like sections: no raw data, no relocations
      l.sections.push_back({".bss", 0x1000u * (i + 1), 0x1000, 0, 0, olktest::kDataFlags});
    olk::PeImage image;
    EXPECT_EQ(Parse(BuildPe(l), &image), count == 96) << count;
  }
}

TEST(PeImage, ReadErrorsRefuseTheImage) {
  const Bytes file = BuildPe(SamplePe());
  for (uint64_t fail_from : {0x10ull, 0x150ull, 0x600ull, 0x610ull}) {
    FailingSource src(file, fail_from);
    olk::PeImage image;
    EXPECT_FALSE(olk::ParsePeImage(src, &image)) << std::hex << fail_from;
  }
}

TEST(PeImage, RefusesMalformedImagesAndClearsTheResult) {
  // Each case edits the sample's layout, then maybe its bytes.
  struct Case {
    const char* what;
    std::function<void(PeLayout*)> layout;
    std::function<void(Bytes*)> bytes;
  };
  auto one_entry = [](uint32_t page, uint16_t entry) {
    return [=](PeLayout* l) {
      Bytes table;
      AddRelocBlock(&table, page, {entry});
      SetRelocs(l, table);
    };
  };
  auto truncate = [](size_t n) { return [n](Bytes* b) { b->resize(n); }; };
  const size_t reloc_block0 = 0x600;  // the first relocation block's header in the file
  const Case cases[] = {
      {"no MZ", nullptr, [](Bytes* b) { (*b)[0] = 'X'; }},
      {"no PE signature", nullptr, [](Bytes* b) { (*b)[0x42] = 'X'; }},
      {"unknown optional header magic", [](PeLayout* l) { l->magic = 0x107; }, nullptr},
      {"e_lfanew past the end", nullptr, [](Bytes* b) { PutLe(b, 0x3c, 0xfffffff0, 4); }},
      {"e_lfanew leaves no room for the file header", nullptr, [](Bytes* b) { PutLe(b, 0x3c, 0x800 - 8, 4); }},
      {"truncated in the DOS header", nullptr, truncate(0x3e)},
      {"truncated in the file header", nullptr, truncate(0x50)},
      {"truncated in the optional header", nullptr, truncate(0x100)},
      {"truncated in the section table", nullptr, truncate(0x150)},
      {"truncated in the last section", nullptr, truncate(0x7ff)},
      {"97 sections", [](PeLayout* l) { l->section_count = 97; l->file_size = 0x4000; }, nullptr},
      {"65535 sections", [](PeLayout* l) { l->section_count = 0xffff; }, nullptr},
      {"section table past the file", [](PeLayout* l) { l->section_count = 60; }, nullptr},
      {"optional header past the file", [](PeLayout* l) { l->optional_size = 0xffff; }, nullptr},
      {"optional header without its directory count", [](PeLayout* l) { l->optional_size = 0x50; }, nullptr},
      {"relocation directory beyond the optional header", [](PeLayout* l) { l->optional_size = 96 + 5 * 8; },
       nullptr},
      {"section raw data past the file", [](PeLayout* l) { l->sections[2].raw_size = 0x400; }, nullptr},
      {"section raw size wraps around", [](PeLayout* l) { l->sections[2].raw_size = 0xfffffc00; }, nullptr},
      {"section rva + size past 4 GiB",
       [](PeLayout* l) { l->reloc_rva = l->sections[2].rva = 0xffffff00; l->sections[2].virtual_size = 0x200; },
       nullptr},
      {"sections overlap in memory", [](PeLayout* l) { l->reloc_rva = l->sections[2].rva = 0x2300; }, nullptr},
      {"sections not in ascending order", [](PeLayout* l) { l->reloc_rva = l->sections[2].rva = 0x800; }, nullptr},
      {"sections share raw data", [](PeLayout* l) { l->sections[1].raw_offset = 0x300; }, nullptr},
      {"sections share raw data, the later one first", [](PeLayout* l) { l->sections[1].raw_offset = 0x100; },
       nullptr},
      {"relocation directory in bss", [](PeLayout* l) { l->reloc_rva = 0x2300; }, nullptr},
      {"relocation directory outside every section", [](PeLayout* l) { l->reloc_rva = 0x9000; }, nullptr},
      {"block runs past the directory", [](PeLayout* l) { l->reloc_size -= 2; }, nullptr},
      {"bytes after the last block too few for a block",
       [](PeLayout* l) { l->reloc_size += 4; l->sections[2].virtual_size += 4; }, nullptr},
      {"block runs past the section",
       [](PeLayout* l) { l->reloc_size = 0x208; l->sections[2].virtual_size = 0x208; },
       [=](Bytes* b) { PutLe(b, reloc_block0 + 4, 0x208, 4); }},
      {"block size 0", nullptr, [=](Bytes* b) { PutLe(b, reloc_block0 + 4, 0, 4); }},
      {"block size 4", nullptr, [=](Bytes* b) { PutLe(b, reloc_block0 + 4, 4, 4); }},
      {"block size odd", nullptr, [=](Bytes* b) { PutLe(b, reloc_block0 + 4, 11, 4); }},
      {"target outside every section", one_entry(0x9000, HighLow(0)), nullptr},
      {"target in the headers", one_entry(0x0000, HighLow(0x10)), nullptr},
      {"target in bss", one_entry(0x2000, HighLow(0x300)), nullptr},
      {"target straddles the end of the code", one_entry(0x1000, HighLow(0x1ee)), nullptr},
      {"target page wraps around", one_entry(0xfffff000, HighLow(0xffc)), nullptr},
  };
  for (const Case& c : cases) {
    PeLayout layout = SamplePe();
    if (c.layout) c.layout(&layout);
    Bytes file = BuildPe(layout);
    if (c.bytes) c.bytes(&file);
    file.shrink_to_fit();  // so that AddressSanitizer sees a read past the end
    olk::PeImage image;
    image.sections.resize(2);
    image.abs32 = {1, 2};
    EXPECT_FALSE(Parse(file, &image)) << c.what;
    EXPECT_TRUE(image.sections.empty() && image.abs32.empty() && image.image_base == 0) << c.what;
  }
}

}  // namespace
