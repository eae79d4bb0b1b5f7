/* Building patch data from two folder trees. */
#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "codec.h"
#include "delta.h"
#include "hash.h"
#include "olkeng/engine.h"
#include "parallel.h"
#include "patch_format.h"
#include "payload.h"

namespace olk {

namespace {

struct TreeEntry {
  EntryType type = EntryType::kNone;
  uint64_t size = 0;
};
typedef std::map<std::string, TreeEntry> Tree; /* path -> entry, in byte order */

bool ScanTree(FileSystem& fs, const std::string& dir, Tree* tree, std::string* error) {
  std::vector<DirEntry> entries;
  IoStatus s = fs.List(dir, &entries);
  if (s != IoStatus::kOk) {
    *error = "cannot list folder '" + dir + "': " + IoStatusName(s);
    return false;
  }
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  for (const DirEntry& e : entries) {
    if (dir.empty() && FoldCase(e.name) == FoldCase(kStagingFolder)) continue;
    const std::string path = dir.empty() ? e.name : dir + "\\" + e.name;
    if (e.name.find('\\') != std::string::npos || !IsSafeRelativePath(path)) {
      *error = "the name '" + path + "' cannot be installed safely on Windows";
      return false;
    }
    if (e.type != EntryType::kFile && e.type != EntryType::kDirectory) {
      *error = "'" + path + "' is neither a file nor a folder";
      return false;
    }
    (*tree)[path] = TreeEntry{e.type, e.size};
    if (e.type == EntryType::kDirectory && !ScanTree(fs, path, tree, error)) return false;
  }
  return true;
}

bool ReadWhole(FileSystem& fs, const std::string& path, std::vector<uint8_t>* data, std::string* error) {
  std::unique_ptr<File> f;
  IoStatus s = fs.OpenRead(path, &f);
  if (s == IoStatus::kOk) {
    data->resize(static_cast<size_t>(f->Size()));
    size_t got = 0;
    s = f->ReadAt(0, data->data(), data->size(), &got);
    if (s == IoStatus::kOk && got != data->size()) s = IoStatus::kIoError;
  }
  if (s != IoStatus::kOk) {
    *error = "cannot read '" + path + "': " + IoStatusName(s);
    return false;
  }
  return true;
}

/* One unit of work: a file to add, change or remove. */
struct Task {
  Task(EntryKind k, const std::string& p, uint64_t size) : kind(k), path(p), size_hint(size) {}
  EntryKind kind;
  std::string path;
  uint64_t size_hint;
  /* results */
  bool unchanged = false;
  PatchEntry entry;
  std::vector<uint8_t> payload;
  std::string error;
  bool ok = true;
};

/* Encodes a new file whole, or stored when that is not larger. */
bool EncodeWhole(const std::vector<uint8_t>& data, CoreBudget* budget, Encoding* enc, std::vector<uint8_t>* out) {
  Codec codec;
  if (!EncodeBest(data.data(), data.size(), Effort::kBest, budget, &codec, out)) return false;
  *enc = codec == Codec::kStored ? Encoding::kStored : codec == Codec::kZstd ? Encoding::kZstd : Encoding::kLzma2;
  return true;
}

void RunTask(FileSystem& old_tree, FileSystem& new_tree, CoreBudget* budget, Task* t) {
  PatchEntry& e = t->entry;
  e.kind = t->kind;
  e.path = t->path;
  try {
    if (t->kind == EntryKind::kRemoveFile) {
      std::vector<uint8_t> old_data;
      if (!ReadWhole(old_tree, t->path, &old_data, &t->error)) return void(t->ok = false);
      e.old_size = old_data.size();
      e.old_hash = HashBytes(old_data.data(), old_data.size());
      e.encoding = Encoding::kNone;
      return;
    }
    std::vector<uint8_t> new_data;
    if (!ReadWhole(new_tree, t->path, &new_data, &t->error)) return void(t->ok = false);
    e.new_size = new_data.size();
    e.new_hash = HashBytes(new_data.data(), new_data.size());
    if (t->kind == EntryKind::kAddFile) {
      if (!EncodeWhole(new_data, budget, &e.encoding, &t->payload)) throw std::bad_alloc();
      return;
    }
    std::vector<uint8_t> old_data;
    if (!ReadWhole(old_tree, t->path, &old_data, &t->error)) return void(t->ok = false);
    e.old_size = old_data.size();
    e.old_hash = HashBytes(old_data.data(), old_data.size());
    if (e.old_size == e.new_size && e.old_hash == e.new_hash) {
      t->unchanged = true;
      return;
    }
    bool have = false;
    if (!old_data.empty() && !new_data.empty() && old_data.size() <= kMaxDeltaOldSize) {
      DeltaStreams streams;
      if (!ComputeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(), budget, &streams))
        throw std::bad_alloc();
      if (!EncodeDeltaPayload(streams, Effort::kBest, budget, &t->payload)) throw std::bad_alloc();
      e.encoding = Encoding::kDelta;
      have = true;
    }
    /* A delta that saves little is checked against the file sent whole. */
    if (!have || t->payload.size() > new_data.size() / 4) {
      std::vector<uint8_t> whole;
      Encoding enc;
      std::vector<uint8_t>().swap(old_data);
      if (!EncodeWhole(new_data, budget, &enc, &whole)) throw std::bad_alloc();
      if (!have || whole.size() < t->payload.size()) {
        t->payload.swap(whole);
        e.encoding = enc;
      }
    }
  } catch (const std::bad_alloc&) {
    t->ok = false;
    t->error = "out of memory while encoding '" + t->path + "'";
  }
}

class PatchWriter {
 public:
  explicit PatchWriter(File* out) : out_(out) {}
  bool Write(const void* data, size_t n) {
    hasher_.Update(data, n);
    written_ += n;
    return out_->Write(data, n) == IoStatus::kOk;
  }
  bool Finish() {
    Hash128 h = hasher_.Digest();
    return out_->Write(h.bytes, 16) == IoStatus::kOk && out_->Close() == IoStatus::kOk;
  }
  uint64_t written() const { return written_; }

 private:
  File* out_;
  Hasher hasher_;
  uint64_t written_ = 0;
};

int KindOrder(EntryKind k) {
  switch (k) {
    case EntryKind::kRemoveFile: return 0;
    case EntryKind::kRemoveFolder: return 1;
    case EntryKind::kAddFolder: return 2;
    case EntryKind::kAddFile: return 3;
    case EntryKind::kChangeFile: return 4;
  }
  return 5;
}

}  // namespace

Result BuildPatch(FileSystem& old_tree, FileSystem& new_tree, File& out, const BuildOptions& options,
                  BuildStats* stats, std::string* error) {
  std::string local_error;
  if (!error) error = &local_error;
  BuildStats st;
  try {
    Tree olds, news;
    if (!ScanTree(old_tree, "", &olds, error) || !ScanTree(new_tree, "", &news, error)) return Result::kCannotOpenPatch;
    {
      std::set<std::string> folded;
      for (const auto& kv : news) {
        if (!folded.insert(FoldCase(kv.first)).second) {
          *error = "'" + kv.first + "' differs from another name of the new tree only in case";
          return Result::kCannotCreate;
        }
      }
    }

    std::vector<PatchEntry> entries;
    std::vector<Task> tasks;
    for (const auto& kv : olds) {
      if (kv.second.type == EntryType::kFile) st.old_bytes += kv.second.size;
      auto it = news.find(kv.first);
      const bool old_file = kv.second.type == EntryType::kFile;
      const bool new_file = it != news.end() && it->second.type == EntryType::kFile;
      const bool new_dir = it != news.end() && it->second.type == EntryType::kDirectory;
      if (old_file && new_file) {
        tasks.push_back(Task(EntryKind::kChangeFile, kv.first, it->second.size));
      } else if (old_file) {
        tasks.push_back(Task(EntryKind::kRemoveFile, kv.first, kv.second.size));
      } else if (!new_dir) {
        PatchEntry e;
        e.kind = EntryKind::kRemoveFolder;
        e.path = kv.first;
        entries.push_back(e);
        ++st.folders_removed;
      }
    }
    for (const auto& kv : news) {
      if (kv.second.type == EntryType::kFile) st.new_bytes += kv.second.size;
      auto it = olds.find(kv.first);
      const bool had_same_type = it != olds.end() && it->second.type == kv.second.type;
      if (had_same_type) continue;
      if (kv.second.type == EntryType::kFile) {
        tasks.push_back(Task(EntryKind::kAddFile, kv.first, kv.second.size));
      } else {
        PatchEntry e;
        e.kind = EntryKind::kAddFolder;
        e.path = kv.first;
        entries.push_back(e);
        ++st.folders_added;
      }
    }

    /* Largest files first, so that the last ones to finish are small. */
    std::vector<size_t> order(tasks.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return tasks[a].size_hint > tasks[b].size_hint; });
    unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    CoreBudget budget(static_cast<int>(threads) - 1);
    BuildProgress progress;
    progress.files_total = tasks.size();
    for (const Task& t : tasks) progress.bytes_total += t.size_hint;
    std::mutex progress_mutex;
    RunParallel(
        tasks.size(),
        [&](size_t i) {
          Task& t = tasks[order[i]];
          RunTask(old_tree, new_tree, &budget, &t);
          if (options.progress) {
            std::lock_guard<std::mutex> lock(progress_mutex);
            progress.files_done++;
            progress.bytes_done += t.size_hint;
            options.progress(progress);
          }
        },
        &budget);

    for (Task& t : tasks) {
      if (!t.ok) {
        *error = t.error;
        return t.error.compare(0, 13, "out of memory") == 0 ? Result::kNoMemory : Result::kCannotOpenPatch;
      }
      if (t.unchanged) {
        ++st.files_unchanged;
        continue;
      }
      switch (t.kind) {
        case EntryKind::kAddFile: ++st.files_added; break;
        case EntryKind::kRemoveFile: ++st.files_removed; break;
        default: ++st.files_changed; break;
      }
      entries.push_back(t.entry);
      entries.back().payload_size = t.payload.size();
    }
    /* Keep each payload with its entry while sorting. */
    std::vector<std::vector<uint8_t>*> payload_of;
    {
      std::map<std::pair<std::string, int>, std::vector<uint8_t>*> by_key;
      for (Task& t : tasks)
        if (t.ok && !t.unchanged) by_key[{t.path, KindOrder(t.kind)}] = &t.payload;
      std::sort(entries.begin(), entries.end(), [](const PatchEntry& a, const PatchEntry& b) {
        return a.path != b.path ? a.path < b.path : KindOrder(a.kind) < KindOrder(b.kind);
      });
      for (const PatchEntry& e : entries) {
        auto it = by_key.find({e.path, KindOrder(e.kind)});
        payload_of.push_back(it == by_key.end() ? nullptr : it->second);
      }
    }
    if (!CheckManifestStructure(entries)) {
      *error = "the trees differ in a way a patch cannot express (a folder renamed only in case?)";
      return Result::kCannotCreate;
    }

    const uint64_t manifest_size = ManifestSize(entries);
    if (manifest_size > kMaxManifestSize) {
      *error = "too many changes for one patch";
      return Result::kCannotCreate;
    }
    uint64_t offset = kHeaderSize + manifest_size;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!payload_of[i]) continue;
      entries[i].payload_offset = offset;
      offset += payload_of[i]->size();
    }
    const uint64_t total = offset + kTrailerSize;

    std::vector<uint8_t> head;
    AppendHeader(total, static_cast<uint32_t>(manifest_size), static_cast<uint32_t>(entries.size()), &head);
    AppendManifest(entries, &head);
    PatchWriter writer(&out);
    bool ok = writer.Write(head.data(), head.size());
    for (size_t i = 0; ok && i < entries.size(); ++i)
      if (payload_of[i]) ok = writer.Write(payload_of[i]->data(), payload_of[i]->size());
    ok = ok && writer.Finish();
    if (!ok) {
      *error = "cannot write the patch data";
      return Result::kCannotCreate;
    }
    st.patch_bytes = total;
    if (stats) *stats = st;
    return Result::kOk;
  } catch (const std::bad_alloc&) {
    *error = "out of memory";
    return Result::kNoMemory;
  }
}

}  // namespace olk
