/* Building patch data from two folder trees. */
#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "big_buffer.h"
#include "block_matcher.h"
#include "codec.h"
#include "content_sketch.h"
#include "delta.h"
#include "hash.h"
#include "near_identical.h"
#include "olkeng/engine.h"
#include "parallel.h"
#include "patch_format.h"
#include "payload.h"
#include "same_content.h"
#include "window_lz.h"
#include "x86_refs.h"

namespace olk {

namespace {

struct TreeEntry {
  EntryType type = EntryType::kNone;
  uint64_t size = 0;
};
typedef std::map<std::string, TreeEntry> Tree; /* path -> entry, in byte order */

bool Excluded(const BuildOptions& options, const std::string& path, bool folder) {
  for (const std::string& pattern : options.exclude)
    if (MatchesExcludePattern(pattern, path, folder)) return true;
  return false;
}

/* `which` names the tree in errors ("old", "new"). */
bool ScanTree(FileSystem& fs, const std::string& dir, const BuildOptions& options, const char* which, Tree* tree,
              std::string* error) {
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
    if (Excluded(options, path, e.type == EntryType::kDirectory)) continue;
    if (e.type == EntryType::kLink) {
      if (options.links == LinkPolicy::kSkip) continue;
      *error = "'" + path + "' in the " + which + " tree is a symbolic link or junction" +
               (options.link_advice.empty() ? "" : "; " + options.link_advice);
      return false;
    }
    if (e.name.find('\\') != std::string::npos || !IsSafeRelativePath(path)) {
      *error = "the name '" + path + "' cannot be installed safely on Windows";
      return false;
    }
    if (e.type != EntryType::kFile && e.type != EntryType::kDirectory) {
      *error = "'" + path + "' is neither a file nor a folder";
      return false;
    }
    (*tree)[path] = TreeEntry{e.type, e.size};
    if (e.type == EntryType::kDirectory && !ScanTree(fs, path, options, which, tree, error)) return false;
  }
  return true;
}

bool ReadWhole(FileSystem& fs, const std::string& path, FileBytes* data, std::string* error) {
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

/* Streams up to this size may go into the index's solid area, where the
 * small payloads of all files share one compressed stream (no stream
 * headers, and a file's changes compress against those of the files before
 * it). Whole files are candidates only up to a smaller size, and only as
 * long as their total stays under kSolidWholeTotal; the solid area as a
 * whole stays under kMaxSolidSize. */
constexpr uint64_t kSolidStreamMax = 256 * 1024;
constexpr uint64_t kSolidWholeMax = 256 * 1024;
constexpr uint64_t kSolidWholeTotal = 4u << 20;

/* One stream of a payload, either kept raw (a candidate for the solid
 * area) or encoded apart. */
struct Part {
  std::vector<uint8_t> raw;
  std::vector<uint8_t> enc;
  Codec codec = Codec::kStored;
  uint64_t size = 0;   /* decoded */
  bool solid = false;  /* raw is kept; decided for good when the patch is laid out */
};

/* One unit of work: a file to add, change or remove. */
struct Task {
  Task(EntryKind k, const std::string& p, uint64_t size, uint64_t old_size)
      : kind(k), path(p), size_hint(size), old_hint(old_size) {}
  EntryKind kind;
  std::string path;
  uint64_t size_hint, old_hint;
  bool whole_may_be_solid = false;
  /* For an added file: old files of its size that may hold the same bytes,
   * and an old file that may be similar enough to diff against. */
  std::vector<std::string> copy_candidates;
  std::string similar_candidate;
  bool block_match = false; /* too large for the suffix-array delta */
  bool executable_deltas = true; /* the format has them */
  bool windowed_lz = true;        /* the format has it */
  /* results */
  bool unchanged = false;
  bool near_identical = false; /* diffed without a suffix array (near_identical.h) */
  PatchEntry entry;
  Part parts[3];
  size_t part_count = 0;
  std::string error;
  bool ok = true;

  /* What diffing this file holds in memory at most: both versions, the
   * suffix array of the old one, and the streams; matched block by block,
   * the table and the streams (the literals, at worst the new file). */
  uint64_t MemoryNeed() const { return block_match ? old_hint / 32 + size_hint : 5 * old_hint + 2 * size_hint; }
};

bool EncodeApart(Part* p, CoreBudget* budget) {
  if (!EncodeBest(p->raw.data(), p->raw.size(), Effort::kBest, budget, &p->codec, &p->enc)) return false;
  std::vector<uint8_t>().swap(p->raw);
  p->solid = false;
  return true;
}

/* Sets up `p` for `n` bytes: kept raw when small enough for the solid
 * area (the cost estimated at a fast setting), else encoded apart.
 * @return its estimated size in the patch, or ~0 when memory runs out. */
uint64_t PreparePart(Part* p, const uint8_t* data, size_t n, bool may_be_solid, CoreBudget* budget) {
  p->size = n;
  if (may_be_solid) {
    p->raw.assign(data, data + n);
    p->solid = true;
    Codec c;
    std::vector<uint8_t> est;
    if (!EncodeBest(data, n, Effort::kFast, nullptr, &c, &est)) return ~0ull;
    return est.size();
  }
  if (!EncodeBest(data, n, Effort::kBest, budget, &p->codec, &p->enc)) return ~0ull;
  return p->enc.size();
}

/* Makes `part` the task's one payload stream, in place of what it had. */
void KeepOnly(Task* t, Part part) {
  for (Part& p : t->parts) p = Part();
  t->parts[0] = std::move(part);
  t->part_count = 1;
}

/* What a delta's streams take at a quick setting (never more than their
 * raw size). Throws std::bad_alloc. */
uint64_t QuickCost(const DeltaStreams& streams, CoreBudget* budget) {
  const std::vector<uint8_t>* src[3] = {&streams.control, &streams.diff, &streams.extra};
  uint64_t cost[3] = {0, 0, 0};
  RunParallel(
      3,
      [&](size_t i) {
        Codec c;
        std::vector<uint8_t> est;
        cost[i] = EncodeBest(src[i]->data(), src[i]->size(), Effort::kFast, nullptr, &c, &est) ? est.size() : ~0ull;
      },
      budget);
  if (cost[0] == ~0ull || cost[1] == ~0ull || cost[2] == ~0ull) throw std::bad_alloc();
  return cost[0] + cost[1] + cost[2];
}

/* A change to a file too large for the suffix-array delta: matched block
 * by block, both files read in windows. The delta is taken whatever it
 * saves: sending the file whole would need it in memory. */
void RunBlockMatchTask(FileSystem& old_tree, FileSystem& new_tree, CoreBudget* budget, Task* t) {
  PatchEntry& e = t->entry;
  std::unique_ptr<File> old_file, new_file;
  IoStatus s = old_tree.OpenRead(t->path, &old_file);
  if (s == IoStatus::kOk) s = new_tree.OpenRead(t->path, &new_file);
  DeltaStreams streams;
  if (s == IoStatus::kOk)
    s = ComputeBlockDelta(*old_file, *new_file, BlockSizeFor(old_file->Size()), &streams, &e.old_hash, &e.new_hash);
  if (s != IoStatus::kOk) {
    t->ok = false;
    t->error = "cannot read '" + t->path + "': " + IoStatusName(s);
    return;
  }
  e.old_size = old_file->Size();
  e.new_size = new_file->Size();
  if (e.old_size == e.new_size && e.old_hash == e.new_hash) {
    t->unchanged = true;
    return;
  }
  std::vector<uint8_t>* src[3] = {&streams.control, &streams.diff, &streams.extra};
  for (size_t i = 0; i < 3; ++i) {
    if (PreparePart(&t->parts[i], src[i]->data(), src[i]->size(), src[i]->size() <= kSolidStreamMax, budget) ==
        ~0ull)
      throw std::bad_alloc();
    std::vector<uint8_t>().swap(*src[i]);
  }
  t->part_count = 3;
  e.encoding = Encoding::kDelta;
}

/* Reads and hashes both versions of a changed file side by side: on a
 * file that changed little, that is most of the work. An error reading
 * the new version is told first, as when they are read one after the
 * other. Throws std::bad_alloc. */
bool ReadBothVersions(FileSystem& old_tree, FileSystem& new_tree, const std::string& path, CoreBudget* budget,
                      FileBytes* old_data, FileBytes* new_data, Hash128* old_hash, Hash128* new_hash,
                      std::string* error) {
  FileSystem* const trees[2] = {&new_tree, &old_tree};
  FileBytes* const data[2] = {new_data, old_data};
  Hash128* const hashes[2] = {new_hash, old_hash};
  std::string errors[2];
  enum { kRead, kUnreadable, kNoMemory } state[2] = {kRead, kRead};
  RunParallel(
      2,
      [&](size_t i) {
        try {
          if (!ReadWhole(*trees[i], path, data[i], &errors[i])) return void(state[i] = kUnreadable);
          *hashes[i] = HashBytes(data[i]->data(), data[i]->size());
        } catch (const std::bad_alloc&) {
          state[i] = kNoMemory;
        }
      },
      budget);
  for (size_t i = 0; i < 2; ++i) {
    if (state[i] == kNoMemory) throw std::bad_alloc();
    if (state[i] == kUnreadable) {
      *error = errors[i];
      return false;
    }
  }
  return true;
}

void RunTask(FileSystem& old_tree, FileSystem& new_tree, CoreBudget* budget, Task* t) {
  PatchEntry& e = t->entry;
  e.kind = t->kind;
  e.path = t->path;
  try {
    if (t->block_match) return RunBlockMatchTask(old_tree, new_tree, budget, t);
    if (t->kind == EntryKind::kRemoveFile) {
      FileBytes old_data;
      if (!ReadWhole(old_tree, t->path, &old_data, &t->error)) return void(t->ok = false);
      e.old_size = old_data.size();
      e.old_hash = HashBytes(old_data.data(), old_data.size());
      e.encoding = Encoding::kNone;
      return;
    }
    FileBytes new_data, old_data;
    if (t->kind == EntryKind::kChangeFile) {
      if (!ReadBothVersions(old_tree, new_tree, t->path, budget, &old_data, &new_data, &e.old_hash, &e.new_hash,
                            &t->error))
        return void(t->ok = false);
    } else {
      if (!ReadWhole(new_tree, t->path, &new_data, &t->error)) return void(t->ok = false);
      e.new_hash = HashBytes(new_data.data(), new_data.size());
    }
    e.new_size = new_data.size();
    const bool whole_solid = t->whole_may_be_solid && new_data.size() <= kSolidWholeMax;
    if (t->kind == EntryKind::kAddFile) {
      /* A renamed, moved or copied file costs a reference to its source. */
      for (const std::string& candidate : t->copy_candidates) {
        if (!ReadWhole(old_tree, candidate, &old_data, &t->error)) return void(t->ok = false);
        if (old_data == new_data) {
          e.source = candidate;
          e.old_size = e.new_size;
          e.old_hash = e.new_hash;
          e.encoding = Encoding::kCopy;
          return;
        }
      }
      old_data.clear();
      if (t->similar_candidate.empty()) {
        if (PreparePart(&t->parts[0], new_data.data(), new_data.size(), whole_solid, budget) == ~0ull)
          throw std::bad_alloc();
        t->part_count = 1;
        e.encoding = Encoding::kStored;
        return;
      }
      if (!ReadWhole(old_tree, t->similar_candidate, &old_data, &t->error)) return void(t->ok = false);
      e.source = t->similar_candidate;
      e.old_hash = HashBytes(old_data.data(), old_data.size());
    }
    e.old_size = old_data.size();
    if (t->kind == EntryKind::kChangeFile && e.old_size == e.new_size && e.old_hash == e.new_hash) {
      t->unchanged = true;
      return;
    }
    uint64_t delta_cost = ~0ull;
    if (!old_data.empty() && !new_data.empty() && old_data.size() <= kMaxDeltaOldSize) {
      /* Near-identical files first: a linear pass, without a suffix array. */
      DeltaStreams streams;
      /* Executables go to the executable delta: in a near-identical
       * one, moved references are still most of what changed. */
      ExecutablePair exe;
      const bool executable = t->executable_deltas && ReadExecutablePair(old_data.data(), old_data.size(),
                                                                         new_data.data(), new_data.size(), &exe);
      t->near_identical = !executable && ComputeNearIdenticalDelta(old_data.data(), old_data.size(),
                                                                   new_data.data(), new_data.size(), &streams);
      if (!t->near_identical && !ComputeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(),
                                              budget, &streams, executable ? &exe : nullptr))
        throw std::bad_alloc();
      /* A delta that saves less than seven eighths (at a quick setting)
       * is from a build far apart, where an LZ coder that matches short
       * strings anywhere in the old file may do better (window_lz.h); on
       * the others it never does, and it costs about a second per MiB.
       * Where it beats the quick delta by an eighth, the delta's best
       * encoding (seconds on such a file) could not catch up with it. */
      Part lz;
      uint64_t lz_cost = ~0ull, quick = ~0ull;
      const uint64_t raw = streams.control.size() + streams.diff.size() + streams.extra.size();
      if (t->windowed_lz && raw > new_data.size() / 8 && (quick = QuickCost(streams, budget)) > new_data.size() / 8) {
        if (!EncodeWindowedLz(old_data.data(), old_data.size(), new_data.data(), new_data.size(), budget, &lz.enc))
          throw std::bad_alloc();
        lz_cost = lz.enc.size();
      }
      if (lz_cost == ~0ull || lz_cost / 7 * 8 >= quick) {
        std::vector<uint8_t>* src[3] = {&streams.control, &streams.diff, &streams.extra};
        uint64_t cost[3] = {0, 0, 0};
        auto prepare = [&](size_t i) {
          cost[i] = PreparePart(&t->parts[i], src[i]->data(), src[i]->size(), src[i]->size() <= kSolidStreamMax,
                                budget);
          std::vector<uint8_t>().swap(*src[i]);
        };
        /* Small streams (only estimated, at a fast setting) first, on this
         * thread: a large one's codecs then start with every spare core. */
        std::vector<size_t> apart;
        for (size_t i = 0; i < 3; ++i) {
          if (src[i]->size() <= kSolidStreamMax)
            prepare(i);
          else
            apart.push_back(i);
        }
        RunParallel(apart.size(), [&](size_t k) { prepare(apart[k]); }, budget);
        if (cost[0] == ~0ull || cost[1] == ~0ull || cost[2] == ~0ull) throw std::bad_alloc();
        delta_cost = cost[0] + cost[1] + cost[2];
        t->part_count = 3;
        e.encoding = streams.executable ? Encoding::kExecutableDelta : Encoding::kDelta;
      }
      if (lz_cost < delta_cost) {
        lz.size = lz_cost; /* stored apart: its LZMA2 is all the coding it needs */
        KeepOnly(t, std::move(lz));
        delta_cost = lz_cost;
        e.encoding = Encoding::kWindowedLz;
      }
    }
    /* A delta that saves little is checked against the file sent whole.
     * The windowed LZ form is LZMA2 that starts from old bytes: the whole
     * file at its best (seconds on such a file) can only beat it where the
     * old file gave it little. It is not tried where the windowed form
     * takes at most three quarters of a fast estimate of the whole file
     * (the far-apart esbuild pair: 0.65). */
    bool try_whole = delta_cost == ~0ull || delta_cost > new_data.size() / 4;
    if (try_whole && e.encoding == Encoding::kWindowedLz) {
      Codec c;
      std::vector<uint8_t> est;
      if (!EncodeBest(new_data.data(), new_data.size(), Effort::kFast, nullptr, &c, &est)) throw std::bad_alloc();
      try_whole = delta_cost / 3 * 4 >= est.size();
    }
    if (try_whole) {
      FileBytes().swap(old_data);
      Part whole;
      uint64_t whole_cost = PreparePart(&whole, new_data.data(), new_data.size(), whole_solid, budget);
      if (whole_cost == ~0ull) throw std::bad_alloc();
      if (whole_cost < delta_cost) {
        KeepOnly(t, std::move(whole));
        e.encoding = Encoding::kStored;
        if (t->kind == EntryKind::kAddFile) {
          e.source.clear();
          e.old_size = 0;
          e.old_hash = Hash128();
        }
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

/* Files smaller than this are sent whole: a reference to a source (its
 * path, size and hash) would cost about as much. */
constexpr uint64_t kMinSourcedSize = 128;
/* Old files of an added file's size read to find an exact copy, at most. */
constexpr size_t kMaxCopyCandidates = 8;

std::string Extension(const std::string& path) {
  const size_t slash = path.rfind('\\');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  return FoldCase(path.substr(dot));
}

/* The last component of a path. */
std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

/* An old file that an added file's content must resemble this much (see
 * content_sketch.h) to be diffed against for that reason alone. */
constexpr double kMinResemblance = 0.05;
/* The removed files nearest in size that an added file is compared with,
 * at most. */
constexpr size_t kMaxSampledCandidates = 32;

/* For every added file, the old files it may be built from: those of its
 * size (an exact copy is found by reading them, so no old file is read
 * unless an added file has its size), else one removed old file within a
 * factor of two of its size to diff against: the one its content most
 * resembles by sampling, else one of the same name (a moved file), else
 * one of the same extension (a renamed one), of the nearest size.
 * Everything goes in path order, so the choice is deterministic and each
 * added file is diffed at most once. */
void FindSources(FileSystem& old_tree, FileSystem& new_tree, const Tree& olds, const Tree& news,
                 std::vector<Task>* tasks, CoreBudget* budget) {
  std::map<uint64_t, std::vector<const std::string*>> by_size;
  typedef std::vector<std::pair<uint64_t, const std::string*>> Candidates;
  std::map<std::string, Candidates> removed_by_ext, removed_by_name;
  Candidates removed;
  for (const auto& kv : olds) {
    if (kv.second.type != EntryType::kFile || kv.second.size < kMinSourcedSize || HasShortNameForm(kv.first)) continue;
    by_size[kv.second.size].push_back(&kv.first);
    auto it = news.find(kv.first);
    if ((it == news.end() || it->second.type != EntryType::kFile) && kv.second.size <= kMaxDeltaOldSize) {
      removed.push_back({kv.second.size, &kv.first});
      removed_by_ext[Extension(kv.first)].push_back({kv.second.size, &kv.first});
      removed_by_name[FoldCase(BaseName(kv.first))].push_back({kv.second.size, &kv.first});
    }
  }
  auto near_in_size = [](uint64_t a, uint64_t b) { return a <= 2 * b && b <= 2 * a; };
  auto size_gap = [](uint64_t a, uint64_t b) { return a > b ? a - b : b - a; };
  /* The removed file of the nearest size among `candidates`. */
  auto nearest = [&](const Candidates& candidates, Task* t) {
    uint64_t best_gap = ~0ull;
    for (const auto& c : candidates) {
      if (!near_in_size(c.first, t->size_hint)) continue;
      const uint64_t gap = size_gap(c.first, t->size_hint);
      if (gap < best_gap) {
        best_gap = gap;
        t->similar_candidate = *c.second;
        t->old_hint = c.first;
      }
    }
  };

  /* Sketch each added file that has a removed file near its size, and
   * each such removed file, once, on every core. */
  std::vector<Task*> sampled;
  std::vector<std::vector<size_t>> sampled_candidates; /* indexes into `removed` */
  std::vector<char> old_wanted(removed.size(), 0);
  for (Task& t : *tasks) {
    if (t.kind != EntryKind::kAddFile || t.size_hint < kMinSourcedSize) continue;
    std::vector<size_t> near;
    for (size_t i = 0; i < removed.size(); ++i)
      if (near_in_size(removed[i].first, t.size_hint)) near.push_back(i);
    if (near.empty()) continue;
    /* Where many are near in size, those nearest, so that the work stays
     * linear in the number of files. */
    std::stable_sort(near.begin(), near.end(), [&](size_t x, size_t y) {
      return size_gap(removed[x].first, t.size_hint) < size_gap(removed[y].first, t.size_hint);
    });
    if (near.size() > kMaxSampledCandidates) near.resize(kMaxSampledCandidates);
    for (size_t i : near) old_wanted[i] = 1;
    sampled.push_back(&t);
    sampled_candidates.push_back(std::move(near));
  }
  std::vector<size_t> old_jobs;
  for (size_t i = 0; i < removed.size(); ++i)
    if (old_wanted[i]) old_jobs.push_back(i);
  std::vector<ContentSketch> old_sketches(removed.size()), new_sketches(sampled.size());
  RunParallel(
      old_jobs.size() + sampled.size(),
      [&](size_t k) {
        /* A file that cannot be read has no sketch; the build reports it
         * when it reads the file for good. */
        if (k < old_jobs.size())
          SketchFile(old_tree, *removed[old_jobs[k]].second, &old_sketches[old_jobs[k]]);
        else
          SketchFile(new_tree, sampled[k - old_jobs.size()]->path, &new_sketches[k - old_jobs.size()]);
      },
      budget);
  for (size_t k = 0; k < sampled.size(); ++k) {
    Task& t = *sampled[k];
    /* A file of the same name that resembles it at all comes first: a
     * moved file is most likely made from its old self, even where
     * another old file (a variant of it) shares a little more. */
    const std::string name = FoldCase(BaseName(t.path));
    double best = kMinResemblance;
    bool best_named = false;
    for (size_t i : sampled_candidates[k]) {
      const auto& c = removed[i];
      const double r = Resemblance(new_sketches[k], old_sketches[i]);
      if (r < kMinResemblance) continue;
      const bool named = FoldCase(BaseName(*c.second)) == name;
      if ((named && !best_named) || (named == best_named && (r > best || t.similar_candidate.empty()))) {
        best = r;
        best_named = named;
        t.similar_candidate = *c.second;
        t.old_hint = c.first;
      }
    }
  }

  for (Task& t : *tasks) {
    if (t.kind != EntryKind::kAddFile || t.size_hint < kMinSourcedSize) continue;
    auto same = by_size.find(t.size_hint);
    if (same != by_size.end())
      for (size_t i = 0; i < same->second.size() && i < kMaxCopyCandidates; ++i)
        t.copy_candidates.push_back(*same->second[i]);
    if (!t.similar_candidate.empty()) continue;
    /* Nothing found by content (too small to sample, say): a file that
     * moved keeps its name; one that was renamed (a build number in it)
     * keeps its kind. */
    auto name = removed_by_name.find(FoldCase(BaseName(t.path)));
    if (name != removed_by_name.end()) nearest(name->second, &t);
    auto ext = removed_by_ext.find(Extension(t.path));
    if (t.similar_candidate.empty() && ext != removed_by_ext.end()) nearest(ext->second, &t);
  }
}

}  // namespace

Result BuildPatch(FileSystem& old_tree, FileSystem& new_tree, File& out, const BuildOptions& options,
                  BuildStats* stats, std::string* error) {
  std::string local_error;
  if (!error) error = &local_error;
  BuildStats st;
  const uint16_t version = options.format_version ? options.format_version : kPatchVersion;
  if (version < kOldestPatchVersion || version > kPatchVersion) {
    *error = "cannot write format version " + std::to_string(version) + " (this engine writes " +
             std::to_string(kOldestPatchVersion) + " to " + std::to_string(kPatchVersion) + ")";
    return Result::kCannotCreate;
  }
  try {
    Tree olds, news;
    if (!ScanTree(old_tree, "", options, "old", &olds, error) || !ScanTree(new_tree, "", options, "new", &news, error))
      return Result::kCannotOpenPatch;
    {
      std::map<std::string, std::string> folded;
      for (const auto& kv : news) {
        auto ins = folded.emplace(FoldCase(kv.first), kv.first);
        if (!ins.second) {
          *error = "'" + kv.first + "' and '" + ins.first->second +
                   "' differ only in case, which Windows does not tell apart";
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
        tasks.push_back(Task(EntryKind::kChangeFile, kv.first, it->second.size, kv.second.size));
        const uint64_t from = options.block_match_from ? options.block_match_from : kBlockMatchFrom;
        tasks.back().block_match = it->second.size > 0 && (kv.second.size >= from || kv.second.size > kMaxDeltaOldSize);
      } else if (old_file) {
        tasks.push_back(Task(EntryKind::kRemoveFile, kv.first, 0, kv.second.size));
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
        tasks.push_back(Task(EntryKind::kAddFile, kv.first, kv.second.size, 0));
      } else {
        PatchEntry e;
        e.kind = EntryKind::kAddFolder;
        e.path = kv.first;
        entries.push_back(e);
        ++st.folders_added;
      }
    }

    unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    if (version >= 3) {
      CoreBudget sketch_budget(static_cast<int>(threads) - 1);
      FindSources(old_tree, new_tree, olds, news, &tasks, &sketch_budget);
    } else {
      for (Task& t : tasks) t.executable_deltas = false;
    }
    if (version < 4)
      for (Task& t : tasks) t.windowed_lz = false;

    /* Small whole files may go into the solid area, in path order, up to
     * a total; decided before any work so that it does not depend on the
     * order in which the tasks finish. */
    {
      uint64_t whole_total = 0;
      for (Task& t : tasks) {
        if (t.kind == EntryKind::kRemoveFile || t.size_hint > kSolidWholeMax) continue;
        if (whole_total + t.size_hint > kSolidWholeTotal) continue;
        whole_total += t.size_hint;
        t.whole_may_be_solid = true;
      }
    }

    /* Largest files first, so that the last ones to finish are small.
     * Files whose diffing needs more than half of what the largest one
     * needs go one at a time, each with every core; the rest share the
     * cores. So the build never needs more memory than diffing its
     * largest file does. */
    CoreBudget budget(static_cast<int>(threads) - 1);
    BuildProgress progress;
    progress.files_total = tasks.size();
    for (const Task& t : tasks) progress.bytes_total += t.size_hint;
    std::mutex progress_mutex;
    auto report_done = [&](const Task& t) {
      if (!options.progress) return;
      std::lock_guard<std::mutex> lock(progress_mutex);
      progress.files_done++;
      progress.bytes_done += t.size_hint;
      options.progress(progress);
    };

    /* Files of the same size in both builds are compared side by side
     * first, on every core: where few files change, that is most of the
     * work, and a file found unchanged is never loaded or hashed whole. */
    {
      std::vector<size_t> same_size;
      for (size_t i = 0; i < tasks.size(); ++i)
        if (tasks[i].kind == EntryKind::kChangeFile && tasks[i].size_hint == tasks[i].old_hint) same_size.push_back(i);
      RunParallel(
          same_size.size(),
          [&](size_t k) {
            Task& t = tasks[same_size[k]];
            if (CompareFiles(old_tree, new_tree, t.path) != Sameness::kSame) return;
            t.unchanged = true;
            report_done(t);
          },
          &budget);
    }

    std::vector<size_t> order;
    for (size_t i = 0; i < tasks.size(); ++i)
      if (!tasks[i].unchanged) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return tasks[a].MemoryNeed() != tasks[b].MemoryNeed() ? tasks[a].MemoryNeed() > tasks[b].MemoryNeed()
                                                              : tasks[a].size_hint > tasks[b].size_hint;
    });
    size_t big = 0;
    const uint64_t largest_need = order.empty() ? 0 : tasks[order[0]].MemoryNeed();
    while (big < order.size() && tasks[order[big]].MemoryNeed() * 2 > largest_need) ++big;
    auto run_one = [&](size_t k) {
      Task& t = tasks[order[k]];
      RunTask(old_tree, new_tree, &budget, &t);
      report_done(t);
    };
    for (size_t k = 0; k < big; ++k) run_one(k);
    RunParallel(order.size() - big, [&](size_t i) { run_one(big + i); }, &budget);

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
      if (t.block_match) ++st.files_block_matched;
      if (t.near_identical && t.entry.encoding == Encoding::kDelta) ++st.files_near_identical;
      entries.push_back(t.entry);
    }
    /* Keep each task with its entry while sorting. */
    std::vector<Task*> task_of;
    {
      std::map<std::pair<std::string, int>, Task*> by_key;
      for (Task& t : tasks)
        if (t.ok && !t.unchanged) by_key[{t.path, KindOrder(t.kind)}] = &t;
      std::sort(entries.begin(), entries.end(), [](const PatchEntry& a, const PatchEntry& b) {
        return a.path != b.path ? a.path < b.path : KindOrder(a.kind) < KindOrder(b.kind);
      });
      for (const PatchEntry& e : entries) {
        auto it = by_key.find({e.path, KindOrder(e.kind)});
        task_of.push_back(it == by_key.end() || it->second->kind == EntryKind::kRemoveFile ? nullptr : it->second);
      }
    }
    /* A name the patch adds, changes or removes must not be one Windows
     * could take for the short name of another file. */
    for (const PatchEntry& e : entries) {
      if (HasShortNameForm(e.path)) {
        *error = "'" + e.path + "' has the form of a Windows short name (like DATA~1.PAK), which may name " +
                 "another file on a player's disk; rename it";
        return Result::kCannotCreate;
      }
    }
    if (!CheckManifestStructure(entries)) {
      *error = "the trees differ in a way a patch cannot express (a folder renamed only in case?)";
      return Result::kCannotCreate;
    }

    /* The solid area takes the candidate streams in entry order while it
     * has room; the others are encoded apart now. */
    std::vector<Part*> late;
    uint64_t solid_total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      Task* t = task_of[i];
      if (!t) continue;
      for (size_t k = 0; k < t->part_count; ++k) {
        Part* p = &t->parts[k];
        if (!p->solid) continue;
        if (solid_total + p->size <= kMaxSolidSize) {
          solid_total += p->size;
        } else {
          late.push_back(p);
        }
      }
    }
    {
      bool ok = true;
      std::mutex m;
      RunParallel(
          late.size(),
          [&](size_t i) {
            bool r = false;
            try {
              r = EncodeApart(late[i], &budget);
            } catch (const std::bad_alloc&) {
            }
            if (!r) {
              std::lock_guard<std::mutex> lock(m);
              ok = false;
            }
          },
          &budget);
      if (!ok) throw std::bad_alloc();
    }

    /* Stream references, the index (manifest, then the solid area) and
     * the streams kept apart, all in entry order. */
    std::vector<uint8_t> index;
    uint64_t separate = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      Task* t = task_of[i];
      if (!t) continue;
      PatchEntry& e = entries[i];
      for (size_t k = 0; k < t->part_count; ++k) {
        const Part& p = t->parts[k];
        StreamRef& r = e.streams[k];
        r.decoded_size = p.size;
        if (p.solid) {
          r.codec = 0;
          r.encoded_size = p.size;
        } else {
          r.codec = static_cast<uint8_t>(p.codec);
          r.encoded_size = p.enc.size();
          separate += p.enc.size();
        }
      }
    }
    AppendManifest(entries, &index, version);
    for (size_t i = 0; i < entries.size(); ++i) {
      Task* t = task_of[i];
      if (!t) continue;
      for (size_t k = 0; k < t->part_count; ++k) {
        Part& p = t->parts[k];
        if (!p.solid) continue;
        index.insert(index.end(), p.raw.begin(), p.raw.end());
        std::vector<uint8_t>().swap(p.raw);
      }
    }
    if (index.size() > kMaxIndexSize) {
      *error = "too many changes for one patch";
      return Result::kCannotCreate;
    }
    Codec index_codec;
    std::vector<uint8_t> index_enc;
    if (!EncodeBest(index.data(), index.size(), Effort::kBest, &budget, &index_codec, &index_enc))
      throw std::bad_alloc();

    std::vector<uint8_t> head;
    AppendPatchHead(static_cast<uint32_t>(entries.size()), static_cast<uint8_t>(index_codec), index.size(), index_enc,
                    separate, &head, version);
    std::vector<uint8_t>().swap(index);
    std::vector<uint8_t>().swap(index_enc);
    PatchWriter writer(&out);
    bool ok = writer.Write(head.data(), head.size());
    for (size_t i = 0; ok && i < entries.size(); ++i) {
      Task* t = task_of[i];
      if (!t) continue;
      for (size_t k = 0; ok && k < t->part_count; ++k)
        if (!t->parts[k].solid) ok = writer.Write(t->parts[k].enc.data(), t->parts[k].enc.size());
    }
    ok = ok && writer.Finish();
    if (!ok) {
      *error = "cannot write the patch data";
      return Result::kCannotCreate;
    }
    const uint64_t total = writer.written() + kTrailerSize;
    st.patch_bytes = total;
    if (stats) *stats = st;
    return Result::kOk;
  } catch (const std::bad_alloc&) {
    *error = "out of memory";
    return Result::kNoMemory;
  }
}

}  // namespace olk
