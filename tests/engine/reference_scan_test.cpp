// The predictor's scan for references looks at many places at once; it
// must find exactly the places the one-at-a-time rule finds (a place it
// missed or made up would change predictions, and with them every
// executable delta already written), in code dense with the bytes that
// make a place a candidate, wherever the window starts and the scan
// begins and ends, and it must read nothing outside its window.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "x86_refs.h"

namespace {

TEST(ReferenceScan, FindsWhatTheRuleFindsOnePlaceAtATime) {
  std::mt19937 random(11);
  // Branch opcodes, their second bytes, RIP-relative ModRM bytes and the
  // opcodes before them, and neighbours of each.
  const uint8_t dense[] = {0xE8, 0xE9, 0xEA, 0x0F, 0x0E, 0x80, 0x85, 0x8F, 0x90, 0x05, 0x0D,
                           0x15, 0x45, 0x8B, 0x8D, 0xFF, 0x63, 0x64, 0x00, 0x01};
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> file(200);
    for (uint8_t& b : file) b = random() % 5 ? dense[random() % sizeof dense] : static_cast<uint8_t>(random());
    for (bool x64 : {false, true}) {
      for (int k = 0; k < 10; ++k) {
        const uint64_t window_start = random() % 4 == 0 ? 0 : random() % 9;
        const uint64_t lowest = window_start == 0 ? 0 : window_start + 2;
        const uint64_t from = lowest + random() % (file.size() - lowest + 1);
        const uint64_t end = from + random() % (file.size() - from + 1);
        // Exactly the window, so that a read past either side is caught.
        const std::vector<uint8_t> window(file.begin() + static_cast<std::ptrdiff_t>(window_start),
                                          file.begin() + static_cast<std::ptrdiff_t>(end));
        uint64_t want = end;
        for (uint64_t q = from; q < end && want == end; ++q)
          if (olk::ReferenceMayStartAt(file.data() + q, q, x64)) want = q;
        ASSERT_EQ(olk::FindReference(window.data(), window_start, from, end, x64), want)
            << "round " << round << " x64 " << x64 << " window " << window_start << " from " << from << " to " << end;
      }
    }
  }
}

}  // namespace
