// The pre-flight check alone: every problem an apply would meet, the
// result it would give, and nothing touched.
#include <gtest/gtest.h>

#include "mem_fs.h"

using olktest::kDir;
using olktest::MemFs;
using olktest::Tree;

namespace {

TEST(CheckPatch, ListsEveryProblemWithTheApplysResultAndTouchesNothing) {
  const Tree from = {{"a.dll", std::string(5000, 'a')}, {"b.dat", std::string(3000, 'b')},
                     {"c.ini", "build=1\r\n"},           {"keep.txt", "keep"},
                     {"data", kDir},                     {"data\\d.bin", std::string(100, 'd')}};
  Tree to = from;
  to["a.dll"][10] = 'x';
  to["b.dat"][20] = 'y';
  to["c.ini"] = "build=2\r\n";
  to["data\\d.bin"] = "new d";
  to["new.txt"] = "new";
  const std::vector<uint8_t> patch = olktest::MakePatch(from, to);

  struct Case {
    const char* name;
    std::function<void(MemFs*)> spoil;
    olk::Result expected;
    std::vector<std::string> paths;  // the findings, in the apply's order
  };
  const Case cases[] = {
      {"a folder that takes the patch", [](MemFs*) {}, olk::Result::kOk, {}},
      {"one changed, one missing, one locked",
       [](MemFs* fs) {
         std::unique_ptr<olk::File> f;
         fs->RemoveFile("b.dat");
         fs->RemoveFile("c.ini");
         fs->CreateNew("c.ini", &f);
         f->Write("build=7\r\n", 9);
         fs->fail_path = "a.dll";
       },
       olk::Result::kFileInUse,
       {"a.dll", "b.dat", "c.ini"}},
      {"a folder in the way of a new file",
       [](MemFs* fs) { fs->MakeDir("new.txt"); },
       olk::Result::kCannotCreate,
       {"new.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemFs fs(from);
    c.spoil(&fs);
    const Tree before = fs.ToTree();
    olktest::MemFile file(patch);
    olk::CheckReport report;
    EXPECT_EQ(olk::CheckPatch(fs, file, nullptr, &report), c.expected);
    EXPECT_EQ(report.result, c.expected);
    std::vector<std::string> paths;
    for (const auto& f : report.findings) paths.push_back(f.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, c.paths);
    EXPECT_EQ(fs.ToTree(), before);
    // The apply gives the same result.
    olktest::MemFile again(patch);
    EXPECT_EQ(olk::ApplyPatch(fs, again, olk::ApplyOptions()), c.expected);
    if (c.expected == olk::Result::kOk) {
      EXPECT_EQ(report.files_to_write, 5u);
    }
  }
}

}  // namespace
