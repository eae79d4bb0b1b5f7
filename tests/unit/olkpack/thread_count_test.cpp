// A whole build's patch data must not depend on how many threads made it:
// the same two builds give the same bytes, so that a patch can be rebuilt
// and checked on any machine.
#include <gtest/gtest.h>

#include <string>

#include "olkpack_fixture.h"

using namespace olkpack_test;

namespace {

class ThreadCountTest : public OlkpackTest {};

TEST_F(ThreadCountTest, SameBytesWhateverTheThreads) {
  // Two sample client builds of a few MB: changed executables and data,
  // added, removed and unchanged files, of sizes that share the cores
  // differently with every thread count.
  Result made = RunProgram("python3", {SAMPLE_BUILDS_SCRIPT, "builds"});
  ASSERT_EQ(made.status, 0) << made.err;

  std::string first;
  for (const char* threads : {"1", "2", "3", "8"}) {
    const std::string out = std::string("p") + threads + ".pat";
    Result r = Run({"diff", "builds/3550", "builds/3551", "-o", out, "--threads", threads, "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string bytes = ReadFile(out);
    ASSERT_GT(bytes.size(), 1000u);
    if (first.empty())
      first = bytes;
    else
      EXPECT_TRUE(bytes == first) << "--threads " << threads << " gave other bytes than --threads 1";
  }
}

}  // namespace
