// SectionIndex must answer exactly as the plain pass over the sections
// does, also for layouts the patch data makes up: overlapping sections,
// empty ones, sections at address 0 and against the 4 GiB end. The
// predictor of the builder and of the applier both ask it, and a
// different answer would only show as a patch that fails its hash.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "section_index.h"
#include "x86_refs.h"

namespace {

using olk::ImageLayout;
using olk::ImageSection;
using olk::SectionIndex;

ImageSection Section(uint32_t rva, uint32_t virtual_size, uint32_t offset, uint32_t size, bool code) {
  ImageSection s;
  s.rva = rva;
  s.virtual_size = virtual_size;
  s.offset = offset;
  s.size = size;
  s.code = code;
  return s;
}

// The index of the section ImageLayout's own look-up on `axis` finds, or -1.
int PlainFind(const ImageLayout& layout, SectionIndex::Axis axis, uint64_t x) {
  for (size_t i = 0; i < layout.sections.size(); ++i) {
    const ImageSection& s = layout.sections[i];
    uint64_t start = 0, size = 0;
    switch (axis) {
      case SectionIndex::Axis::kFile:
        start = s.offset, size = s.size;
        break;
      case SectionIndex::Axis::kCodeFile:
        start = s.offset, size = s.code ? s.size : 0;
        break;
      case SectionIndex::Axis::kRaw:
        start = s.rva, size = s.size;
        break;
      case SectionIndex::Axis::kMemory:
        start = s.rva, size = s.virtual_size;
        break;
    }
    if (x >= start && x - start < size) return static_cast<int>(i);
  }
  return -1;
}

TEST(SectionIndex, AnswersAsThePlainLookUpsOnAnyLayout) {
  const std::vector<std::vector<ImageSection>> layouts = {
      {},
      {Section(0x1000, 0x3000, 0x400, 0x2000, true), Section(0x4000, 0x1000, 0x2400, 0x800, false)},
      // Sections that share file bytes and addresses: the first listed wins.
      {Section(0x1000, 0x2000, 0x0, 0x2000, false), Section(0x1800, 0x2000, 0x800, 0x2000, true),
       Section(0x1000, 0x800, 0x0, 0x800, true)},
      // A code section's file data inside another section's, at other
      // addresses: the address of that data in the other is code too.
      {Section(0x1000, 0x2000, 0x400, 0x2000, false), Section(0x8000, 0x1000, 0x1400, 0x800, true)},
      // Empty ones, one at 0, one that ends at 4 GiB, a larger one inside.
      {Section(0, 0, 0, 0, true), Section(0, 0x10, 0, 0x10, true), Section(0xfffff000u, 0x1000, 0x20, 0x1000, false),
       Section(0x10, 0xffffffefu, 0x10, 0xfffffff0u, true), Section(0x50, 0x10, 0x50, 0x10, false)},
      // Many small interleaved ones.
      [] {
        std::vector<ImageSection> v;
        for (uint32_t i = 0; i < olk::kMaxImageSections; ++i)
          v.push_back(Section(0x1000 + 0x300 * i, 0x500, 0x200 * i, 0x400 * (i % 3), i % 2 == 0));
        return v;
      }(),
  };
  const SectionIndex::Axis axes[] = {SectionIndex::Axis::kFile, SectionIndex::Axis::kCodeFile,
                                     SectionIndex::Axis::kRaw, SectionIndex::Axis::kMemory};
  std::mt19937_64 random(7);
  for (size_t l = 0; l < layouts.size(); ++l) {
    ImageLayout layout;
    layout.sections = layouts[l];
    // Every bound, a step either side, and random points.
    std::vector<uint64_t> probes = {0, 1, 0xffffffffu, 0x100000000ull, 0x100000001ull};
    for (const ImageSection& s : layout.sections)
      for (uint64_t b : {uint64_t{s.rva}, uint64_t{s.rva} + s.size, uint64_t{s.rva} + s.virtual_size,
                         uint64_t{s.offset}, uint64_t{s.offset} + s.size})
        for (uint64_t d : {b - 1, b, b + 1}) probes.push_back(d);
    // Where a code section's file data starts or ends, at the address each
    // section gives that offset.
    for (const ImageSection& s : layout.sections)
      for (const ImageSection& c : layout.sections)
        for (uint64_t b : {uint64_t{c.offset}, uint64_t{c.offset} + c.size})
          for (uint64_t d : {b - 1, b, b + 1}) probes.push_back(d - s.offset + s.rva);
    for (int i = 0; i < 2000; ++i) probes.push_back(random() % 0x110000000ull);
    for (SectionIndex::Axis axis : axes) {
      const SectionIndex index(layout, axis);
      for (uint64_t x : probes) {
        if (x == ~0ull) continue;
        uint64_t end = 0;
        const int found = index.Find(x, &end);
        ASSERT_EQ(found, PlainFind(layout, axis, x)) << "layout " << l << " axis " << static_cast<int>(axis) << " at " << x;
        if (axis == SectionIndex::Axis::kFile) {
          uint32_t rva = 0, plain_rva = 0;
          ASSERT_EQ(index.OffsetToRva(x, &rva), layout.OffsetToRva(x, &plain_rva)) << "layout " << l << " at " << x;
          if (found >= 0) {
            ASSERT_EQ(rva, plain_rva) << "layout " << l << " at " << x;
          }
        }
        // The answer holds up to `end`.
        ASSERT_GT(end, x);
        if (end != ~0ull) {
          ASSERT_EQ(index.Find(end - 1), found) << "layout " << l << " at " << x;
        }
      }
    }
    // The address index answers as the three look-ups it stands for.
    const olk::AddressIndex addresses(layout);
    for (uint64_t x : probes) {
      if (x > 0xffffffffu) continue;
      const olk::AddressIndex::Facts& facts = addresses.Find(static_cast<uint32_t>(x));
      const int raw = PlainFind(layout, SectionIndex::Axis::kRaw, x);
      ASSERT_EQ(facts.raw, raw) << "layout " << l << " at " << x;
      ASSERT_EQ(facts.memory, PlainFind(layout, SectionIndex::Axis::kMemory, x)) << "layout " << l << " at " << x;
      uint64_t offset = 0;
      const bool code = layout.RvaToOffset(static_cast<uint32_t>(x), &offset) && layout.IsCode(offset);
      ASSERT_EQ(facts.code, code) << "layout " << l << " at " << x;
    }
    // The plain look-ups agree with the plain rule (so the one above is
    // the rule they follow).
    for (uint64_t x : probes) {
      uint32_t rva;
      uint64_t offset;
      if (x <= 0xffffffffu) {
        EXPECT_EQ(layout.SectionOfRva(static_cast<uint32_t>(x)), PlainFind(layout, SectionIndex::Axis::kMemory, x));
        EXPECT_EQ(layout.RvaToOffset(static_cast<uint32_t>(x), &offset),
                  PlainFind(layout, SectionIndex::Axis::kRaw, x) >= 0);
      }
      EXPECT_EQ(layout.OffsetToRva(x, &rva), PlainFind(layout, SectionIndex::Axis::kFile, x) >= 0);
      EXPECT_EQ(layout.IsCode(x), PlainFind(layout, SectionIndex::Axis::kCodeFile, x) >= 0);
    }
  }
}

}  // namespace
