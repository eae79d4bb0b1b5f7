// Sketches must say how much content two files share, whatever moved
// inside them: the builder picks the old file an added one is diffed
// against by them.
#include <gtest/gtest.h>

#include <string>

#include "content_sketch.h"
#include "engine_test_support.h"

namespace {

olk::ContentSketch Sketch(const std::string& s) {
  olk::ContentSketcher sketcher;
  // In uneven pieces: the sketch must not depend on how the bytes come.
  for (size_t at = 0; at < s.size(); at += 1000)
    sketcher.Update(reinterpret_cast<const uint8_t*>(s.data()) + at, std::min<size_t>(1000, s.size() - at));
  return sketcher.Finish();
}

TEST(ContentSketch, ResemblanceFollowsSharedContent) {
  const std::string base = olktest::RandomContent(200000, 1), other = olktest::RandomContent(200000, 2);
  std::string edited = base;
  for (size_t at = 10000; at < edited.size(); at += 40000) edited.replace(at, 64, olktest::RandomContent(64, at));
  struct {
    const char* name;
    std::string other;
    double least, most;
  } cases[] = {
      {"the same bytes", base, 1.0, 1.0},
      {"a few places edited", edited, 0.9, 1.0},
      {"bytes inserted at the start (everything shifted)", olktest::RandomContent(333, 3) + base, 0.9, 1.0},
      {"its two halves swapped", base.substr(100000) + base.substr(0, 100000), 0.9, 1.0},
      {"half of it kept", base.substr(0, 100000) + other.substr(0, 100000), 0.2, 0.5},
      {"nothing in common", other, 0.0, 0.02},
      {"empty", std::string(), 0.0, 0.0},
  };
  const olk::ContentSketch a = Sketch(base);
  EXPECT_EQ(a.size(), olk::kSketchSize);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const double r = olk::Resemblance(a, Sketch(c.other));
    EXPECT_GE(r, c.least);
    EXPECT_LE(r, c.most);
  }
}

}  // namespace
