// What building a patch allocates when most of a build is unchanged: a
// game's data packs run to gigabytes, and a pack that did not change must
// not be loaded, let alone twice.
#include <gtest/gtest.h>

#include <string>

#include "allocation_counter.h"
#include "engine_test_support.h"
#include "olkeng/engine.h"

namespace {

TEST(BuildMemory, UnchangedLargeFileIsNeverLoadedWhole) {
  olktest::TempDir tmp;
  {
    std::string pack(48u << 20, '\0');
    for (size_t i = 0; i < pack.size(); ++i) pack[i] = static_cast<char>((i * 2654435761u) >> 13);
    olktest::WriteTree(tmp.Sub("old"), {{"data.pak", pack}, {"version.txt", "3550"}});
    olktest::WriteTree(tmp.Sub("new"), {{"data.pak", pack}, {"version.txt", "3551"}});
  }
  auto old_fs = olk::NewNativeFileSystem(tmp.Sub("old"));
  auto new_fs = olk::NewNativeFileSystem(tmp.Sub("new"));
  olktest::MemFile out;
  olk::BuildStats stats;
  std::string error;
  const uint64_t before = olktest::BytesAllocated();
  ASSERT_EQ(olk::BuildPatch(*old_fs, *new_fs, out, olk::BuildOptions(), &stats, &error), olk::Result::kOk) << error;
  EXPECT_LT(olktest::BytesAllocated() - before, 16u << 20);
  EXPECT_EQ(stats.files_unchanged, 1u);
  EXPECT_EQ(stats.files_changed, 1u);
}

}  // namespace
