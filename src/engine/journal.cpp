#include "journal.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "bytes.h"
#include "hash.h"
#include "patch_format.h"

namespace olk {

namespace {
constexpr char kJournalMagic[8] = {'O', 'L', 'K', 'J', 'R', 'N', 'L', '1'};
constexpr const char* kJournalTemp = "journal.tmp";
}  // namespace

const char* const kJournalName = "journal";

std::string StagingPath(const char* name) { return std::string(kStagingFolder) + "\\" + name; }

static std::string Numbered(char prefix, size_t index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%c%08zu", prefix, index);
  return StagingPath(buf);
}

std::string StagedFilePath(size_t index) { return Numbered('n', index); }
std::string BackupFilePath(size_t index) { return Numbered('o', index); }

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
  const std::string tmp = StagingPath(kJournalTemp);
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

IoStatus ReadJournal(FileSystem& fs, std::vector<Step>* steps) {
  steps->clear();
  std::unique_ptr<File> f;
  IoStatus s = fs.OpenRead(StagingPath(kJournalName), &f);
  if (s != IoStatus::kOk) return s == IoStatus::kNotFound ? IoStatus::kNotFound : s;
  const uint64_t size = f->Size();
  if (size < 8 + 4 + 16 || size > (256u << 20)) return IoStatus::kNotFound;
  std::vector<uint8_t> data;
  try {
    data.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return IoStatus::kNoMemory;
  }
  size_t got = 0;
  s = f->ReadAt(0, data.data(), data.size(), &got);
  if (s != IoStatus::kOk) return s;
  if (got != data.size()) return IoStatus::kNotFound;
  Hash128 h = HashBytes(data.data(), data.size() - 16);
  if (std::memcmp(h.bytes, data.data() + data.size() - 16, 16) != 0) return IoStatus::kNotFound;
  if (std::memcmp(data.data(), kJournalMagic, 8) != 0) return IoStatus::kNotFound;
  ByteReader in(data.data() + 8, data.size() - 8 - 16);
  uint64_t count;
  if (!in.LE(&count, 4)) return IoStatus::kNotFound;
  try {
    for (uint64_t i = 0; i < count; ++i) {
      Step st;
      uint8_t type;
      uint64_t len;
      if (!in.U8(&type) || type < 1 || type > 3) return IoStatus::kNotFound;
      st.type = static_cast<Step::Type>(type);
      if (!in.LE(&len, 2) || !in.Str(&st.from, static_cast<size_t>(len))) return IoStatus::kNotFound;
      if (!in.LE(&len, 2) || !in.Str(&st.to, static_cast<size_t>(len))) return IoStatus::kNotFound;
      steps->push_back(std::move(st));
    }
  } catch (const std::bad_alloc&) {
    return IoStatus::kNoMemory;
  }
  return in.Remaining() == 0 ? IoStatus::kOk : IoStatus::kNotFound;
}

IoStatus UndoSteps(FileSystem& fs, const std::vector<Step>& steps, size_t count) {
  IoStatus first = IoStatus::kOk;
  for (size_t i = count; i-- > 0;) {
    const Step& st = steps[i];
    EntryInfo a, b;
    IoStatus s = fs.Stat(st.to, &b);
    if (s == IoStatus::kOk) {
      switch (st.type) {
        case Step::kMove:
          s = fs.Stat(st.from, &a);
          if (s == IoStatus::kOk && a.type == EntryType::kNone && b.type == EntryType::kFile)
            s = fs.Rename(st.to, st.from);
          break;
        case Step::kMakeDir:
          if (b.type == EntryType::kDirectory) {
            s = fs.RemoveDir(st.to);
            if (s == IoStatus::kNotEmpty) s = IoStatus::kOk; /* something else lives there now: keep it */
          }
          break;
        case Step::kRemoveDir:
          if (b.type == EntryType::kNone) s = fs.MakeDir(st.to);
          break;
      }
    }
    if (s != IoStatus::kOk && first == IoStatus::kOk) first = s;
  }
  return first;
}

}  // namespace olk
