// The ELF parser on small hand-made executables: what it reads from a good
// one, the layout the predictor gets from it, a table of broken ones it
// must refuse without reading outside the file (the test runs under
// AddressSanitizer too, on buffers exactly the file's size), and a whole
// patch of a relinked executable made and applied.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "elf_image.h"
#include "engine_test_support.h"
#include "patch_format.h"
#include "pe_image.h"
#include "synthetic_elf.h"
#include "synthetic_pe.h"
#include "x86_refs.h"

namespace {

using olktest::BuildElf;
using olktest::ElfPlan;
using olktest::kPfR;
using olktest::kPfW;
using olktest::kPfX;
using olktest::kPtLoad;
using olktest::kPtNote;
using olktest::SampleElf;
using olktest::SegmentPlan;
typedef std::vector<uint8_t> Bytes;
using olktest::FailingSource;

bool Parse(const Bytes& file, olk::ElfImage* image) {
  olk::MemorySource src(file.data(), file.size());
  return olk::ParseElfImage(src, image);
}

bool Layout(const Bytes& file, olk::ImageLayout* layout) {
  olk::MemorySource src(file.data(), file.size());
  return olk::ReadElfLayout(src, layout);
}

// Every offset below `end` that maps to an address maps back to itself,
// and every address that maps to an offset maps back too.
void ExpectOneToOne(const olk::ImageLayout& layout, uint64_t end) {
  for (uint64_t offset = 0; offset < end; ++offset) {
    uint32_t rva = 0;
    uint64_t back = 0;
    if (!layout.OffsetToRva(offset, &rva)) continue;
    ASSERT_TRUE(layout.RvaToOffset(rva, &back)) << offset;
    ASSERT_EQ(back, offset);
  }
  for (const olk::ImageSection& s : layout.sections)
    for (uint32_t rva = s.rva; rva < s.rva + s.virtual_size; ++rva) {
      uint64_t offset = 0;
      uint32_t back = 0;
      if (!layout.RvaToOffset(rva, &offset)) continue;
      ASSERT_TRUE(layout.OffsetToRva(offset, &back)) << rva;
      ASSERT_EQ(back, rva);
    }
}

TEST(ElfImage, ReadsTheLoadableSegmentsOfElf32AndElf64) {
  for (bool elf64 : {false, true}) {
    SCOPED_TRACE(elf64 ? "ELF64" : "ELF32");
    const uint64_t base = olktest::SampleBase(elf64);
    olk::ElfImage image;
    ASSERT_TRUE(Parse(BuildElf(SampleElf(elf64)), &image));
    EXPECT_EQ(image.elf64, elf64);
    EXPECT_EQ(image.machine, elf64 ? 62 : 3);
    ASSERT_EQ(image.segments.size(), 3u) << "the note is not loaded";
    EXPECT_EQ(image.segments[1].vaddr, base + 0x1200);
    EXPECT_EQ(image.segments[1].offset, 0x200u);
    EXPECT_EQ(image.segments[1].file_size, 0x400u);
    EXPECT_TRUE(image.segments[1].executable);
    EXPECT_FALSE(image.segments[2].executable);
    EXPECT_EQ(image.segments[2].memory_size, 0x300u);

    olk::ImageLayout layout;
    ASSERT_TRUE(Layout(BuildElf(SampleElf(elf64)), &layout));
    EXPECT_EQ(layout.image_base, base);
    ASSERT_EQ(layout.sections.size(), 3u);
    EXPECT_EQ(layout.sections[1].rva, 0x1200u);
    EXPECT_EQ(layout.sections[2].virtual_size, 0x300u);
    EXPECT_EQ(layout.sections[2].size, 0x100u);
    EXPECT_FALSE(layout.IsCode(0x1ff));
    EXPECT_TRUE(layout.IsCode(0x200));
    EXPECT_FALSE(layout.IsCode(0x600));
    uint64_t offset = 0;
    EXPECT_FALSE(layout.RvaToOffset(0x2700, &offset)) << "bss has no file data";
    EXPECT_EQ(layout.SectionOfRva(0x2700), 2);
    ExpectOneToOne(layout, 0x800);
  }
}

TEST(ElfImage, SegmentsSharingFileBytesLeaveThemToTheEarlierOne) {
  const uint64_t base = 0x400000;
  struct Case {
    const char* what;
    std::vector<SegmentPlan> segments;
    uint32_t code_offset, code_rva, code_size;  // the code segment as laid out
  } cases[] = {
      {"headers and code share bytes",  // the code's front is cut
       {{kPtLoad, kPfR, 0x0, base, 0x300, 0x300}, {kPtLoad, kPfR | kPfX, 0x200, base + 0x1200, 0x400, 0x400}},
       0x300, 0x1300, 0x300},
      {"code reaches into the next segment's bytes",  // the later segment's back is cut
       {{kPtLoad, kPfR | kPfX, 0x400, base + 0x1400, 0x200, 0x200}, {kPtLoad, kPfR, 0x300, base + 0x2300, 0x200, 0x200}},
       0x400, 0x400, 0x200},
      {"one segment inside another",
       {{kPtLoad, kPfR, 0x0, base, 0x800, 0x800}, {kPtLoad, kPfR | kPfX, 0x200, base + 0x1200, 0x100, 0x100}},
       0x300, 0x1300, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ElfPlan plan;
    plan.segments = c.segments;
    plan.file_size = 0x800;
    olk::ImageLayout layout;
    ASSERT_TRUE(Layout(BuildElf(plan), &layout));
    ASSERT_EQ(layout.sections.size(), 2u);
    const olk::ImageSection& code = layout.sections[c.segments[0].flags & kPfX ? 0 : 1];
    if (c.code_size != 0) {
      EXPECT_EQ(code.offset, c.code_offset);
      EXPECT_EQ(code.rva, c.code_rva);
    }
    EXPECT_EQ(code.size, c.code_size);
    ExpectOneToOne(layout, 0x800);
  }
}

TEST(ElfImage, TakesAtMost96LoadableSegments) {
  for (int count : {96, 97}) {
    ElfPlan plan;
    for (int i = 0; i < count; ++i)  // bss-like segments, no file data
      plan.segments.push_back({kPtLoad, kPfR | kPfW, 0, 0x400000u + 0x1000u * i, 0, 0x1000});
    olk::ElfImage image;
    EXPECT_EQ(Parse(BuildElf(plan), &image), count == 96) << count;
  }
}

TEST(ElfImage, RefusesImagesSpanningMoreThan4GiB) {
  for (uint64_t span : {0xffffffffull, 0x100000000ull}) {
    ElfPlan plan = SampleElf();
    plan.segments.back().memory_size = span - 0x2600;
    olk::ImageLayout layout;
    layout.sections.resize(1);
    const bool fits = span <= 0xffffffffull;
    EXPECT_EQ(Layout(BuildElf(plan), &layout), fits) << std::hex << span;
    if (!fits) {
      EXPECT_TRUE(layout.sections.empty());
    }
  }
  // A small segment far above the others.
  ElfPlan plan = SampleElf();
  plan.segments.back().vaddr += 1ull << 32;
  olk::ImageLayout layout;
  EXPECT_FALSE(Layout(BuildElf(plan), &layout));
}

TEST(ElfImage, RefusesMalformedImagesAndClearsTheResult) {
  // Each case edits the sample's layout, then maybe its bytes.
  struct Case {
    const char* what;
    std::function<void(ElfPlan*)> plan;
    std::function<void(Bytes*)> bytes;
  };
  auto segment = [](size_t i, std::function<void(SegmentPlan*)> edit) {
    return [i, edit](ElfPlan* s) { edit(&s->segments[i]); };
  };
  const Case cases[] = {
      {"empty file", nullptr, [](Bytes* b) { b->clear(); }},
      {"truncated ident", nullptr, [](Bytes* b) { b->resize(10); }},
      {"truncated header", nullptr, [](Bytes* b) { b->resize(60); }},
      {"not ELF", nullptr, [](Bytes* b) { (*b)[1] = 'e'; }},
      {"big-endian", [](ElfPlan* s) { s->data = 2; }, nullptr},
      {"unknown class", [](ElfPlan* s) { s->ident_class = 3; }, nullptr},
      {"unknown ident version", nullptr, [](Bytes* b) { (*b)[6] = 2; }},
      {"ARM", [](ElfPlan* s) { s->machine = 40; }, nullptr},
      {"i386 in ELF64", [](ElfPlan* s) { s->machine = 3; }, nullptr},
      {"object file", [](ElfPlan* s) { s->type = 1; }, nullptr},
      {"core dump", [](ElfPlan* s) { s->type = 4; }, nullptr},
      {"program header size of the other class", [](ElfPlan* s) { s->phentsize = 32; }, nullptr},
      {"no program headers", [](ElfPlan* s) { s->phnum = 0; }, nullptr},
      {"program header table past the end", [](ElfPlan* s) { s->phoff = 0x7e0; }, nullptr},
      {"program header table far past the end", [](ElfPlan* s) { s->phoff = 0xffffffffffffffc0ull; }, nullptr},
      {"program header table above 64 KiB", [](ElfPlan* s) { s->phnum = 1200; }, nullptr},
      {"no loadable segment",
       [](ElfPlan* s) {
         for (SegmentPlan& x : s->segments) x.type = kPtNote;
       },
       nullptr},
      {"segment past the end", segment(3, [](SegmentPlan* x) { x->file_size = 0x201; }), nullptr},
      {"segment starts past the end", segment(3, [](SegmentPlan* x) { x->offset = 0x801, x->file_size = 0; }),
       nullptr},
      {"segment offset wraps around",
       segment(2, [](SegmentPlan* x) { x->offset = 0xffffffffffffff00ull, x->file_size = 0x200; }), nullptr},
      {"segment memory wraps around",
       segment(3, [](SegmentPlan* x) { x->vaddr = 0xfffffffffffff000ull, x->memory_size = 0x2000; }), nullptr},
      {"segments descending", segment(3, [](SegmentPlan* x) { x->vaddr = 0x401000; }), nullptr},
      {"segments overlapping in memory", segment(3, [](SegmentPlan* x) { x->vaddr = 0x4015ff; }), nullptr},
  };
  for (const Case& c : cases) {
    ElfPlan plan = SampleElf();
    if (c.plan) c.plan(&plan);
    Bytes file = BuildElf(plan);
    if (c.bytes) c.bytes(&file);
    file.shrink_to_fit();  // so that AddressSanitizer sees a read past the end
    olk::ElfImage image;
    image.segments.resize(2);
    image.machine = 62;
    EXPECT_FALSE(Parse(file, &image)) << c.what;
    EXPECT_TRUE(image.segments.empty() && image.machine == 0 && !image.elf64) << c.what;
  }
  const Bytes file = BuildElf(SampleElf());
  for (uint64_t fail_from : {0x8ull, 0x30ull, 0x100ull}) {
    FailingSource src(file, fail_from);
    olk::ElfImage image;
    EXPECT_FALSE(olk::ParseElfImage(src, &image)) << std::hex << fail_from;
  }
}

TEST(ElfImage, AnExecutablePairIsTwoImagesOfOneKind) {
  const Bytes elf32 = BuildElf(SampleElf(false)), elf64 = BuildElf(SampleElf(true));
  const Bytes pe = olktest::BuildPe(olktest::SamplePe(true));
  Bytes arm = elf64;
  arm[18] = 40;
  struct {
    const Bytes &old_file, &new_file;
    bool pair;
  } cases[] = {
      {elf64, elf64, true}, {elf32, elf64, true}, {elf64, pe, false}, {pe, elf64, false}, {arm, elf64, false},
      {elf64, arm, false},
  };
  for (const auto& c : cases) {
    olk::ExecutablePair pair;
    EXPECT_EQ(olk::ReadExecutablePair(c.old_file.data(), c.old_file.size(), c.new_file.data(), c.new_file.size(), &pair),
              c.pair);
    if (c.pair) {
      EXPECT_TRUE(pair.old_image.abs32.empty()) << "ELF lists no absolute addresses";
      EXPECT_EQ(pair.new_table_size, 0u);
      EXPECT_EQ(pair.new_layout.sections.size(), 3u);
    }
  }
  olk::MemorySource src(elf32.data(), elf32.size());
  olk::OldImage old_image;
  ASSERT_TRUE(olk::ReadOldImage(src, &old_image));
  EXPECT_EQ(old_image.layout.image_base, olktest::SampleBase(false));
}

// An x86-64 executable of `functions` functions that call each other
// (E8 with a 32-bit displacement), followed by a data segment. Function
// `grown` gets `extra` more bytes, as a small change to it would: every
// call across it changes its displacement.
std::string LinkedProgram(size_t functions, size_t grown, size_t extra) {
  std::mt19937 rng(7);
  struct Call {
    size_t filler, target;
  };
  std::vector<std::vector<Call>> bodies(functions);
  for (auto& body : bodies)
    for (int k = 1 + rng() % 4; k > 0; --k) body.push_back({3 + rng() % 18, rng() % functions});
  const uint64_t base = 0x400000, code_at = 0x1000;
  std::vector<uint64_t> start(functions);
  uint64_t at = code_at;
  for (size_t f = 0; f < functions; ++f) {
    start[f] = at;
    for (const Call& c : bodies[f]) at += c.filler + 5;
    at += 1 + (f == grown ? extra : 0);
  }
  Bytes code;
  std::mt19937 filler_rng(11);
  for (size_t f = 0; f < functions; ++f) {
    for (const Call& c : bodies[f]) {
      for (size_t i = 0; i < c.filler; ++i) code.push_back(static_cast<uint8_t>(0x40 + filler_rng() % 16));
      code.push_back(0xE8);
      const uint32_t rel = static_cast<uint32_t>(start[c.target] - (code_at + code.size() + 4));
      for (int i = 0; i < 4; ++i) code.push_back(static_cast<uint8_t>(rel >> (8 * i)));
    }
    for (size_t i = 0; i < (f == grown ? extra : 0); ++i) code.push_back(0x90);
    code.push_back(0xC3);
  }
  const uint64_t data_at = (code_at + code.size() + 0xfff) & ~0xfffull;
  std::mt19937 data_rng(13);
  Bytes data(30000);
  for (uint8_t& b : data) b = static_cast<uint8_t>(data_rng());
  ElfPlan plan;
  plan.segments = {{kPtLoad, kPfR, 0, base, 0x1000, 0x1000},
                   {kPtLoad, kPfR | kPfX, code_at, base + code_at, code.size(), code.size()},
                   {kPtLoad, kPfR | kPfW, data_at, base + data_at, data.size(), data.size() + 0x800}};
  Bytes file = BuildElf(plan);
  std::copy(code.begin(), code.end(), file.begin() + code_at);
  std::copy(data.begin(), data.end(), file.begin() + data_at);
  return std::string(file.begin(), file.end());
}

TEST(ElfImage, ARelinkedExecutablePatchesAsAnExecutableDelta) {
  const std::string old_file = LinkedProgram(4000, 1500, 37), new_file = LinkedProgram(4000, 1500, 80);
  std::string old_arm = old_file, new_arm = new_file;
  old_arm[18] = new_arm[18] = 40;  // the same bytes, not read as x86 images

  olk::BuildStats exe_stats, plain_stats;
  const std::vector<uint8_t> patch = olktest::MakePatch({{"app", old_file}}, {{"app", new_file}}, &exe_stats);
  olktest::MakePatch({{"app", old_arm}}, {{"app", new_arm}}, &plain_stats);
  olktest::MemFile f(patch);
  olk::PatchInfo info;
  ASSERT_EQ(olk::ReadPatch(f, &info), olk::Result::kOk);
  ASSERT_EQ(info.entries.size(), 1u);
  EXPECT_EQ(info.entries[0].encoding, olk::Encoding::kExecutableDelta);
  EXPECT_LT(exe_stats.patch_bytes * 2, plain_stats.patch_bytes)
      << exe_stats.patch_bytes << " bytes against " << plain_stats.patch_bytes << " without predictions";

  olktest::TempDir tmp;
  olktest::WriteTree(tmp.path(), {{"app", old_file}});
  ASSERT_EQ(olktest::Apply(tmp.path(), patch), olk::Result::kOk);
  EXPECT_EQ(olktest::ReadTree(tmp.path()), (olktest::Tree{{"app", new_file}}));
}

}  // namespace
