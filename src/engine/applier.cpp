/*
 * Applying patch data to an install folder.
 *
 * Order of work, chosen so that the install is usable at every instant:
 *   1. Resolve what an interrupted earlier run left behind.
 *   2. Check the patch data whole (checksum, structure, paths).
 *   3. Pre-flight: every file to change or remove is there with its
 *      expected size and hash (or already has its new contents), nothing
 *      blocks a new file or folder, and there is room for the staged files.
 *   4. Stage: write every new file into the staging folder inside the
 *      install folder and verify its hash (a file moved unchanged gets a
 *      second name there instead, checked the same way). Until here the
 *      install is untouched; a process killed now leaves only the staging
 *      folder, which the next run removes.
 *   5. Commit: write the journal, then move old files aside and staged
 *      files into place, make it durable, and mark it done; clean up.
 *      The protocol and its guarantees against crashes and power cuts
 *      are in commit.h.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "bytes.h"
#include "commit.h"
#include "hash.h"
#include "journal.h"
#include "olkeng/engine.h"
#include "patch_format.h"
#include "payload.h"

namespace olk {

namespace {

class Notifier {
 public:
  explicit Notifier(ProgressCallback cb) : cb_(cb) {}
  void Send(uint32_t id, const void* param) {
    if (cb_) cb_(id, param);
  }
  void Text(uint32_t id, const std::string& text) { Send(id, text.c_str()); }
  void Count(uint32_t n) { Send(kNotifyItemCount, &n); }
  void Progress(uint64_t done, uint64_t total) {
    uint32_t v = total ? static_cast<uint32_t>(std::min<uint64_t>(done, total) * kProgressWhole / total)
                       : kProgressWhole;
    Send(kNotifyItemProgress, &v);
  }

 private:
  ProgressCallback cb_;
};

/* Reports an item's progress often enough to keep the host's window alive,
 * but not for every chunk. */
class ItemProgress {
 public:
  ItemProgress(Notifier* note, uint64_t total)
      : note_(note), total_(total), step_(std::max<uint64_t>(total / 64, 256 * 1024)), next_(step_) {}
  void Add(uint64_t n) {
    done_ += n;
    if (done_ >= next_) {
      note_->Progress(done_, total_);
      next_ = done_ + step_;
    }
  }
  void Finish() { note_->Progress(total_, total_); }

 private:
  Notifier* note_;
  uint64_t total_, step_, next_, done_ = 0;
};

Result FromOpenOld(IoStatus s) {
  switch (s) {
    case IoStatus::kNotFound:
    case IoStatus::kIsDirectory:
      return Result::kOldFileMissing;
    case IoStatus::kNoMemory:
      return Result::kNoMemory;
    default:
      return Result::kFileInUse;
  }
}

Result FromCreate(IoStatus s) {
  switch (s) {
    case IoStatus::kDiskFull:
      return Result::kDiskFull;
    case IoStatus::kInUse:
    case IoStatus::kAccessDenied:
      return Result::kFileInUse;
    case IoStatus::kNoMemory:
      return Result::kNoMemory;
    default:
      return Result::kCannotCreate;
  }
}

std::string Describe(const char* what, const std::string& path, IoStatus s) {
  return std::string(what) + " " + path + ": " + IoStatusName(s);
}

size_t Depth(const std::string& path) { return static_cast<size_t>(std::count(path.begin(), path.end(), '\\')); }

/* What pre-flight decided for one entry. */
struct Work {
  const PatchEntry* entry = nullptr;
  bool needed = false;   /* false: already in its new state */
  bool backup = false;   /* an existing file at the path is moved aside */
  bool link = false;     /* staged as a second name of its source (see MarkLinks) */
  size_t index = 0;      /* number of its staged file and backup */
};

class StagingSink : public ByteSink {
 public:
  StagingSink(File* out, uint64_t limit, ItemProgress* progress) : out_(out), limit_(limit), progress_(progress) {}
  Result Init() {
    if (!hasher_.ok()) return Result::kNoMemory;
    try {
      buf_.reserve(kBufSize);
    } catch (const std::bad_alloc&) {
      return Result::kNoMemory;
    }
    return Result::kOk;
  }
  Result Put(const uint8_t* data, size_t n) override {
    if (n > limit_ - written_) return Result::kBadPatch;
    written_ += n;
    hasher_.Update(data, n);
    progress_->Add(n);
    if (buf_.empty() && n >= kBufSize / 4) {
      /* Large pieces go straight to the file. */
      IoStatus s = out_->Write(data, n);
      if (s == IoStatus::kOk) return Result::kOk;
      return s == IoStatus::kDiskFull ? Result::kDiskFull : FromCreate(s);
    }
    while (n > 0) {
      size_t k = std::min(n, kBufSize - buf_.size());
      buf_.insert(buf_.end(), data, data + k);
      data += k;
      n -= k;
      if (buf_.size() == kBufSize) {
        Result r = Drain();
        if (r != Result::kOk) return r;
      }
    }
    return Result::kOk;
  }
  Result Drain() {
    if (buf_.empty()) return Result::kOk;
    IoStatus s = out_->Write(buf_.data(), buf_.size());
    buf_.clear();
    if (s == IoStatus::kOk) return Result::kOk;
    return s == IoStatus::kDiskFull ? Result::kDiskFull : FromCreate(s);
  }
  uint64_t written() const { return written_; }
  Hash128 Digest() const { return hasher_.Digest(); }

 private:
  static constexpr size_t kBufSize = 256 * 1024;
  File* out_;
  uint64_t limit_;
  ItemProgress* progress_;
  uint64_t written_ = 0;
  Hasher hasher_;
  std::vector<uint8_t> buf_;
};

Result HashFile(FileSystem& fs, const std::string& path, ItemProgress* progress, Hash128* out) {
  std::unique_ptr<File> f;
  IoStatus s = fs.OpenRead(path, &f);
  if (s != IoStatus::kOk) return FromOpenOld(s);
  Hasher hasher;
  if (!hasher.ok()) return Result::kNoMemory;
  /* Sized to the file and not zeroed: most client files are small. At
   * most 256 KiB, so that the hash reads what the read just wrote from
   * the cache, not from memory (a 94 MB file: 15 ms with 1 MiB, 10 ms with
   * 256 KiB). */
  const size_t size = static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(f->Size(), 256 << 10)));
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size]);
  if (!buf) return Result::kNoMemory;
  uint64_t pos = 0;
  for (;;) {
    size_t got = 0;
    s = f->ReadAt(pos, buf.get(), size, &got);
    if (s != IoStatus::kOk) return FromOpenOld(s);
    if (got == 0) break;
    hasher.Update(buf.get(), got);
    progress->Add(got);
    pos += got;
  }
  *out = hasher.Digest();
  return Result::kOk;
}

class Applier {
 public:
  Applier(FileSystem& fs, File& patch, const ApplyOptions& options)
      : fs_(fs), patch_(patch), options_(options), note_(options.callback) {}

  /* Checks the patch data whole and that the install folder is there. */
  Result ReadPatchAndFolder() {
    Result r = ReadPatchManifest(patch_, &info_, &solid_rest_);
    if (r != Result::kOk) {
      note_.Text(kNotifyError, std::string("Patch data rejected: ") + ResultName(r));
      return r;
    }
    solid_rest_.Start();
    note_.Text(kNotifyInfo, "Patch data checked: " + std::to_string(info_.entries.size()) + " entries");
    if (options_.on_manifest) options_.on_manifest(info_);
    EntryInfo root;
    if (fs_.Stat("", &root) != IoStatus::kOk || root.type != EntryType::kDirectory) {
      note_.Text(kNotifyError, "The install folder does not exist");
      return Result::kOldFileMissing;
    }
    return Result::kOk;
  }

  /* The solid area of the index, decoded beside the pre-flight. */
  Result FinishPatch() {
    Result r = solid_rest_.Finish(&info_);
    if (r != Result::kOk) note_.Text(kNotifyError, std::string("Patch data rejected: ") + ResultName(r));
    return r;
  }

  /* The pre-flight alone, read-only: what an apply would find. */
  Result Check(CheckReport* report) {
    check_ = report;
    *report = CheckReport();
    EntryInfo staging;
    if (fs_.Stat(kStagingFolder, &staging) == IoStatus::kOk && staging.type != EntryType::kNone)
      note_.Text(kNotifyWarning, "An interrupted patch run left .olkpatch behind; an apply resolves it first");
    Result r = ReadPatchAndFolder();
    if (r != Result::kOk) return report->result = r;
    r = Preflight();
    if (r != Result::kOk && report->result == Result::kOk) report->result = r;
    r = FinishPatch();
    if (r != Result::kOk) return report->result = r;
    for (const Work& w : work_) {
      if (!w.needed || !w.entry) continue;
      const EntryKind k = w.entry->kind;
      if (k == EntryKind::kAddFile || k == EntryKind::kChangeFile) ++report->files_to_write;
      if (k == EntryKind::kRemoveFile) ++report->files_to_remove;
    }
    return report->result;
  }

  Result Run() {
    note_.Send(kNotifySearching, nullptr);
    Result r = RecoverInstall(fs_, options_.callback);
    if (r != Result::kOk) return r;

    r = ReadPatchAndFolder();
    if (r != Result::kOk) return r;

    r = Preflight();
    if (r != Result::kOk) return r;
    r = FinishPatch();
    if (r != Result::kOk) return r;

    size_t to_stage = 0;
    bool any = false;
    for (const Work& w : work_) {
      if (!w.needed) continue;
      any = true;
      if (w.entry->kind == EntryKind::kAddFile || w.entry->kind == EntryKind::kChangeFile) ++to_stage;
    }
    if (!any && implicit_dirs_.empty()) {
      note_.Text(kNotifyInfo, "Every file is already up to date");
      return Result::kOk;
    }

    VolumeInfo volume;
    if (fs_.DescribeVolume(&volume) == IoStatus::kOk && !volume.ordered)
      note_.Text(kNotifyWarning, "The client is on a " + (volume.fs_name.empty() ? std::string("FAT") : volume.fs_name) +
                                     " volume, which does not keep the order of changes: the patch is not protected "
                                     "against a power cut there");

    note_.Count(static_cast<uint32_t>(to_stage + 1)); /* the check above was the first item */
    r = Stage();
    if (r != Result::kOk) {
      DiscardStaging(fs_);
      return r;
    }
    return Commit();
  }

 private:
  unsigned KindsAt(const std::string& path) const {
    auto it = kinds_.find(FoldCase(path));
    return it == kinds_.end() ? 0u : it->second;
  }
  static unsigned Bit(EntryKind k) { return 1u << static_cast<unsigned>(k); }

  /* The old file an added file is built from must be there as the patch
   * knew it; checked on its own, whatever other entries do to it. */
  Result CheckSource(const PatchEntry& e, ItemProgress* progress) {
    EntryInfo st;
    IoStatus s = fs_.Stat(e.source, &st);
    if (s != IoStatus::kOk || st.type != EntryType::kFile)
      return Problem(s == IoStatus::kOk || s == IoStatus::kNotFound ? Result::kOldFileMissing : FromOpenOld(s), e.source,
                     "Missing file " + e.source + " (the source of " + e.path + ")");
    Hash128 h;
    if (st.size == e.old_size) {
      Result r = HashFile(fs_, e.source, progress, &h);
      if (r != Result::kOk) return Problem(r, e.source, "Cannot read " + e.source);
    }
    if (st.size != e.old_size || h != e.old_hash)
      return Problem(Result::kOldFileMismatch, e.source,
                     "Unexpected size or contents: " + e.source + " (the source of " + e.path + ")");
    return Result::kOk;
  }

  Result Preflight() {
    for (const PatchEntry& e : info_.entries) kinds_[FoldCase(e.path)] |= Bit(e.kind);

    uint64_t hash_total = 0;
    for (const PatchEntry& e : info_.entries)
      if (e.kind == EntryKind::kChangeFile || e.kind == EntryKind::kRemoveFile || !e.source.empty())
        hash_total += e.old_size;
    note_.Count(1);
    note_.Text(kNotifyItemStart, "Checking installed files");
    ItemProgress progress(&note_, hash_total);

    work_.resize(info_.entries.size());
    /* What goes away first, then what comes: an added file needs to know
     * whether a removal (of the same name in another case) moves the file
     * that is there now. */
    std::vector<size_t> order;
    for (int pass = 0; pass < 2; ++pass)
      for (size_t i = 0; i < info_.entries.size(); ++i) {
        const EntryKind k = info_.entries[i].kind;
        const bool adds = k == EntryKind::kAddFile || k == EntryKind::kAddFolder;
        if (adds == (pass == 1)) order.push_back(i);
      }
    std::unordered_set<std::string> moved_away;
    for (size_t i : order) {
      const PatchEntry& e = info_.entries[i];
      Work& w = work_[i];
      w.entry = &e;
      w.index = i;
      EntryInfo st;
      IoStatus s = fs_.Stat(e.path, &st);
      if (s == IoStatus::kLink || st.type == EntryType::kLink) {
        if (Result r = LinkInTheWay(e.path); r != Result::kOk) return r;
        continue;
      }
      if (s != IoStatus::kOk) {
        if (Result r = Problem(FromOpenOld(s), e.path, Describe("Cannot examine", e.path, s)); r != Result::kOk)
          return r;
        continue;
      }
      const unsigned here = KindsAt(e.path);
      switch (e.kind) {
        case EntryKind::kChangeFile:
        case EntryKind::kRemoveFile: {
          const bool remove = e.kind == EntryKind::kRemoveFile;
          if (st.type == EntryType::kNone ||
              (st.type == EntryType::kDirectory && remove && (here & Bit(EntryKind::kAddFolder)))) {
            if (remove) break; /* already gone */
            if (Result r = Problem(Result::kOldFileMissing, e.path, "Missing file " + e.path); r != Result::kOk)
              return r;
            break;
          }
          if (st.type != EntryType::kFile) {
            if (Result r = Problem(Result::kOldFileMissing, e.path, "Not a file: " + e.path); r != Result::kOk)
              return r;
            break;
          }
          Hash128 h;
          const bool may_be_old = st.size == e.old_size;
          const bool may_be_new = !remove && st.size == e.new_size;
          const bool may_be_added = remove && (here & Bit(EntryKind::kAddFile));
          if (may_be_old || may_be_new || may_be_added) {
            Result r = HashFile(fs_, e.path, &progress, &h);
            if (r != Result::kOk) {
              if ((r = Problem(r, e.path, "Cannot read " + e.path)) != Result::kOk) return r;
              break;
            }
          }
          if (may_be_old && h == e.old_hash) {
            w.needed = true;
            moved_away.insert(FoldCase(e.path));
          } else if (may_be_new && h == e.new_hash) {
            note_.Text(kNotifyDetail, e.path + " is already up to date");
          } else if (may_be_added && AddedHashIs(e.path, st.size, h)) {
            /* the file that replaces it under another case is already there */
          } else if (Result r = Problem(Result::kOldFileMismatch, e.path, "Unexpected size or contents: " + e.path);
                     r != Result::kOk) {
            return r;
          }
          break;
        }
        case EntryKind::kAddFile: {
          if (st.type == EntryType::kDirectory) {
            if (!(here & Bit(EntryKind::kRemoveFolder))) {
              if (Result r = Problem(Result::kCannotCreate, e.path, "A folder is in the way of " + e.path);
                  r != Result::kOk)
                return r;
              break;
            }
            w.needed = true;
          } else if (st.type == EntryType::kFile && moved_away.count(FoldCase(e.path))) {
            w.needed = true; /* the file there now is the one removed */
          } else if (st.type == EntryType::kFile) {
            Hash128 h;
            bool done = false;
            if (st.size == e.new_size) {
              Result r = HashFile(fs_, e.path, &progress, &h);
              if (r != Result::kOk) {
                if ((r = Problem(r, e.path, "Cannot read " + e.path)) != Result::kOk) return r;
                break;
              }
              done = h == e.new_hash;
            }
            /* Any other file there is replaced; it is kept aside until the
             * commit has succeeded. */
            w.needed = !done;
            w.backup = !done;
          } else if (st.type == EntryType::kNone) {
            w.needed = true;
          } else {
            if (Result r = Problem(Result::kCannotCreate, e.path, "Something is in the way of " + e.path);
                r != Result::kOk)
              return r;
            break;
          }
          if (w.needed && !e.source.empty()) {
            Result r = CheckSource(e, &progress);
            if (r != Result::kOk) return r;
          }
          if (w.needed) {
            Result r = NeedParents(e.path);
            if (r != Result::kOk) return r;
          }
          break;
        }
        case EntryKind::kAddFolder:
          if (st.type == EntryType::kDirectory) break;
          if (st.type != EntryType::kNone && !moved_away.count(FoldCase(e.path))) {
            if (Result r = Problem(Result::kCannotCreate, e.path, "A file is in the way of folder " + e.path);
                r != Result::kOk)
              return r;
            break;
          }
          w.needed = true;
          {
            Result r = NeedParents(e.path);
            if (r != Result::kOk) return r;
          }
          break;
        case EntryKind::kRemoveFolder:
          w.needed = st.type == EntryType::kDirectory;
          break;
      }
    }
    MarkLinks();
    /* A folder made implicitly that the patch also makes is made once. */
    for (const Work& w : work_)
      if (w.needed && w.entry->kind == EntryKind::kAddFolder) implicit_dirs_.erase(FoldCase(w.entry->path));
    progress.Finish();
    note_.Send(kNotifyItemEnd, nullptr);

    /* Room for the staged files, with a little slack for the journal and
     * the file system's own bookkeeping. */
    uint64_t need = 1 << 20;
    for (const Work& w : work_)
      if (w.needed && (w.entry->kind == EntryKind::kAddFile || w.entry->kind == EntryKind::kChangeFile))
        need = SatAdd(need, SatAdd(w.entry->new_size, 4096)); /* declared sizes come from the patch */
    uint64_t free_bytes = 0;
    IoStatus s = fs_.FreeSpace(&free_bytes);
    if (s == IoStatus::kOk && free_bytes < need) {
      if (Result r = Problem(Result::kDiskFull, "", "Not enough free space: " + std::to_string(need) +
                                                        " bytes needed, " + std::to_string(free_bytes) + " free");
          r != Result::kOk)
        return r;
    }
    return check_ ? check_->result : Result::kOk;
  }

  /* A file moved or renamed unchanged is staged as a second name of its
   * source instead of a copy: nothing written, nothing to flush, which on a
   * client's multi-gigabyte data packs is most of the apply. Only where the
   * commit moves the source away (the patch removes or replaces it), and
   * for one new file per source: two names of one file that both stay
   * would let a later write through one change the other. */
  void MarkLinks() {
    std::unordered_set<std::string> leaving;
    for (const Work& w : work_)
      if (w.needed && (w.entry->kind == EntryKind::kRemoveFile || w.entry->kind == EntryKind::kChangeFile))
        leaving.insert(FoldCase(w.entry->path));
    for (Work& w : work_) {
      const PatchEntry& e = *w.entry;
      if (!w.needed || e.kind != EntryKind::kAddFile || e.encoding != Encoding::kCopy) continue;
      w.link = leaving.erase(FoldCase(e.source)) > 0;
    }
  }

  /* The patch never writes or removes through a link: it could be made to
   * change files outside the client. Names the first link on the way to
   * `path` (the engine cannot tell a player's own junction from a planted
   * one, so it says which link and what to do). */
  Result LinkInTheWay(const std::string& path) {
    std::string link = path;
    for (size_t cut = path.find('\\');; cut = path.find('\\', cut + 1)) {
      const std::string prefix = path.substr(0, cut);
      EntryInfo st;
      if (fs_.Stat(prefix, &st) == IoStatus::kOk && st.type == EntryType::kLink) {
        link = prefix;
        break;
      }
      if (cut == std::string::npos) break;
    }
    return Problem(Result::kCannotCreate, link,
                   "The patch must change " + path + ", but " + link +
                       " in the client's folder is a link or junction to another place, and the patch does not "
                       "follow links. Nothing was changed. Put the real folder or file back in place of the link "
                       "(or remove the link), then run the patch again.");
  }

  /* A problem with `path`. An apply stops at the first; a check notes
   * every one and goes on. @return the result to stop with, or kOk. */
  Result Problem(Result r, const std::string& path, const std::string& text) {
    note_.Text(kNotifyError, text);
    if (!check_) return r;
    if (check_->result == Result::kOk) check_->result = r;
    check_->findings.push_back(CheckFinding{r, path, text});
    return Result::kOk;
  }

  bool AddedHashIs(const std::string& path, uint64_t size, const Hash128& h) const {
    const std::string key = FoldCase(path);
    for (const PatchEntry& e : info_.entries)
      if (e.kind == EntryKind::kAddFile && FoldCase(e.path) == key) return e.new_size == size && e.new_hash == h;
    return false;
  }

  /* Records the missing parent folders of `path` that no entry makes. */
  Result NeedParents(const std::string& path) {
    for (size_t cut = path.find('\\'); cut != std::string::npos; cut = path.find('\\', cut + 1)) {
      const std::string parent = path.substr(0, cut);
      const std::string key = FoldCase(parent);
      if (implicit_dirs_.count(key)) continue;
      const unsigned k = KindsAt(parent);
      EntryInfo st;
      IoStatus s = fs_.Stat(parent, &st);
      if (s == IoStatus::kLink || st.type == EntryType::kLink) return LinkInTheWay(parent);
      if (s != IoStatus::kOk) return FromCreate(s);
      if (st.type == EntryType::kDirectory) continue;
      if (k & Bit(EntryKind::kAddFolder)) continue;
      if (st.type != EntryType::kNone) {
        if (Result r = Problem(Result::kCannotCreate, parent, "A file is in the way of folder " + parent);
            r != Result::kOk)
          return r;
        continue;
      }
      implicit_dirs_[key] = parent;
    }
    return Result::kOk;
  }

  Result Stage() {
    IoStatus s = PrepareStagingFolder(fs_);
    if (s != IoStatus::kOk) {
      note_.Text(kNotifyError, Describe("Cannot make the staging folder", kStagingFolder, s));
      return FromCreate(s);
    }
    for (const Work& w : work_) {
      if (!w.needed) continue;
      const PatchEntry& e = *w.entry;
      if (e.kind != EntryKind::kAddFile && e.kind != EntryKind::kChangeFile) continue;
      note_.Text(kNotifyItemStart, e.path);
      Result r = StageOne(w);
      if (r != Result::kOk) return r;
      note_.Send(kNotifyItemEnd, nullptr);
    }
    old_cache_.Release();
    return Result::kOk;
  }

  Result StageOne(const Work& w) {
    const PatchEntry& e = *w.entry;
    Result linked;
    if (w.link && StageLink(w, &linked)) return linked;
    std::unique_ptr<File> old_file;
    if (ReadsOldFile(e.encoding)) {
      /* Staging comes before the commit moves anything, so a source that
       * this patch also changes or removes is still its old version. */
      const std::string& from = e.source.empty() ? e.path : e.source;
      IoStatus s = fs_.OpenRead(from, &old_file);
      if (s != IoStatus::kOk) {
        note_.Text(kNotifyError, Describe("Cannot open", from, s));
        return FromOpenOld(s);
      }
      if (old_file->Size() != e.old_size) {
        note_.Text(kNotifyError, "Unexpected size: " + from);
        return Result::kOldFileMismatch;
      }
    }
    const std::string staged = StagedFilePath(w.index);
    std::unique_ptr<File> out;
    IoStatus s = fs_.CreateNew(staged, &out);
    if (s != IoStatus::kOk) {
      note_.Text(kNotifyError, Describe("Cannot create the new version of", e.path, s));
      return FromCreate(s);
    }
    if (options_.durable) out->WriteBehind();
    ItemProgress progress(&note_, e.new_size);
    StagingSink sink(out.get(), e.new_size, &progress);
    Result r = sink.Init();
    if (r == Result::kOk) r = DecodePayload(info_, e, patch_, old_file.get(), sink, &old_cache_);
    if (r == Result::kOk) r = sink.Drain();
    if (r == Result::kOk && options_.durable) {
      s = out->Flush();
      if (s != IoStatus::kOk) r = FromCreate(s);
    }
    s = out->Close();
    if (r == Result::kOk && s != IoStatus::kOk) r = FromCreate(s);
    if (r == Result::kOk && (sink.written() != e.new_size || sink.Digest() != e.new_hash)) {
      /* With a checked patch, only a delta whose old file changed under
       * us can give a wrong result. */
      r = ReadsOldFile(e.encoding) ? Result::kOldFileMismatch : Result::kBadPatch;
    }
    if (r != Result::kOk) {
      note_.Text(kNotifyError, std::string("Cannot write the new version of ") + e.path + ": " + ResultName(r));
      return r;
    }
    progress.Finish();
    return Result::kOk;
  }

  /* The staged name is checked like a written file: a source swapped
   * since the pre-flight must not be put in place. @return false when no
   * link can be made here (a FAT volume, a share): the caller copies. */
  bool StageLink(const Work& w, Result* result) {
    const PatchEntry& e = *w.entry;
    const std::string staged = StagedFilePath(w.index);
    if (fs_.LinkFile(e.source, staged) != IoStatus::kOk) return false;
    ItemProgress progress(&note_, e.new_size);
    Hash128 h;
    Result r = HashFile(fs_, staged, &progress, &h);
    if (r == Result::kOk && h != e.new_hash) r = Result::kOldFileMismatch;
    if (r != Result::kOk)
      note_.Text(kNotifyError, "Unexpected size or contents: " + e.source + " (the source of " + e.path + ")");
    else
      progress.Finish();
    *result = r;
    return true;
  }

  Result Commit() {
    std::vector<Step> steps;
    for (const Work& w : work_) {
      if (!w.needed) continue;
      const EntryKind k = w.entry->kind;
      if (k == EntryKind::kChangeFile || k == EntryKind::kRemoveFile || w.backup)
        steps.push_back(Step{Step::kMove, w.entry->path, BackupFilePath(w.index)});
    }
    std::vector<std::string> remove_dirs, make_dirs;
    for (const Work& w : work_) {
      if (!w.needed) continue;
      if (w.entry->kind == EntryKind::kRemoveFolder) remove_dirs.push_back(w.entry->path);
      if (w.entry->kind == EntryKind::kAddFolder) make_dirs.push_back(w.entry->path);
    }
    for (const auto& kv : implicit_dirs_) make_dirs.push_back(kv.second);
    std::stable_sort(remove_dirs.begin(), remove_dirs.end(),
                     [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
    std::sort(make_dirs.begin(), make_dirs.end(), [](const std::string& a, const std::string& b) {
      return Depth(a) != Depth(b) ? Depth(a) < Depth(b) : a < b;
    });
    for (const std::string& d : remove_dirs) steps.push_back(Step{Step::kRemoveDir, std::string(), d});
    for (const std::string& d : make_dirs) steps.push_back(Step{Step::kMakeDir, std::string(), d});
    for (const Work& w : work_) {
      if (!w.needed) continue;
      const EntryKind k = w.entry->kind;
      if (k == EntryKind::kChangeFile || k == EntryKind::kAddFile)
        steps.push_back(Step{Step::kMove, StagedFilePath(w.index), w.entry->path});
    }

    CommitReport report;
    IoStatus s = CommitSteps(fs_, steps, options_.durable, &report);
    if (s != IoStatus::kOk) {
      const Result failure = (s == IoStatus::kInUse || s == IoStatus::kAccessDenied) ? Result::kFileInUse
                             : s == IoStatus::kNoMemory                              ? Result::kNoMemory
                             : s == IoStatus::kDiskFull                              ? Result::kDiskFull
                                                                                     : Result::kCannotCreate;
      if (report.failed_step < steps.size()) {
        const Step& st = steps[report.failed_step];
        const bool staged = st.type == Step::kMove && !IsSafeRelativePath(st.from);
        note_.Text(kNotifyError, Describe(st.type != Step::kMove ? "Cannot make folder"
                                          : staged               ? "Cannot put in place"
                                                                 : "Cannot replace",
                                          st.type == Step::kMove && !staged ? st.from : st.to, s));
      } else {
        note_.Text(kNotifyError, Describe("Cannot record the commit", StagingPath(kJournalName), s));
      }
      if (report.rollback_status != IoStatus::kOk) {
        /* The journal stays; the next run finishes the roll-back. */
        note_.Text(kNotifyError, std::string("Roll-back not complete (") + IoStatusName(report.rollback_status) +
                                     "); it is finished when the patch is run again");
        return failure;
      }
      note_.Text(kNotifyWarning, "Every change was rolled back; the install is as it was");
      return failure;
    }

    for (size_t i : report.kept_folders)
      note_.Text(kNotifyWarning, "Kept folder " + steps[i].to + ": it is not empty or is in use");
    if (report.leftovers)
      note_.Text(kNotifyWarning, "Some leftovers of the patch stay in .olkpatch until a later run");
    if (report.not_durable)
      note_.Text(kNotifyWarning, "The system did not confirm that every change is on disk; "
                                 "a power cut now could undo part of the patch");
    size_t written = 0, removed = 0;
    for (const Work& w : work_) {
      if (!w.needed) continue;
      if (w.entry->kind == EntryKind::kAddFile || w.entry->kind == EntryKind::kChangeFile) ++written;
      if (w.entry->kind == EntryKind::kRemoveFile) ++removed;
    }
    note_.Text(kNotifyInfo, "Patch applied: " + std::to_string(written) + " files written, " +
                                std::to_string(removed) + " removed");
    return Result::kOk;
  }

  FileSystem& fs_;
  File& patch_;
  ApplyOptions options_;
  Notifier note_;
  CheckReport* check_ = nullptr; /* set for a check: pre-flight goes on after a problem */
  PatchInfo info_;
  SolidAreaDecode solid_rest_; /* decodes on its own thread until FinishPatch() */
  /* The deltas' reads of their old files, one cache from file to file. */
  OldFileCache old_cache_{nullptr, 0, 0};
  std::unordered_map<std::string, unsigned> kinds_;
  std::vector<Work> work_;
  std::unordered_map<std::string, std::string> implicit_dirs_; /* folded -> path */
};

}  // namespace

Result RecoverInstall(FileSystem& fs, ProgressCallback callback) {
  try {
    return RecoverStaging(fs, callback);
  } catch (const std::bad_alloc&) {
    return Result::kNoMemory;
  }
}

Result CheckPatch(FileSystem& install, File& patch, ProgressCallback callback, CheckReport* report) {
  try {
    ApplyOptions options;
    options.callback = callback;
    Applier applier(install, patch, options);
    return applier.Check(report);
  } catch (const std::bad_alloc&) {
    return report->result = Result::kNoMemory;
  }
}

Result ApplyPatch(FileSystem& install, File& patch, const ApplyOptions& options) {
  try {
    Applier applier(install, patch, options);
    return applier.Run();
  } catch (const std::bad_alloc&) {
    /* What the run had allocated is free again: undo what it did (nothing,
     * or a commit begun, which the journal describes). If even that fails,
     * the next run does it. */
    try {
      RecoverInstall(install, nullptr);
    } catch (const std::bad_alloc&) {
    }
    return Result::kNoMemory;
  }
}

bool SplitCommandLine(const char* command_line, std::string* install_folder, std::string* patch_path) {
  if (!command_line) return false;
  std::vector<std::string> parts;
  const char* p = command_line;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) break;
    std::string part;
    if (*p == '"') {
      ++p;
      while (*p && *p != '"') part += *p++;
      if (*p != '"') return false;
      ++p;
      if (*p && *p != ' ' && *p != '\t') return false;
    } else {
      while (*p && *p != ' ' && *p != '\t') {
        if (*p == '"') return false;
        part += *p++;
      }
    }
    if (part.empty()) return false;
    parts.push_back(part);
  }
  if (parts.size() != 2) return false;
  *install_folder = parts[0];
  *patch_path = parts[1];
  return true;
}

}  // namespace olk
