// libFuzzer target: the commit journal's reader and recovery, on an
// install folder in memory whose staging folder holds a fuzzed journal
// and a fuzzed set of staged files, backups and strangers.
//
// Besides not crashing, recovery must:
// - change nothing but the staging folder and the paths its journal names;
// - never delete a file outside the staging folder;
// - delete a backup only when every new file of a readable journal is in
//   place (it finished the commit), never on an unreadable one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "commit.h"
#include "journal.h"
#include "mem_fs.h"
#include "patch_format.h"

const std::string olktest::kDir = "<dir>";

namespace {

// Paths a journal step may name: the client's, the staging folder's, and
// some that no journal of ours holds.
const char* const kPaths[] = {
    "a.txt", "b\\c.txt", "b", "d", "d\\e.txt", "new.txt", "A.TXT",
    ".olkpatch\\n00000000", ".olkpatch\\n00000001", ".olkpatch\\o00000000", ".olkpatch\\o00000001",
    ".olkpatch\\z00000000", ".olkpatch\\journal", ".olkpatch\\stranger", "..\\outside", "C:\\x", "",
    ".olkpatch", "b\\..\\a.txt",
};
constexpr size_t kPathCount = sizeof(kPaths) / sizeof(kPaths[0]);
// Files the staging folder may hold (one bit each).
const char* const kStagingFiles[] = {"n00000000", "n00000001", "o00000000", "o00000001", "z00000000",
                                     "journal.tmp", "stranger"};

class Input {
 public:
  Input(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  uint8_t Byte() { return pos_ < n_ ? d_[pos_++] : 0; }
  bool Done() const { return pos_ >= n_; }
  std::string Rest() { std::string s(reinterpret_cast<const char*>(d_ + pos_), n_ - pos_); pos_ = n_; return s; }

 private:
  const uint8_t* d_;
  size_t n_, pos_ = 0;
};

bool InStaging(const std::string& p) { return p.compare(0, 10, ".olkpatch\\") == 0 || p == ".olkpatch"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t present = in.Byte();

  olktest::Tree tree = {{"a.txt", "old a"}, {"b", olktest::kDir}, {"b\\c.txt", "old c"}, {"d", olktest::kDir},
                        {".olkpatch", olktest::kDir}};
  if (flags & 1) tree.erase("a.txt");
  if (flags & 2) tree["new.txt"] = "new";
  for (size_t i = 0; i < sizeof(kStagingFiles) / sizeof(kStagingFiles[0]); ++i)
    if (present & (1u << i)) tree[std::string(".olkpatch\\") + kStagingFiles[i]] = std::string("staged ") + kStagingFiles[i];
  olktest::MemFs fs(tree);

  // The journal: steps over the paths above, or raw bytes.
  const char* name = (flags & 4) ? olk::kCommittedName : olk::kJournalName;
  if (flags & 8) {
    std::unique_ptr<olk::File> f;
    if (fs.CreateNew(olk::StagingPath(name), &f) == olk::IoStatus::kOk) {
      const std::string raw = in.Rest();
      f->Write(raw.data(), raw.size());
    }
  } else {
    std::vector<olk::Step> steps;
    while (!in.Done() && steps.size() < 16) {
      olk::Step s;
      s.type = static_cast<olk::Step::Type>(in.Byte() % 4);
      s.from = kPaths[in.Byte() % kPathCount];
      s.to = kPaths[in.Byte() % kPathCount];
      steps.push_back(s);
    }
    if (olk::WriteJournal(fs, steps, false) != olk::IoStatus::kOk) return 0;
    if (flags & 4) fs.Rename(olk::StagingPath(olk::kJournalName), olk::StagingPath(olk::kCommittedName));
  }
  if (flags & 16) fs.undeletable.insert(".olkpatch\\o00000000");

  std::vector<olk::Step> journal;
  const bool readable = olk::ReadJournal(fs, name, &journal) == olk::IoStatus::kOk;
  std::set<std::string> named;
  for (const olk::Step& s : journal) {
    named.insert(s.from);
    named.insert(s.to);
  }

  std::vector<olktest::DiskOp> ops;
  fs.record = &ops;
  olk::RecoverInstall(fs, nullptr);
  fs.record = nullptr;

  bool backup_removed = false;
  for (const olktest::DiskOp& op : ops) {
    for (const std::string* p : {&op.path, &op.path2}) {
      if (p->empty() && op.kind != olktest::DiskOp::kSyncDir && p == &op.path) abort();
      if (p->empty() || InStaging(*p)) continue;
      if (op.kind == olktest::DiskOp::kSyncDir) continue;
      if (!named.count(*p)) abort();  // a path no journal step names
    }
    if (op.kind == olktest::DiskOp::kRemoveFile) {
      if (!InStaging(op.path)) abort();               // a client file deleted
      if (op.path == ".olkpatch\\stranger") abort();  // not the engine's to delete
      if (olk::ClassifyStagingName(op.path.substr(10)) == olk::StagingName::kBackup) backup_removed = true;
    }
  }
  if (backup_removed) {
    if (!readable) abort();
    olk::EntryInfo info;
    for (const olk::Step& s : journal)
      if (s.type == olk::Step::kMove && InStaging(s.from) && (fs.Stat(s.to, &info), info.type != olk::EntryType::kFile))
        abort();  // a backup deleted although a new file is not in place
  }
  return 0;
}
