// Checks on paths stay linear in a path's depth: a patch of a few deep
// paths must not cost a copy of every ancestor's name. Measured in bytes
// allocated, which this test binary counts (its own operator new).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "allocation_counter.h"
#include "olkeng/engine.h"
#include "patch_format.h"

namespace {

// What checking the entries allocates.
uint64_t AllocatedByChecks(const std::vector<olk::PatchEntry>& entries) {
  const uint64_t before = olktest::BytesAllocated();
  EXPECT_TRUE(olk::CheckManifestStructure(entries));
  for (const olk::PatchEntry& e : entries) EXPECT_TRUE(olk::IsSafeRelativePath(e.path));
  return olktest::BytesAllocated() - before;
}

std::vector<olk::PatchEntry> DeepFiles(size_t depth, size_t files) {
  std::string dir = "d";
  for (size_t i = 1; i < depth; ++i) dir += "\\d";
  std::vector<olk::PatchEntry> entries;
  for (size_t i = 0; i < files; ++i) {
    olk::PatchEntry e;
    e.kind = olk::EntryKind::kAddFile;
    e.path = dir + "\\f" + std::to_string(i);
    entries.push_back(e);
  }
  return entries;
}

TEST(PathChecks, LinearInTheDepth) {
  // 20 files 1,000 folders deep (paths of 2,000 bytes): linear checks
  // copy each path a few times (some 40 KB each time); one copy per
  // ancestor would be 20 * 1,000 copies of 1,000 bytes on average, 20 MB.
  const std::vector<olk::PatchEntry> deep = DeepFiles(1000, 20);
  uint64_t total = 0;
  for (const olk::PatchEntry& e : deep) total += e.path.size();
  EXPECT_LT(AllocatedByChecks(deep), 16 * total);
}

}  // namespace
