#include "journal.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>

#include "bytes.h"
#include "hash.h"
#include "patch_format.h"

namespace olk {

namespace {
constexpr char kJournalMagic[8] = {'O', 'L', 'K', 'J', 'R', 'N', 'L', '1'};
/* Far above any real journal (a step per manifest entry and two per file),
 * low enough that a planted file cannot exhaust memory. */
constexpr uint64_t kMaxJournalSize = 64u << 20;
constexpr size_t kNumberDigits = 8;
}  // namespace

const char* const kJournalName = "journal";
const char* const kCommittedName = "committed";
const char* const kJournalTempName = "journal.tmp";

std::string StagingPath(const char* name) { return std::string(kStagingFolder) + "\\" + name; }

static std::string Numbered(char prefix, size_t index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%c%08zu", prefix, index);
  return StagingPath(buf);
}

std::string StagedFilePath(size_t index) { return Numbered('n', index); }
std::string BackupFilePath(size_t index) { return Numbered('o', index); }
std::string WasteFilePath(size_t index) { return Numbered('z', index); }

StagingName ClassifyStagingName(const std::string& name) {
  if (name == kJournalName) return StagingName::kJournal;
  if (name == kCommittedName) return StagingName::kCommitted;
  if (name == kJournalTempName) return StagingName::kJournalTemp;
  if (name.size() != 1 + kNumberDigits) return StagingName::kUnknown;
  for (size_t i = 1; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return StagingName::kUnknown;
  switch (name[0]) {
    case 'n': return StagingName::kStaged;
    case 'o': return StagingName::kBackup;
    case 'z': return StagingName::kWaste;
    default: return StagingName::kUnknown;
  }
}

/* The name inside the staging folder when `path` is "<staging>\\<name>"
 * with a name of the given kind; else empty. */
static std::string StagingMember(const std::string& path, StagingName kind) {
  const size_t n = std::strlen(kStagingFolder);
  if (path.size() <= n + 1 || path.compare(0, n, kStagingFolder) != 0 || path[n] != '\\') return std::string();
  std::string name = path.substr(n + 1);
  return ClassifyStagingName(name) == kind ? name : std::string();
}

bool IsWellFormedJournal(const std::vector<Step>& steps) {
  std::unordered_set<std::string> staging_names, backed_up, placed, made, removed;
  for (const Step& s : steps) {
    if (!IsSafeRelativePath(s.to) && s.type != Step::kMove) return false;
    switch (s.type) {
      case Step::kMove: {
        std::string name;
        if (IsSafeRelativePath(s.from)) {
          name = StagingMember(s.to, StagingName::kBackup);
          if (name.empty() || !backed_up.insert(FoldCase(s.from)).second) return false;
        } else {
          name = StagingMember(s.from, StagingName::kStaged);
          if (name.empty() || !IsSafeRelativePath(s.to) || !placed.insert(FoldCase(s.to)).second) return false;
        }
        if (!staging_names.insert(name).second) return false;
        break;
      }
      case Step::kMakeDir:
        if (!s.from.empty() || !made.insert(FoldCase(s.to)).second) return false;
        break;
      case Step::kRemoveDir:
        if (!s.from.empty() || !removed.insert(FoldCase(s.to)).second) return false;
        break;
      default:
        return false;
    }
  }
  /* A file goes where a folder goes, or a folder where a file goes, only
   * in that order: a folder made where a file is placed, or a folder
   * removed where a file is moved aside, is no commit of ours. */
  for (const std::string& p : made)
    if (placed.count(p)) return false;
  for (const std::string& p : removed)
    if (backed_up.count(p)) return false;
  return true;
}

IoStatus WriteJournal(FileSystem& fs, const std::vector<Step>& steps, bool durable) {
  std::vector<uint8_t> data;
  try {
    PutBytes(&data, kJournalMagic, 8);
    PutLE(&data, steps.size(), 4);
    for (const Step& s : steps) {
      PutU8(&data, s.type);
      PutLE(&data, s.from.size(), 2);
      PutBytes(&data, s.from.data(), s.from.size());
      PutLE(&data, s.to.size(), 2);
      PutBytes(&data, s.to.data(), s.to.size());
    }
    Hash128 h = HashBytes(data.data(), data.size());
    PutBytes(&data, h.bytes, 16);
  } catch (const std::bad_alloc&) {
    return IoStatus::kNoMemory;
  }
  const std::string tmp = StagingPath(kJournalTempName);
  fs.RemoveFile(tmp);
  std::unique_ptr<File> f;
  IoStatus s = fs.CreateNew(tmp, &f);
  if (s != IoStatus::kOk) return s;
  s = f->Write(data.data(), data.size());
  if (s == IoStatus::kOk && durable) s = f->Flush();
  IoStatus c = f->Close();
  if (s == IoStatus::kOk) s = c;
  if (s == IoStatus::kOk) s = fs.Rename(tmp, StagingPath(kJournalName));
  if (s != IoStatus::kOk) fs.RemoveFile(tmp);
  return s;
}

IoStatus ReadJournal(FileSystem& fs, const char* name, std::vector<Step>* steps) {
  steps->clear();
  std::unique_ptr<File> f;
  IoStatus s = fs.OpenRead(StagingPath(name), &f);
  if (s != IoStatus::kOk) return s;
  const uint64_t size = f->Size();
  if (size < 8 + 4 + 16 || size > kMaxJournalSize) return IoStatus::kIoError;
  std::vector<uint8_t> data;
  try {
    data.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return IoStatus::kNoMemory;
  }
  size_t got = 0;
  s = f->ReadAt(0, data.data(), data.size(), &got);
  if (s != IoStatus::kOk) return s;
  if (got != data.size()) return IoStatus::kIoError;
  Hash128 h = HashBytes(data.data(), data.size() - 16);
  if (std::memcmp(h.bytes, data.data() + data.size() - 16, 16) != 0) return IoStatus::kIoError;
  if (std::memcmp(data.data(), kJournalMagic, 8) != 0) return IoStatus::kIoError;
  ByteReader in(data.data() + 8, data.size() - 8 - 16);
  uint64_t count;
  if (!in.LE(&count, 4)) return IoStatus::kIoError;
  /* A step takes at least 5 bytes: a count beyond that is damage. */
  if (count > in.Remaining() / 5) return IoStatus::kIoError;
  try {
    steps->reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
      Step st;
      uint8_t type;
      uint64_t len;
      if (!in.U8(&type) || type < 1 || type > 3) return IoStatus::kIoError;
      st.type = static_cast<Step::Type>(type);
      if (!in.LE(&len, 2) || !in.Str(&st.from, static_cast<size_t>(len))) return IoStatus::kIoError;
      if (!in.LE(&len, 2) || !in.Str(&st.to, static_cast<size_t>(len))) return IoStatus::kIoError;
      steps->push_back(std::move(st));
    }
    if (in.Remaining() != 0 || !IsWellFormedJournal(*steps)) {
      steps->clear();
      return IoStatus::kIoError;
    }
  } catch (const std::bad_alloc&) {
    return IoStatus::kNoMemory;
  }
  return IoStatus::kOk;
}

}  // namespace olk
