// Power cuts at every step of an apply, and of the recovery that follows.
//
// One full apply runs on an in-memory install folder that records every
// change and flush. Then, for every point of that record, the disk as a
// power cut there could leave it is rebuilt, in two models:
//   ordered: the changes up to the point survive; file data not flushed
//            is lost (zeroed, cut back to what was flushed, or kept);
//   weak:    besides, any of the changes since the last folder sync may be
//            lost (a file system free to reorder until told to sync).
// On each such disk, recovery alone (what the next run does first) must
// leave exactly the old build or exactly the new one, with no staging
// folder; then a full apply must give the new build. A second power cut
// during that recovery is checked the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "commit.h"
#include "engine_test_support.h"
#include "journal.h"
#include "mem_fs.h"

using olktest::DiskOp;
using olktest::kDir;
using olktest::LostData;
using olktest::MemFs;
using olktest::Tree;

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OLK_CRASH_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(OLK_CRASH_SANITIZED)
// Under the sanitizers every step costs tens of times as much: check one
// crash point in 32 there; the plain build checks them all.
constexpr size_t kPointStride = 32;
#else
constexpr size_t kPointStride = 1;
#endif

std::string Bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

// A client of a couple of hundred small files in nested folders, and its
// next build with every kind of change: changed, added and removed files
// and folders, a file that becomes a folder and a folder that becomes a
// file, and a file renamed into another folder (added as a copy of an old
// file that the patch removes, staged as a second name of it).
Tree OldBuild() {
  Tree t;
  for (int d = 0; d < 6; ++d) {
    const std::string dir = "data" + std::to_string(d);
    t[dir] = kDir;
    t[dir + "\\sub"] = kDir;
    for (int f = 0; f < 24; ++f) t[dir + "\\f" + std::to_string(f) + ".bin"] = Bytes(200 + 37 * f, d * 100 + f);
    for (int f = 0; f < 8; ++f) t[dir + "\\sub\\g" + std::to_string(f) + ".txt"] = Bytes(90 + f, d * 1000 + f);
  }
  t["olk.exe"] = Bytes(6000, 1);
  t["becomes_folder"] = "a file today";
  t["becomes_file"] = kDir;
  t["becomes_file\\inside.txt"] = "goes away";
  t["old_folder"] = kDir;
  t["old_folder\\a.txt"] = "old a";
  t["old_folder\\deep"] = kDir;
  t["old_folder\\deep\\b.txt"] = "old b";
  return t;
}

Tree NewBuild() {
  Tree t = OldBuild();
  std::string exe = t["olk.exe"];
  exe.insert(3000, "new code");
  t["olk.exe"] = exe;
  for (int d = 0; d < 6; ++d) {
    const std::string dir = "data" + std::to_string(d);
    for (int f = 0; f < 24; f += 3) t[dir + "\\f" + std::to_string(f) + ".bin"][10] ^= 1;  // changed
    t.erase(dir + "\\f1.bin");                                                             // removed
    t[dir + "\\added" + std::to_string(d) + ".bin"] = Bytes(300, 5000 + d);               // added
    t[dir + "\\sub\\g2.txt"] += "more";
  }
  t["data1\\renamed.bin"] = OldBuild().at("data0\\f1.bin");  // removed above
  t.erase("becomes_folder");
  t["becomes_folder"] = kDir;
  t["becomes_folder\\now.txt"] = "a folder now";
  t.erase("becomes_file\\inside.txt");
  t["becomes_file"] = "a file now";
  t.erase("old_folder");
  t.erase("old_folder\\a.txt");
  t.erase("old_folder\\deep");
  t.erase("old_folder\\deep\\b.txt");
  t["new_folder"] = kDir;
  t["new_folder\\deep"] = kDir;
  t["new_folder\\deep\\c.txt"] = "new c";
  return t;
}

olk::Result ApplyTo(MemFs* fs, const std::vector<uint8_t>& patch, olk::ProgressCallback cb = nullptr) {
  olktest::MemFile file(patch);
  olk::ApplyOptions options;
  options.callback = cb;
  return olk::ApplyPatch(*fs, file, options);
}

class CrashTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    old_ = new Tree(OldBuild());
    new_ = new Tree(NewBuild());
    patch_ = new std::vector<uint8_t>(olktest::MakePatch(*old_, *new_));
  }
  static void TearDownTestSuite() {
    delete old_;
    delete new_;
    delete patch_;
  }

  // Recovery alone on `disk` must leave one whole build; then an apply
  // must give the new one. Returns a description of the failure, or "".
  static std::string CheckNextRun(MemFs disk) {
    if (olk::RecoverInstall(disk, nullptr) != olk::Result::kOk) return "recovery failed";
    const Tree after = disk.ToTree();
    if (after != *old_ && after != *new_) return Describe(after);
    if (ApplyTo(&disk, *patch_) != olk::Result::kOk) return "the next apply failed";
    if (disk.ToTree() != *new_) return "the next apply did not give the new build";
    return "";
  }

  // The record of one whole apply from the old build, which must succeed.
  static std::vector<DiskOp> RecordApply(const MemFs& start) {
    std::vector<DiskOp> ops;
    MemFs fs = start.Clone();
    fs.record = &ops;
    EXPECT_EQ(ApplyTo(&fs, *patch_), olk::Result::kOk);
    EXPECT_EQ(fs.ToTree(), *new_);
    // The renamed file is staged as a second name of the removed one; the
    // cuts below must meet that too.
    EXPECT_TRUE(std::any_of(ops.begin(), ops.end(), [](const DiskOp& op) { return op.kind == DiskOp::kLink; }));
    return ops;
  }

  static std::string Describe(const Tree& t) {
    std::string out = "neither build:";
    for (const Tree* ref : {old_, new_}) {
      size_t differ = 0;
      std::string first;
      for (const auto& kv : t) {
        auto it = ref->find(kv.first);
        if (it == ref->end() || it->second != kv.second) {
          if (!differ++) first = kv.first;
        }
      }
      for (const auto& kv : *ref)
        if (!t.count(kv.first) && !differ++) first = kv.first + " (missing)";
      out += " " + std::to_string(differ) + " differ from " + (ref == old_ ? "old" : "new") + " (" + first + ")";
    }
    return out;
  }

  static Tree* old_;
  static Tree* new_;
  static std::vector<uint8_t>* patch_;
};
Tree* CrashTest::old_;
Tree* CrashTest::new_;
std::vector<uint8_t>* CrashTest::patch_;

TEST_F(CrashTest, PowerCutAtEveryStepLeavesOneWholeBuild) {
  const MemFs start(*old_);
  const std::vector<DiskOp> ops = RecordApply(start);
  ASSERT_GT(ops.size(), 300u);
  {
    olktest::MemFile file(*patch_);
    olk::PatchInfo info;
    ASSERT_EQ(olk::ReadPatch(file, &info), olk::Result::kOk);
    EXPECT_TRUE(std::any_of(info.entries.begin(), info.entries.end(),
                            [](const olk::PatchEntry& e) { return e.source == "data0\\f1.bin"; }));
  }

  std::mt19937 rng(42);
  size_t ordered_points = 0, weak_points = 0, recovery_points = 0, failures = 0;
  auto check = [&](const MemFs& disk, const std::string& where) {
    const std::string why = CheckNextRun(disk.Clone());
    if (!why.empty() && ++failures <= 10) ADD_FAILURE() << where << ": " << why;
  };
  const LostData kHows[] = {LostData::kKept, LostData::kZeroed, LostData::kCutBack};
  const char* const kHowNames[] = {"kept", "zeroed", "cut back"};

  for (size_t cut = 0; cut <= ops.size(); cut += kPointStride) {
    const std::string at = "cut after " + std::to_string(cut) + " of " + std::to_string(ops.size()) + " ops";
    // Ordered model, each fate of unflushed data.
    for (int h = 0; h < 3; ++h) {
      check(olktest::DiskAfterCut(start, ops, cut, {}, kHows[h]), at + ", data " + kHowNames[h]);
      ++ordered_points;
    }
    // Weak model: all, none but the first, and random subsets of the
    // changes since the last sync are lost.
    const size_t synced = olktest::LastSyncBefore(ops, cut);
    std::vector<size_t> pending;
    for (size_t i = synced; i < cut; ++i)
      if (ops[i].IsMetadata()) pending.push_back(i);
    if (pending.empty()) continue;
    // Lost: all of them; only the last; all but the last; all but the
    // first; every other one (both ways); and random subsets.
    std::vector<std::vector<size_t>> losses = {pending, {pending.back()}};
    if (pending.size() > 1) {
      losses.push_back(std::vector<size_t>(pending.begin(), pending.end() - 1));
      losses.push_back(std::vector<size_t>(pending.begin() + 1, pending.end()));
      for (size_t parity = 0; parity < 2; ++parity) {
        std::vector<size_t> lost;
        for (size_t i = parity; i < pending.size(); i += 2) lost.push_back(pending[i]);
        losses.push_back(lost);
      }
    }
    for (int k = 0; k < 3; ++k) {
      std::vector<size_t> lost;
      for (size_t i : pending)
        if (rng() & 1) lost.push_back(i);
      losses.push_back(lost);
    }
    for (const auto& lost : losses) {
      check(olktest::DiskAfterCut(start, ops, cut, lost, LostData::kZeroed),
            at + ", weak, " + std::to_string(lost.size()) + " of " + std::to_string(pending.size()) + " lost");
      ++weak_points;
    }
  }

  // A second power cut while the next run recovers: take the disks that
  // recovery has work on, record that recovery, and cut it at every step.
  // Recovery writes no file data, so kept data is the case that matters;
  // the full sweep (OLK_CRASH_SWEEP=full, scripts/crash-sweep.sh) takes
  // every disk and zeroed data too.
  const bool full = std::getenv("OLK_CRASH_SWEEP") && std::string(std::getenv("OLK_CRASH_SWEEP")) == "full";
  const size_t stride = full ? 1 : 4 * kPointStride;
  std::vector<LostData> recovery_hows = {LostData::kKept};
  if (full) recovery_hows.push_back(LostData::kZeroed);
  for (size_t cut = 0; cut <= ops.size(); cut += stride) {
    const MemFs disk = olktest::DiskAfterCut(start, ops, cut, {}, LostData::kKept);
    std::vector<DiskOp> rops;
    {
      MemFs fs = disk.Clone();
      fs.record = &rops;
      if (olk::RecoverInstall(fs, nullptr) != olk::Result::kOk) continue;  // reported above
    }
    for (size_t rcut = 0; rcut < rops.size(); ++rcut) {
      for (LostData how : recovery_hows) {
        check(olktest::DiskAfterCut(disk, rops, rcut, {}, how),
              "cut after " + std::to_string(cut) + " ops, then after " + std::to_string(rcut) + " of recovery");
        ++recovery_points;
      }
    }
  }

  std::printf("crash points checked: %zu ordered, %zu weak, %zu during recovery; %zu failed\n", ordered_points,
              weak_points, recovery_points, failures);
  RecordProperty("ordered_points", static_cast<int>(ordered_points));
  RecordProperty("weak_points", static_cast<int>(weak_points));
  RecordProperty("recovery_points", static_cast<int>(recovery_points));
  EXPECT_EQ(failures, 0u);
}

// When the engine reports success, the new build is on disk: a power cut
// right after loses nothing, even on a disk that keeps only what was
// synced.
TEST_F(CrashTest, SuccessIsDurable) {
  const MemFs start(*old_);
  const std::vector<DiskOp> ops = RecordApply(start);
  std::vector<size_t> unsynced;
  for (size_t i = olktest::LastSyncBefore(ops, ops.size()); i < ops.size(); ++i) unsynced.push_back(i);
  EXPECT_EQ(olktest::DiskAfterCut(start, ops, ops.size(), unsynced, LostData::kZeroed).ToTree(), *new_);
}

// A scanner holds the commit's record open, so deleting it is only
// deferred, and the power fails before it is gone, after the backups
// were deleted. The next run must not take the commit for unfinished.
TEST_F(CrashTest, DeferredDeleteOfTheRecordLosesNothing) {
  MemFs fs(*old_);
  for (const char* name : {olk::kJournalName, olk::kCommittedName})
    fs.deferred_removals.insert(olk::StagingPath(name));
  ASSERT_EQ(ApplyTo(&fs, *patch_), olk::Result::kOk);
  fs.deferred_removals.clear();
  ASSERT_EQ(olk::RecoverInstall(fs, nullptr), olk::Result::kOk);
  EXPECT_EQ(fs.ToTree(), *new_);
}

// A commit cut short leaves a journal and backups; if that journal is
// then damaged or was planted, recovery must touch nothing and say so.
TEST_F(CrashTest, DamagedOrForeignJournalIsNeverActedOn) {
  const MemFs start(*old_);
  const std::vector<DiskOp> ops = RecordApply(start);
  // The point where half of the commit's moves are done.
  size_t journal_at = 0, committed_at = 0;
  for (size_t i = 0; i < ops.size(); ++i) {
    if (ops[i].kind == DiskOp::kRename && ops[i].path2 == olk::StagingPath(olk::kJournalName)) journal_at = i;
    if (ops[i].kind == DiskOp::kRename && ops[i].path2 == olk::StagingPath(olk::kCommittedName)) committed_at = i;
  }
  ASSERT_LT(journal_at, committed_at);
  const MemFs midway = olktest::DiskAfterCut(start, ops, (journal_at + committed_at) / 2, {}, LostData::kKept);
  const std::string journal = olk::StagingPath(olk::kJournalName);

  struct Case {
    const char* name;
    std::function<void(MemFs*)> damage;
  };
  auto rewrite = [&](MemFs* fs, const std::function<void(std::string*)>& edit) {
    std::unique_ptr<olk::File> f;
    ASSERT_EQ(fs->OpenRead(journal, &f), olk::IoStatus::kOk);
    std::string bytes(f->Size(), '\0');
    size_t got;
    f->ReadAt(0, &bytes[0], bytes.size(), &got);
    f.reset();
    edit(&bytes);
    ASSERT_EQ(fs->RemoveFile(journal), olk::IoStatus::kOk);
    ASSERT_EQ(fs->CreateNew(journal, &f), olk::IoStatus::kOk);
    f->Write(bytes.data(), bytes.size());
  };
  auto plant = [&](MemFs* fs, std::vector<olk::Step> steps) {
    ASSERT_EQ(fs->RemoveFile(journal), olk::IoStatus::kOk);
    ASSERT_EQ(olk::WriteJournal(*fs, steps, false), olk::IoStatus::kOk);
  };
  const Case cases[] = {
      {"a byte flipped", [&](MemFs* fs) { rewrite(fs, [](std::string* b) { (*b)[b->size() / 2] ^= 4; }); }},
      {"cut short", [&](MemFs* fs) { rewrite(fs, [](std::string* b) { b->resize(b->size() - 20); }); }},
      {"step count far beyond the file",
       [&](MemFs* fs) { rewrite(fs, [](std::string* b) { (*b)[11] = '\x7f'; }); }},
      {"a move between two client files",
       [&](MemFs* fs) { plant(fs, {{olk::Step::kMove, "olk.exe", "data0\\f0.bin"}}); }},
      {"a move out of the client",
       [&](MemFs* fs) { plant(fs, {{olk::Step::kMove, olk::StagingPath("n00000001"), "..\\outside.txt"}}); }},
      {"a backup moved into a staged name",
       [&](MemFs* fs) { plant(fs, {{olk::Step::kMove, "olk.exe", olk::StagingPath("n00000001")}}); }},
      {"a folder made inside the staging folder",
       [&](MemFs* fs) { plant(fs, {{olk::Step::kMakeDir, "", olk::StagingPath("x")}}); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemFs fs = midway.Clone();
    c.damage(&fs);
    const Tree before = fs.ToTree();
    olktest::CallbackRecorder rec;
    EXPECT_EQ(olk::RecoverInstall(fs, rec.callback()), olk::Result::kOldFileMismatch);
    EXPECT_EQ(fs.ToTree(), before);
    bool told = false;
    for (const auto& n : rec.notes) told |= n.id == 3 && n.text.find(".olkpatch") != std::string::npos;
    EXPECT_TRUE(told) << "no log line that names the staging folder";
    // The whole apply stops the same way, before it changes anything.
    EXPECT_EQ(ApplyTo(&fs, *patch_), olk::Result::kOldFileMismatch);
    EXPECT_EQ(fs.ToTree(), before);
  }
}

// Backups without any journal were not made by a commit: never deleted.
TEST_F(CrashTest, BackupsWithoutJournalAreKept) {
  MemFs fs(*old_);
  ASSERT_EQ(fs.MakeDir(".olkpatch"), olk::IoStatus::kOk);
  ASSERT_EQ(fs.Rename("olk.exe", olk::BackupFilePath(3)), olk::IoStatus::kOk);
  const Tree before = fs.ToTree();
  EXPECT_EQ(olk::RecoverInstall(fs, nullptr), olk::Result::kOldFileMismatch);
  EXPECT_EQ(fs.ToTree(), before);
}

// A backup that cannot be deleted yet (the old client still runs from
// it) is set aside; it blocks neither this run nor the next, and goes
// once it is free.
TEST_F(CrashTest, UndeletableBackupIsLeftForLater) {
  MemFs fs(*old_);
  std::vector<std::string> backups;
  for (size_t i = 0; i < 400; ++i) fs.undeletable.insert(olk::BackupFilePath(i));
  olktest::CallbackRecorder rec;
  ASSERT_EQ(ApplyTo(&fs, *patch_, rec.callback()), olk::Result::kOk);
  bool warned = false;
  for (const auto& n : rec.notes) warned |= n.id == 2 && n.text.find("leftovers") != std::string::npos;
  EXPECT_TRUE(warned);
  Tree t = fs.ToTree();
  EXPECT_TRUE(t.count(".olkpatch"));
  for (auto it = t.begin(); it != t.end();) it = it->first.compare(0, 9, ".olkpatch") == 0 ? t.erase(it) : ++it;
  EXPECT_EQ(t, *new_);

  // The next run (here: the same patch again, which finds nothing to do,
  // and one back to the old build) is not blocked.
  fs.undeletable.clear();
  for (const auto& kv : fs.ToTree())
    if (kv.first.compare(0, 10, ".olkpatch\\") == 0) fs.undeletable.insert(kv.first);
  EXPECT_EQ(ApplyTo(&fs, olktest::MakePatch(*new_, *old_)), olk::Result::kOk);
  fs.undeletable.clear();
  EXPECT_EQ(olk::RecoverInstall(fs, nullptr), olk::Result::kOk);
  EXPECT_EQ(fs.ToTree(), *old_);
}

TEST_F(CrashTest, UnorderedVolumeIsNamedInTheLog) {
  MemFs fs(*old_);
  fs.ordered_volume = false;
  olktest::CallbackRecorder rec;
  ASSERT_EQ(ApplyTo(&fs, *patch_, rec.callback()), olk::Result::kOk);
  bool warned = false;
  for (const auto& n : rec.notes) warned |= n.id == 2 && n.text.find("FAT32") != std::string::npos;
  EXPECT_TRUE(warned);
  EXPECT_EQ(fs.ToTree(), *new_);
}

}  // namespace
