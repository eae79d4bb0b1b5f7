// Added files built from another old file: renamed, moved, copied and
// duplicated files cost a reference, a renamed file that also changed a
// delta against the old file it was made from; and a source that is not there as the patch
// knew it stops the apply before anything is touched.
#include <gtest/gtest.h>


#include "engine_test_support.h"
#include "hash.h"
#include "mem_fs.h"
#include "patch_format.h"

using olktest::DiskOp;
using olktest::kDir;
using olktest::MemFs;
using olktest::RandomContent;
using olktest::Tree;

namespace {

olk::PatchInfo Read(const std::vector<uint8_t>& patch) {
  olktest::MemFile f(patch);
  olk::PatchInfo info;
  EXPECT_EQ(olk::ReadPatch(f, &info), olk::Result::kOk);
  return info;
}

const olk::PatchEntry* Added(const olk::PatchInfo& info, const std::string& path) {
  for (const olk::PatchEntry& e : info.entries)
    if (e.kind == olk::EntryKind::kAddFile && e.path == path) return &e;
  return nullptr;
}

class MovedFilesTest : public ::testing::Test {
 protected:
  std::string Install(const Tree& tree) {
    const std::string dir = tmp_.Sub("install" + std::to_string(n_++));
    olktest::WriteTree(dir, tree);
    return dir;
  }
  olktest::TempDir tmp_;
  int n_ = 0;
};

TEST_F(MovedFilesTest, RoundTripsWithTheAddedFileBuiltFromItsSource) {
  const std::string pack = RandomContent(70000, 1), doc = RandomContent(5000, 2);
  std::string edited = pack;
  edited.replace(30000, 40, RandomContent(40, 3));
  struct {
    const char* name;
    Tree from, to;
    const char* added;
    const char* source;
    olk::Encoding encoding;
  } cases[] = {
      {"rename", {{"data_3550.pak", pack}}, {{"data_3551.pak", pack}}, "data_3551.pak", "data_3550.pak",
       olk::Encoding::kCopy},
      {"move to another folder",
       {{"a", kDir}, {"a\\doc.txt", doc}},
       {{"b", kDir}, {"b\\doc.txt", doc}},
       "b\\doc.txt",
       "a\\doc.txt",
       olk::Encoding::kCopy},
      {"copy of an unchanged file", {{"x.bin", pack}}, {{"x.bin", pack}, {"y.bin", pack}}, "y.bin", "x.bin",
       olk::Encoding::kCopy},
      {"duplicate of a file the patch changes",
       {{"x.bin", pack}},
       {{"x.bin", edited}, {"y.bin", pack}},
       "y.bin",
       "x.bin",
       olk::Encoding::kCopy},
      {"rename and a small edit", {{"data_3550.pak", pack}}, {{"data_3551.pak", edited}}, "data_3551.pak",
       "data_3550.pak", olk::Encoding::kDelta},
      {"name changes only in case", {{"Pack.dat", pack}}, {{"pack.dat", pack}}, "pack.dat", "Pack.dat",
       olk::Encoding::kCopy},
      // A folder moved and a file in it changed: its old self, not the
      // removed file of the nearest size.
      {"move and an edit, beside a removed file of nearer size",
       {{"plugins", kDir}, {"plugins\\a.pak", pack}, {"plugins\\b.pak", RandomContent(70003, 5)}},
       {{"lib", kDir}, {"lib\\a.pak", edited + "tail"}},
       "lib\\a.pak",
       "plugins\\a.pak",
       olk::Encoding::kDelta},
      // Neither name nor extension kept: found by its content.
      {"renamed to another kind and edited", {{"music.ogg", pack}}, {{"theme.bin", edited}}, "theme.bin", "music.ogg",
       olk::Encoding::kDelta},
      // Two removed packs of about its size: the one it was made from,
      // not the one nearer in size.
      {"the pack it was made from, beside one of its very size",
       {{"a.pak", pack}, {"b.pak", RandomContent(70004, 6)}},
       {{"c.pak", edited + "tail"}},
       "c.pak",
       "a.pak",
       olk::Encoding::kDelta},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> patch = olktest::MakePatch(c.from, c.to);
    const olk::PatchInfo info = Read(patch);
    const olk::PatchEntry* e = Added(info, c.added);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->source, c.source);
    EXPECT_EQ(e->encoding, c.encoding);
    const std::string dir = Install(c.from);
    ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir), c.to);
    // Again after the source is gone: everything counts as done.
    ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir), c.to);
  }
}

TEST_F(MovedFilesTest, RenamingAMegabyteCostsAlmostNothing) {
  const std::string big = RandomContent(1 << 20, 4);
  const std::vector<uint8_t> patch = olktest::MakePatch({{"old.pak", big}}, {{"new.pak", big}});
  EXPECT_LT(patch.size(), 200u);
}

// A file moved unchanged is staged as a second name of its source, so that
// none of its bytes is written; only where the commit takes the source away,
// and where the volume can.
TEST_F(MovedFilesTest, AFileMovedUnchangedIsStagedAsASecondNameOfItsSource) {
  const std::string pack = RandomContent(70000, 1);
  struct {
    const char* name;
    Tree from, to;
    bool makes_links;
    size_t links;
  } cases[] = {
      {"renamed", {{"a.pak", pack}}, {{"b.pak", pack}}, true, 1},
      {"moved into a new folder", {{"a.pak", pack}}, {{"d", kDir}, {"d\\a.pak", pack}}, true, 1},
      {"copied beside a source that stays", {{"a.pak", pack}}, {{"a.pak", pack}, {"b.pak", pack}}, true, 0},
      {"copied from a file the patch changes",
       {{"a.pak", pack}},
       {{"a.pak", pack + "more"}, {"b.pak", pack}},
       true,
       1},
      {"two new names of one removed file", {{"a.pak", pack}}, {{"b.pak", pack}, {"c.pak", pack}}, true, 1},
      {"a volume without links", {{"a.pak", pack}}, {{"b.pak", pack}}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> patch = olktest::MakePatch(c.from, c.to);
    MemFs fs(c.from);
    fs.makes_links = c.makes_links;
    std::vector<DiskOp> ops;
    fs.record = &ops;
    ASSERT_EQ(olktest::Apply("", patch, &fs), olk::Result::kOk);
    EXPECT_EQ(fs.ToTree(), c.to);
    size_t links = 0, written = 0;
    for (const DiskOp& op : ops) {
      links += op.kind == DiskOp::kLink;
      if (op.kind == DiskOp::kWrite) written += op.data.size();
    }
    EXPECT_EQ(links, c.links);
    // Every copy is written whole, a linked name not at all; besides them,
    // the changed files and the journal.
    size_t copies = 0, others = 0;
    for (const auto& kv : c.to) {
      if (kv.second == kDir || (c.from.count(kv.first) && c.from.at(kv.first) == kv.second)) continue;
      if (kv.second == pack)
        ++copies;
      else
        others += kv.second.size();
    }
    EXPECT_GE(written, (copies - links) * pack.size());
    EXPECT_LT(written, (copies - links) * pack.size() + others + 4096);
  }
}

// Another program puts a file of the same size in the source's place after
// the pre-flight: the staged name would carry it into the client.
TEST_F(MovedFilesTest, ASourceSwappedBeforeItIsLinkedStopsTheApply) {
  class SwappingFs : public MemFs {
   public:
    using MemFs::MemFs;
    olk::IoStatus LinkFile(const std::string& from, const std::string& to) override {
      std::unique_ptr<olk::File> f;
      if (RemoveFile(from) != olk::IoStatus::kOk || CreateNew(from, &f) != olk::IoStatus::kOk)
        return olk::IoStatus::kIoError;
      const std::string other = RandomContent(70000, 9);
      f->Write(other.data(), other.size());
      return MemFs::LinkFile(from, to);
    }
  };
  const std::string pack = RandomContent(70000, 1);
  const Tree from = {{"a.pak", pack}, {"keep.txt", "mine"}};
  SwappingFs fs(from);
  const std::vector<uint8_t> patch = olktest::MakePatch(from, {{"b.pak", pack}, {"keep.txt", "mine"}});
  EXPECT_EQ(olktest::Apply("", patch, &fs), olk::Result::kOldFileMismatch);
  const Tree after = fs.ToTree();
  EXPECT_EQ(after.size(), 2u);  // the swapped source and keep.txt; nothing staged is left
  EXPECT_EQ(after.at("a.pak"), RandomContent(70000, 9));
  EXPECT_FALSE(after.count("b.pak"));
}

// A hand-made entry: `path` is a copy of `source`, which holds `content`.
std::vector<uint8_t> CopyPatch(const std::string& path, const std::string& source, const std::string& content) {
  olk::PatchEntry e;
  e.kind = olk::EntryKind::kAddFile;
  e.path = path;
  e.source = source;
  e.encoding = olk::Encoding::kCopy;
  e.new_size = e.old_size = content.size();
  e.new_hash = e.old_hash = olk::HashBytes(reinterpret_cast<const uint8_t*>(content.data()), content.size());
  return olktest::SealEntries({e});
}

TEST_F(MovedFilesTest, SourceNotThereAsThePatchKnewItTouchesNothing) {
  const std::string content = RandomContent(3000, 5);
  const Tree installed = {{"a.bin", content}, {"other.txt", "mine"}};
  struct {
    const char* name;
    std::vector<uint8_t> patch;
    olk::Result expected;
  } cases[] = {
      {"source as the patch knew it", CopyPatch("b.bin", "a.bin", content), olk::Result::kOk},
      {"source missing", CopyPatch("b.bin", "gone.bin", content), olk::Result::kOldFileMissing},
      {"source changed", CopyPatch("b.bin", "other.txt", "mine, but longer"), olk::Result::kOldFileMismatch},
      {"source changed, same size", CopyPatch("b.bin", "other.txt", "MINE"), olk::Result::kOldFileMismatch},
      {"source outside the folder", CopyPatch("b.bin", "..\\a.bin", content), olk::Result::kBadPatch},
      {"source with a drive", CopyPatch("b.bin", "C:\\a.bin", content), olk::Result::kBadPatch},
      {"source in the staging folder", CopyPatch("b.bin", ".OLKPATCH\\journal", content), olk::Result::kBadPatch},
      {"source in short-name form", CopyPatch("b.bin", "A~1.BIN", content), olk::Result::kBadPatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = Install(installed);
    EXPECT_EQ(olktest::Apply(dir, c.patch), c.expected);
    if (c.expected != olk::Result::kOk) {
      EXPECT_EQ(olktest::ReadTree(dir), installed);
    }
  }
}

}  // namespace
