// Applying patch data to folders: round trips, every failure leaving the
// folder as it was, locked files, interrupted runs, and the notifications.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "engine_test_support.h"

using olktest::kDir;
using olktest::RandomContent;
using olktest::Tree;

namespace {

// A client-like tree and its next version: something of every kind of
// change, and some things that stay.
Tree OldClient() {
  std::string exe = RandomContent(300000, 11);
  return {
      {"olk.exe", exe},
      {"vorn.dll", RandomContent(80000, 12)},
      {"zorp.ini", "build=3550\r\n"},
      {"empty.txt", ""},
      {"to_empty.txt", "soon nothing"},
      {"unchanged.dat", RandomContent(20000, 13)},
      {"data", kDir},
      {"data\\maps", kDir},
      {"data\\maps\\zone1.map", RandomContent(50000, 14)},
      {"data\\old_only", kDir},
      {"data\\old_only\\gone.bin", RandomContent(1000, 15)},
      {"obsolete.txt", "remove me"},
      {"empty_old_folder", kDir},
      {"caf\xC3\xA9.txt", "accent"},
  };
}

Tree NewClient() {
  Tree t = OldClient();
  std::string exe = t["olk.exe"];
  exe.insert(150000, RandomContent(3000, 21));  // code grown in the middle
  exe.erase(20000, 500);
  t["olk.exe"] = exe;
  t["vorn.dll"][100] ^= 1;
  t["zorp.ini"] = "build=3551\r\n";
  t["empty.txt"] = "now with text";
  t["to_empty.txt"] = "";
  t.erase("data\\old_only");
  t.erase("data\\old_only\\gone.bin");
  t.erase("obsolete.txt");
  t.erase("empty_old_folder");
  t["data\\maps\\zone2.map"] = RandomContent(40000, 22);
  t["data\\new"] = kDir;
  t["data\\new\\deep"] = kDir;
  t["data\\new\\deep\\file.txt"] = "deep";
  t["empty_new_folder"] = kDir;
  t["\xE6\x97\xA5\xE6\x9C\xAC.txt"] = "beyond the ANSI code page";
  return t;
}

class ApplyTest : public ::testing::Test {
 protected:
  std::string Install(const Tree& tree) {
    dir_ = tmp_.Sub("install");
    olktest::WriteTree(dir_, tree);
    return dir_;
  }
  olktest::TempDir tmp_;
  std::string dir_;
};

TEST_F(ApplyTest, RoundTripsAndRerunChangesNothing) {
  struct {
    const char* name;
    Tree from, to;
  } cases[] = {
      {"client update", OldClient(), NewClient()},
      {"back again", NewClient(), OldClient()},
      {"file becomes a folder", {{"x", "a file"}}, {{"x", kDir}, {"x\\y", "inside"}, {"x\\z", kDir}}},
      {"folder becomes a file", {{"x", kDir}, {"x\\y", "inside"}, {"x\\z", kDir}}, {{"x", "a file"}}},
      {"name changes case", {{"README", "same"}}, {{"readme", "same"}}},
      {"nothing to do", {{"a", "b"}}, {{"a", "b"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> patch = olktest::MakePatch(c.from, c.to);
    const std::string dir = Install(c.from);
    ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir), c.to);
    // Running the same patch again finds everything done.
    ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir), c.to);
    olktest::RemoveAll(dir);
  }
}

TEST_F(ApplyTest, KeepsFilesThePatchDoesNotKnow) {
  const std::vector<uint8_t> patch = olktest::MakePatch(OldClient(), NewClient());
  Tree installed = OldClient();
  installed["screenshots"] = kDir;
  installed["screenshots\\shot1.png"] = "png";
  installed["data\\old_only\\mine.cfg"] = "user file in a folder the patch removes";
  const std::string dir = Install(installed);
  ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
  Tree expected = NewClient();
  expected["screenshots"] = kDir;
  expected["screenshots\\shot1.png"] = "png";
  expected["data\\old_only"] = kDir;  // kept: it still holds a file of the user's
  expected["data\\old_only\\mine.cfg"] = installed["data\\old_only\\mine.cfg"];
  EXPECT_EQ(olktest::ReadTree(dir), expected);
}

// Each failure comes from a real cause, and the folder is exactly as it
// was afterwards: no file changed, nothing added, no staging folder left.
TEST_F(ApplyTest, EveryFailureLeavesTheFolderAsItWas) {
  const std::vector<uint8_t> patch = olktest::MakePatch(OldClient(), NewClient());
  struct Case {
    const char* name;
    olk::Result expected;
    std::function<void(Tree*)> change_install;
    std::function<void(olktest::FaultyFs*)> faults;
    std::function<void(std::vector<uint8_t>*)> change_patch;
  };
  Case cases[] = {
      {"patch data damaged", olk::Result::kBadPatch, nullptr, nullptr,
       [](std::vector<uint8_t>* p) { (*p)[p->size() / 2] ^= 0x20; }},
      {"patch data cut short", olk::Result::kBadPatch, nullptr, nullptr,
       [](std::vector<uint8_t>* p) { p->resize(p->size() - 100); }},
      {"file to change is missing", olk::Result::kOldFileMissing, [](Tree* t) { t->erase("vorn.dll"); }, nullptr,
       nullptr},
      {"file to change was edited", olk::Result::kOldFileMismatch, [](Tree* t) { (*t)["vorn.dll"][5] ^= 1; }, nullptr,
       nullptr},
      {"file to change has another size", olk::Result::kOldFileMismatch,
       [](Tree* t) { (*t)["zorp.ini"] += "\r\n"; }, nullptr, nullptr},
      {"file to remove was edited", olk::Result::kOldFileMismatch, [](Tree* t) { (*t)["obsolete.txt"] = "mine"; },
       nullptr, nullptr},
      {"a folder has the name of a new file", olk::Result::kCannotCreate,
       [](Tree* t) { (*t)["data\\maps\\zone2.map"] = kDir; }, nullptr, nullptr},
      {"a file has the name of a new folder", olk::Result::kCannotCreate,
       [](Tree* t) { (*t)["data\\new"] = "file"; }, nullptr, nullptr},
      {"not enough free space", olk::Result::kDiskFull, nullptr, [](olktest::FaultyFs* fs) { fs->free_space = 4096; },
       nullptr},
      {"disk fills up while staging", olk::Result::kDiskFull, nullptr,
       [](olktest::FaultyFs* fs) { fs->write_budget = 200000; }, nullptr},
      {"staged file cannot be created", olk::Result::kCannotCreate, nullptr,
       [](olktest::FaultyFs* fs) {
         fs->create_fails = ".olkpatch\\n";
         fs->create_status = olk::IoStatus::kIoError;
       },
       nullptr},
      {"install folder is read-only", olk::Result::kFileInUse, nullptr,
       [](olktest::FaultyFs* fs) {
         fs->create_fails = ".olkpatch\\n";
         fs->create_status = olk::IoStatus::kAccessDenied;
       },
       nullptr},
      {"a file in the middle is locked", olk::Result::kFileInUse, nullptr,
       [](olktest::FaultyFs* fs) { fs->locked = "vorn.dll"; }, nullptr},
      {"the last new file cannot be put in place", olk::Result::kFileInUse, nullptr,
       [](olktest::FaultyFs* fs) { fs->locked = "\xE6\x97\xA5\xE6\x9C\xAC.txt"; }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tree installed = OldClient();
    if (c.change_install) c.change_install(&installed);
    const std::string dir = Install(installed);
    const Tree before = olktest::ReadTree(dir);
    std::vector<uint8_t> p = patch;
    if (c.change_patch) c.change_patch(&p);
    auto native = olk::NewNativeFileSystem(dir);
    olktest::FaultyFs fs(native.get());
    if (c.faults) c.faults(&fs);
    EXPECT_EQ(olktest::Apply(dir, p, &fs), c.expected);
    EXPECT_EQ(olktest::ReadTree(dir), before);
    olktest::RemoveAll(dir);
  }
}

TEST_F(ApplyTest, UnreadablePatchFile) {
  const std::string dir = Install(OldClient());
  const Tree before = olktest::ReadTree(dir);
  olktest::MemFile patch(olktest::MakePatch(OldClient(), NewClient()));
  patch.fail_reads_from = 100;
  auto fs = olk::NewNativeFileSystem(dir);
  EXPECT_EQ(olk::ApplyPatch(*fs, patch, olk::ApplyOptions()), olk::Result::kCannotOpenPatch);
  EXPECT_EQ(olktest::ReadTree(dir), before);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OLK_TEST_ASAN 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(OLK_TEST_ASAN)
TEST_F(ApplyTest, OutOfMemoryInAChildProcess) {
  // Patch data with a large manifest, applied in a child whose address
  // space is capped just above what it already uses.
  std::vector<olk::PatchEntry> entries(200000);
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].kind = olk::EntryKind::kAddFolder;
    entries[i].path = "folder" + std::to_string(i);
  }
  olktest::MemFile patch(olktest::SealEntries(entries));
  const std::string dir = Install({{"keep", "x"}});
  const Tree before = olktest::ReadTree(dir);
  auto fs = olk::NewNativeFileSystem(dir);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (4 << 20);
    setrlimit(RLIMIT_AS, &lim);
    _exit(olk::ResultCode(olk::ApplyPatch(*fs, patch, olk::ApplyOptions())));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed instead of reporting";
  EXPECT_EQ(WEXITSTATUS(status), olk::ResultCode(olk::Result::kNoMemory));
  EXPECT_EQ(olktest::ReadTree(dir), before);
}
#endif

// The process may die at any instant (the user closes the window while
// staging, the power fails during the commit). Stop the disk after every
// possible number of changes, and check that the next run rolls back or
// completes what was left, before it applies the patch as usual.
TEST_F(ApplyTest, InterruptedRunIsRecoveredByTheNextRun) {
  const Tree from = OldClient(), to = NewClient();
  const std::vector<uint8_t> patch = olktest::MakePatch(from, to);

  int64_t total = 0;
  {
    const std::string dir = Install(from);
    auto native = olk::NewNativeFileSystem(dir);
    olktest::FaultyFs counter(native.get());
    ASSERT_EQ(olktest::Apply(dir, patch, &counter), olk::Result::kOk);
    total = counter.mutations;
    olktest::RemoveAll(dir);
  }
  ASSERT_GT(total, 20);
  for (int64_t stop = 0; stop < total; ++stop) {
    SCOPED_TRACE("disk stopped after " + std::to_string(stop) + " changes");
    const std::string dir = Install(from);
    auto native = olk::NewNativeFileSystem(dir);
    olktest::FaultyFs dying(native.get());
    dying.freeze_after = stop;
    olk::Result first = olktest::Apply(dir, patch, &dying);
    const Tree left = olktest::ReadTree(dir);

    // What the next run finds first: its recovery alone.
    ASSERT_EQ(olk::RecoverInstall(*native, nullptr), olk::Result::kOk);
    const Tree recovered = olktest::ReadTree(dir);
    EXPECT_TRUE(recovered == from || (recovered == to && first == olk::Result::kOk) ||
                (recovered == to && left.count(".olkpatch") && !left.count(".olkpatch\\journal")))
        << "neither the old nor the new version";
    ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir), to);
    olktest::RemoveAll(dir);
  }
}

TEST_F(ApplyTest, NotificationsInOrderAndNoneDuringTheCommit) {
  const std::string dir = Install(OldClient());
  auto native = olk::NewNativeFileSystem(dir);
  olktest::FaultyFs fs(native.get());
  olktest::CallbackRecorder rec;
  std::vector<std::string> timeline;
  fs.on_change = [&](const std::string& what) { timeline.push_back("fs " + what); };
  rec.on_note = [&](const olktest::Note& n) { timeline.push_back("note " + std::to_string(n.id)); };
  ASSERT_EQ(olktest::Apply(dir, olktest::MakePatch(OldClient(), NewClient()), &fs, rec.callback()),
            olk::Result::kOk);

  const auto& notes = rec.notes;
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes.front().id, 22u);
  // Items: a count first; then 7 (named), some 5s ending at whole, 8.
  uint32_t announced = 0, items = 0;
  bool in_item = false;
  uint32_t last_progress = 0;
  for (const auto& n : notes) {
    switch (n.id) {
      case 6:
        announced = n.value;
        break;
      case 7:
        EXPECT_FALSE(in_item);
        EXPECT_FALSE(n.text.empty());
        in_item = true;
        ++items;
        last_progress = 0;
        break;
      case 5:
        EXPECT_TRUE(in_item);
        EXPECT_GE(n.value & 0xFFFF, last_progress & 0xFFFF);
        EXPECT_LE(n.value, 0x8000u);
        last_progress = n.value;
        break;
      case 8:
        EXPECT_TRUE(in_item);
        EXPECT_EQ(last_progress, 0x8000u);
        in_item = false;
        break;
      case 1: case 2: case 3: case 4: case 22:
        break;
      default:
        ADD_FAILURE() << "unexpected id " << n.id;
    }
  }
  EXPECT_FALSE(in_item);
  EXPECT_GT(items, 1u);
  EXPECT_EQ(items, announced);  // the last count covers every item
  // The commit: from the journal's arrival to the commit point, only the
  // disk.
  size_t begin = 0, end = 0;
  for (size_t i = 0; i < timeline.size(); ++i) {
    if (timeline[i] == "fs rename .olkpatch\\journal.tmp -> .olkpatch\\journal") begin = i;
    if (timeline[i] == "fs rename .olkpatch\\journal -> .olkpatch\\committed") end = i;
  }
  ASSERT_LT(begin, end);
  for (size_t i = begin; i < end; ++i) EXPECT_EQ(timeline[i].compare(0, 3, "fs "), 0) << timeline[i];
}

}  // namespace
