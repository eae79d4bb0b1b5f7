// The set of 32-bit numbers that holds an executable's relocations must
// answer as a plain sorted set of what was counted and placed: numbers
// anywhere in the 32-bit range (its windows reach only as far as the
// largest), repeats dropped, numbers placed that the first pass did not
// count left out (the old file may change between the two passes), and
// look-ups past the last window ending cleanly. The predictor and the
// predicted relocation table both walk it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "offset_set.h"
#include "relocation_table.h"

namespace {

std::vector<uint32_t> Walk(const olk::OffsetSet& set) {
  std::vector<uint32_t> out;
  for (olk::OffsetSet::Cursor c = set.First(); !set.AtEnd(c); set.Next(&c)) out.push_back(set.Value(c));
  return out;
}

TEST(OffsetSet, HoldsWhatWasCountedAndPlacedAndFindsAnyNumber) {
  std::mt19937 random(5);
  const std::vector<std::vector<uint32_t>> cases = {
      {},
      {0},
      {0xffffffffu},
      {7, 7, 7, 0x10000, 0xffff, 0x1ffff, 0xffffffffu, 0},
      [&] {  // a relocation table's shape: runs in a few windows, repeats
        std::vector<uint32_t> v;
        for (int i = 0; i < 5000; ++i) v.push_back(0x401000 + (random() % 0x30000));
        return v;
      }(),
      [&] {  // anywhere
        std::vector<uint32_t> v;
        for (int i = 0; i < 3000; ++i) v.push_back(static_cast<uint32_t>(random()));
        return v;
      }(),
  };
  for (size_t k = 0; k < cases.size(); ++k) {
    const std::vector<uint32_t>& values = cases[k];
    // Placed in another order than counted, then numbers the count never
    // saw (below, inside and beyond its windows): those find no room.
    std::vector<uint32_t> placed(values.rbegin(), values.rend());
    for (uint32_t extra : {1u, 0x4000u, 0x401000u, 0x7fffffffu, 0xfffffffeu}) placed.push_back(extra);
    olk::OffsetSet set;
    set.Begin();
    for (uint32_t v : values) set.Count(v);
    set.Allocate();
    for (uint32_t v : placed) set.Place(v);
    set.Finish();
    const std::set<uint32_t> want(values.begin(), values.end());
    ASSERT_EQ(Walk(set), std::vector<uint32_t>(want.begin(), want.end())) << "case " << k;

    // LowerBound at and around every number, at the ends, and anywhere.
    std::vector<uint32_t> probes = {0, 1, 0xffff, 0x10000, 0xfffffffeu, 0xffffffffu};
    for (uint32_t v : values)
      for (uint32_t d : {v - 1, v, v + 1}) probes.push_back(d);
    for (int i = 0; i < 500; ++i) probes.push_back(static_cast<uint32_t>(random()));
    for (uint32_t p : probes) {
      const olk::OffsetSet::Cursor c = set.LowerBound(p);
      const auto it = want.lower_bound(p);
      ASSERT_EQ(set.AtEnd(c), it == want.end()) << "case " << k << " at " << p;
      if (it != want.end()) {
        ASSERT_EQ(set.Value(c), *it) << "case " << k << " at " << p;
      }
    }

    // The relocation table of the set lists each number once, in order.
    olk::RelocationTable table;
    table.Build(std::move(set));
    const std::vector<uint8_t> bytes = table.Bytes();
    ASSERT_EQ(bytes.size(), table.size()) << "case " << k;
    std::vector<uint32_t> listed;
    for (size_t at = 0; at + 8 <= bytes.size();) {
      const uint32_t page = bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
      const uint32_t size = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 | static_cast<uint32_t>(bytes[at + 7]) << 24;
      ASSERT_GE(size, 8u);
      for (size_t e = at + 8; e + 2 <= at + size; e += 2) {
        const uint16_t entry = static_cast<uint16_t>(bytes[e] | bytes[e + 1] << 8);
        if (entry != 0) listed.push_back(page + (entry & 0xfff));
      }
      at += size;
    }
    EXPECT_EQ(listed, std::vector<uint32_t>(want.begin(), want.end())) << "case " << k;
  }
}

}  // namespace
