#include "commit.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <unordered_map>

#include "patch_format.h"

namespace olk {

namespace {

std::string ParentOf(const std::string& path) {
  const size_t cut = path.rfind('\\');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

/* The type of the entry at `path`; a path that cannot be examined counts
 * as something unknown, so that no decision rests on it. */
EntryType TypeAt(FileSystem& fs, const std::string& path) {
  EntryInfo info;
  if (fs.Stat(path, &info) != IoStatus::kOk) return EntryType::kOther;
  return info.type;
}

bool IsFile(FileSystem& fs, const std::string& path) { return TypeAt(fs, path) == EntryType::kFile; }
bool IsAbsent(FileSystem& fs, const std::string& path) { return TypeAt(fs, path) == EntryType::kNone; }

bool IsBackupStep(const Step& s) { return s.type == Step::kMove && IsSafeRelativePath(s.from); }
bool IsPlaceStep(const Step& s) { return s.type == Step::kMove && !IsSafeRelativePath(s.from); }

/* For each install path (case folded) of a journal: its backup and its
 * placement step, if any. */
struct PathSteps {
  const Step* backup = nullptr;
  const Step* place = nullptr;
};
typedef std::unordered_map<std::string, PathSteps> StepIndex;

StepIndex IndexSteps(const std::vector<Step>& steps) {
  StepIndex index;
  for (const Step& s : steps) {
    if (IsBackupStep(s)) index[FoldCase(s.from)].backup = &s;
    if (IsPlaceStep(s)) index[FoldCase(s.to)].place = &s;
  }
  return index;
}

/* The folders whose entries the steps change, the staging folder first. */
std::vector<std::string> TouchedFolders(const std::vector<Step>& steps) {
  std::set<std::string> seen;
  std::vector<std::string> out;
  auto add = [&](const std::string& folder) {
    if (seen.insert(folder).second) out.push_back(folder);
  };
  add(kStagingFolder);
  for (const Step& s : steps) {
    add(ParentOf(s.to));
    if (s.type == Step::kMove) add(ParentOf(s.from));
  }
  return out;
}

/* Syncs every folder; a folder that is gone (removed by a step) has
 * nothing to sync. */
IoStatus SyncFolders(FileSystem& fs, const std::vector<std::string>& folders) {
  IoStatus first = IoStatus::kOk;
  for (const std::string& f : folders) {
    IoStatus s = fs.SyncDir(f);
    if (s != IoStatus::kOk && s != IoStatus::kNotFound && first == IoStatus::kOk) first = s;
  }
  return first;
}

/* Undoes the steps in reverse order, deciding for each from the state on
 * disk whether it was carried out. The caller has checked with
 * CanRollBack() that no old file is missing. */
IoStatus UndoSteps(FileSystem& fs, const std::vector<Step>& steps) {
  IoStatus first = IoStatus::kOk;
  for (size_t i = steps.size(); i-- > 0;) {
    const Step& st = steps[i];
    IoStatus s = IoStatus::kOk;
    const EntryType to = TypeAt(fs, st.to);
    switch (st.type) {
      case Step::kMove:
        if (to == EntryType::kFile && IsAbsent(fs, st.from)) s = fs.Rename(st.to, st.from);
        break;
      case Step::kMakeDir:
        if (to == EntryType::kDirectory) {
          s = fs.RemoveDir(st.to);
          if (s == IoStatus::kNotEmpty) s = IoStatus::kOk; /* something else lives there now: keep it */
        }
        break;
      case Step::kRemoveDir:
        if (to == EntryType::kNone) s = fs.MakeDir(st.to);
        break;
    }
    if (s != IoStatus::kOk && first == IoStatus::kOk) first = s;
  }
  return first;
}

/* A roll-back restores every old file: each backup is there, or its old
 * file was never moved (still in place, its new file not put there). */
bool CanRollBack(FileSystem& fs, const std::vector<Step>& steps, const StepIndex& index) {
  for (const Step& s : steps) {
    if (!IsBackupStep(s) || IsFile(fs, s.to)) continue;
    const PathSteps& p = index.at(FoldCase(s.from));
    if (!IsFile(fs, s.from)) return false;
    if (p.place && !IsFile(fs, p.place->from)) return false; /* the file in place is the new one */
  }
  return true;
}

/* A roll-forward puts every new file in place: each staged file is still
 * there with its place free (or to be freed by its backup step), or it is
 * in place already. */
bool CanRollForward(FileSystem& fs, const std::vector<Step>& steps, const StepIndex& index) {
  for (const Step& s : steps) {
    if (!IsPlaceStep(s)) continue;
    const EntryType staged = TypeAt(fs, s.from), target = TypeAt(fs, s.to);
    if (staged != EntryType::kFile) {
      if (target != EntryType::kFile) return false;
      continue;
    }
    if (target == EntryType::kNone) continue;
    const PathSteps& p = index.at(FoldCase(s.to));
    if (!(target == EntryType::kFile && p.backup && IsAbsent(fs, p.backup->to))) return false;
  }
  return true;
}

/* Carries out what is left of the steps, in order. */
IoStatus RedoSteps(FileSystem& fs, const std::vector<Step>& steps, const StepIndex& index) {
  for (const Step& st : steps) {
    IoStatus s = IoStatus::kOk;
    if (IsBackupStep(st)) {
      const PathSteps& p = index.at(FoldCase(st.from));
      if (IsFile(fs, st.from) && IsAbsent(fs, st.to) && (!p.place || IsFile(fs, p.place->from)))
        s = fs.Rename(st.from, st.to);
    } else if (st.type == Step::kMove) {
      if (IsFile(fs, st.from) && IsAbsent(fs, st.to)) s = fs.Rename(st.from, st.to);
    } else if (st.type == Step::kRemoveDir) {
      if (TypeAt(fs, st.to) == EntryType::kDirectory) {
        s = fs.RemoveDir(st.to);
        if (s == IoStatus::kNotEmpty) s = IoStatus::kOk;
      }
    } else if (IsAbsent(fs, st.to)) {
      s = fs.MakeDir(st.to);
    }
    if (s != IoStatus::kOk) return s;
  }
  return IoStatus::kOk;
}

struct StagingListing {
  std::vector<DirEntry> entries;
  bool journal = false, committed = false, backups = false;
};

IoStatus ListStaging(FileSystem& fs, StagingListing* out) {
  IoStatus s = fs.List(kStagingFolder, &out->entries);
  if (s != IoStatus::kOk) return s;
  for (const DirEntry& d : out->entries) {
    if (d.type != EntryType::kFile) continue;
    switch (ClassifyStagingName(d.name)) {
      case StagingName::kJournal: out->journal = true; break;
      case StagingName::kCommitted: out->committed = true; break;
      case StagingName::kBackup: out->backups = true; break;
      default: break;
    }
  }
  return IoStatus::kOk;
}

/* Deletes the engine's files in the staging folder (backups only when
 * `backups`), but neither journal: a file that cannot be deleted is
 * renamed aside for a later run. Entries the engine does not make are left
 * alone. Then removes the folder if it is empty. `*leftovers` tells
 * whether anything stays. */
IoStatus ClearLeftovers(FileSystem& fs, bool backups, bool durable, bool* leftovers, bool* files_kept = nullptr) {
  *leftovers = false;
  if (files_kept) *files_kept = false;
  StagingListing list;
  IoStatus s = ListStaging(fs, &list);
  if (s != IoStatus::kOk) return s;
  size_t next_waste = 0;
  for (const DirEntry& d : list.entries)
    if (d.type == EntryType::kFile && ClassifyStagingName(d.name) == StagingName::kWaste)
      next_waste = std::max<size_t>(next_waste, std::strtoul(d.name.c_str() + 1, nullptr, 10) + 1);
  for (const DirEntry& d : list.entries) {
    const StagingName kind = ClassifyStagingName(d.name);
    const bool ours = d.type == EntryType::kFile && kind != StagingName::kUnknown && kind != StagingName::kJournal &&
                      kind != StagingName::kCommitted && (backups || kind != StagingName::kBackup);
    if (!ours) {
      if (kind != StagingName::kJournal && kind != StagingName::kCommitted) *leftovers = true;
      continue;
    }
    const std::string path = StagingPath(d.name.c_str());
    s = fs.RemoveFile(path);
    if (s == IoStatus::kOk || s == IoStatus::kNotFound) continue;
    *leftovers = true;
    if (kind == StagingName::kWaste) continue;
    if (fs.Rename(path, WasteFilePath(next_waste)) == IoStatus::kOk)
      ++next_waste;
    else if (files_kept)
      *files_kept = true;
  }
  if (durable) fs.SyncDir(kStagingFolder);
  return IoStatus::kOk;
}

/* Removes the staging folder once only its journal (if any) is left. */
void RemoveStagingFolder(FileSystem& fs, const char* journal, bool durable) {
  if (journal) fs.RemoveFile(StagingPath(journal));
  if (fs.RemoveDir(kStagingFolder) == IoStatus::kOk && durable) fs.SyncDir("");
}

/* The last stage of a commit, from the committed state on: delete the
 * backups and leftovers, then the journal, then the folder. */
void FinishCommitted(FileSystem& fs, bool durable, bool* leftovers) {
  bool kept = false;
  ClearLeftovers(fs, true, durable, leftovers, &kept);
  /* A backup still there keeps the journal: without it, the next run
   * could not tell a leftover from an original file. */
  if (!kept) RemoveStagingFolder(fs, kCommittedName, durable);
}

/* Roll-back of a commit whose journal is on disk: undo, make the undo
 * durable, drop the journal, then the staged files. */
IoStatus RollBack(FileSystem& fs, const std::vector<Step>& steps, bool durable, bool* leftovers) {
  IoStatus s = UndoSteps(fs, steps);
  if (s != IoStatus::kOk) return s;
  if (durable) SyncFolders(fs, TouchedFolders(steps));
  s = fs.RemoveFile(StagingPath(kJournalName));
  if (s != IoStatus::kOk && s != IoStatus::kNotFound) return s;
  if (durable) fs.SyncDir(kStagingFolder);
  ClearLeftovers(fs, false, durable, leftovers);
  RemoveStagingFolder(fs, nullptr, durable);
  return IoStatus::kOk;
}

/* Roll-forward: record the decision first, then finish the steps. */
IoStatus RollForward(FileSystem& fs, const std::vector<Step>& steps, const StepIndex& index, bool from_journal,
                     bool* leftovers) {
  IoStatus s;
  if (from_journal) {
    s = fs.Rename(StagingPath(kJournalName), StagingPath(kCommittedName));
    if (s != IoStatus::kOk) return s;
    fs.SyncDir(kStagingFolder);
  }
  s = RedoSteps(fs, steps, index);
  if (s != IoStatus::kOk) return s;
  SyncFolders(fs, TouchedFolders(steps));
  /* The backups go only once every new file is in place. */
  for (const Step& st : steps)
    if (IsPlaceStep(st) && (!IsFile(fs, st.to) || !IsAbsent(fs, st.from))) return IoStatus::kIoError;
  FinishCommitted(fs, true, leftovers);
  return IoStatus::kOk;
}

void Say(ProgressCallback cb, uint32_t id, const std::string& text) {
  if (cb) cb(id, text.c_str());
}

Result FromDiskRefusal(IoStatus s) { return s == IoStatus::kNoMemory ? Result::kNoMemory : Result::kFileInUse; }

const char* const kKeepStaging =
    " Nothing was changed. Do not delete the folder .olkpatch in the client's folder: it may hold original files of "
    "the client. Reinstall the client, or ask support to restore them from it.";

}  // namespace

void (*g_commit_step_hook)(size_t step, size_t count) = nullptr;

IoStatus PrepareStagingFolder(FileSystem& fs) {
  IoStatus s = fs.MakeDir(kStagingFolder);
  if (s == IoStatus::kExists) {
    /* Leftovers of an earlier run that could not be deleted yet. */
    StagingListing list;
    if (TypeAt(fs, kStagingFolder) != EntryType::kDirectory) return IoStatus::kExists;
    s = ListStaging(fs, &list);
    if (s != IoStatus::kOk) return s;
    for (const DirEntry& d : list.entries) {
      const StagingName kind = ClassifyStagingName(d.name);
      if (kind != StagingName::kWaste && kind != StagingName::kUnknown) return IoStatus::kExists;
    }
    return IoStatus::kOk;
  }
  if (s == IoStatus::kOk) fs.MarkHidden(kStagingFolder);
  return s;
}

IoStatus CommitSteps(FileSystem& fs, const std::vector<Step>& steps, bool durable, CommitReport* report) {
  *report = CommitReport();
  std::vector<std::string> folders;
  StepIndex index;
  try {
    folders = TouchedFolders(steps);
    index = IndexSteps(steps);
    report->kept_folders.reserve(steps.size());
  } catch (const std::bad_alloc&) {
    return IoStatus::kNoMemory;
  }
  auto sync = [&](const std::string& folder) {
    if (durable && fs.SyncDir(folder) != IoStatus::kOk) report->not_durable = true;
  };

  /* 1-2: the staged files' entries, then the journal, on disk. */
  sync(kStagingFolder);
  sync("");
  IoStatus s = WriteJournal(fs, steps, durable);
  if (s != IoStatus::kOk) {
    /* The commit had not begun: only the staged files go. */
    report->failed_step = steps.size();
    report->failed_status = s;
    DiscardStaging(fs);
    return s;
  }
  sync(kStagingFolder);

  /* 3: the steps. */
  size_t done = 0;
  for (; done < steps.size(); ++done) {
    if (g_commit_step_hook) g_commit_step_hook(done, steps.size());
    const Step& st = steps[done];
    if (st.type == Step::kMove) {
      s = fs.Rename(st.from, st.to);
    } else if (st.type == Step::kMakeDir) {
      s = fs.MakeDir(st.to);
    } else {
      s = fs.RemoveDir(st.to);
      if (s != IoStatus::kOk && s != IoStatus::kNotFound) report->kept_folders.push_back(done);
      s = IoStatus::kOk;
    }
    if (s != IoStatus::kOk) break;
  }

  /* 4-5: every change durable, then the commit point. */
  if (s == IoStatus::kOk) {
    if (durable && SyncFolders(fs, folders) != IoStatus::kOk) report->not_durable = true;
    s = fs.Rename(StagingPath(kJournalName), StagingPath(kCommittedName));
    if (s != IoStatus::kOk) done = steps.size();
  }
  if (s != IoStatus::kOk) {
    report->failed_step = done;
    report->failed_status = s;
    bool leftovers = false;
    report->rollback_status = CanRollBack(fs, steps, index) ? RollBack(fs, steps, durable, &leftovers)
                                                            : IoStatus::kIoError;
    return s;
  }
  sync(kStagingFolder);

  /* 6: the backups are no longer needed. */
  FinishCommitted(fs, durable, &report->leftovers);
  return IoStatus::kOk;
}

Result RecoverStaging(FileSystem& fs, ProgressCallback callback) {
  const EntryType staging = TypeAt(fs, kStagingFolder);
  if (staging == EntryType::kNone) return Result::kOk;
  if (staging == EntryType::kLink) {
    Say(callback, kNotifyError,
        "The folder .olkpatch in the client's folder is a link or junction, not a folder of the patch. Nothing was "
        "changed. Remove the link (not what it points to) and run the patch again.");
    return Result::kCannotCreate;
  }
  if (staging != EntryType::kDirectory) return Result::kOk; /* a file of that name: making the folder fails later */

  StagingListing list;
  IoStatus s = ListStaging(fs, &list);
  if (s != IoStatus::kOk) {
    Say(callback, kNotifyError, std::string("Cannot read the folder .olkpatch: ") + IoStatusName(s));
    return FromDiskRefusal(s);
  }
  bool leftovers = false;
  if (list.journal || list.committed) {
    const char* name = list.committed ? kCommittedName : kJournalName;
    std::vector<Step> steps;
    s = list.journal && list.committed ? IoStatus::kIoError : ReadJournal(fs, name, &steps);
    if (s == IoStatus::kNoMemory) return Result::kNoMemory;
    if (s != IoStatus::kOk) {
      Say(callback, kNotifyError,
          std::string("The record of an interrupted patch run (.olkpatch\\") + name + ") is damaged or not the " +
              "patch's own (" + IoStatusName(s) + ")." + kKeepStaging);
      return Result::kOldFileMismatch;
    }
    const StepIndex index = IndexSteps(steps);
    if (list.journal && CanRollBack(fs, steps, index)) {
      s = RollBack(fs, steps, true, &leftovers);
      if (s != IoStatus::kOk) {
        Say(callback, kNotifyError, std::string("Cannot roll back the interrupted patch run: ") + IoStatusName(s));
        return FromDiskRefusal(s);
      }
      Say(callback, kNotifyWarning, "Rolled back an interrupted patch run");
    } else if (CanRollForward(fs, steps, index)) {
      s = RollForward(fs, steps, index, list.journal, &leftovers);
      if (s != IoStatus::kOk) {
        Say(callback, kNotifyError, std::string("Cannot finish the interrupted patch run: ") + IoStatusName(s));
        return FromDiskRefusal(s);
      }
      Say(callback, kNotifyWarning, "Finished an interrupted patch run");
    } else {
      Say(callback, kNotifyError,
          "An interrupted patch run can be neither rolled back nor finished: files it names are missing." +
              std::string(kKeepStaging));
      return Result::kOldFileMismatch;
    }
  } else if (list.backups) {
    /* Backups without a journal: never made by a commit of ours. */
    Say(callback, kNotifyError, std::string("The folder .olkpatch holds old files but no record of a patch run.") +
                                    kKeepStaging);
    return Result::kOldFileMismatch;
  } else {
    s = ClearLeftovers(fs, false, true, &leftovers);
    if (s != IoStatus::kOk) {
      Say(callback, kNotifyError, std::string("Cannot remove the leftovers of an earlier run: ") + IoStatusName(s));
      return FromDiskRefusal(s);
    }
    RemoveStagingFolder(fs, nullptr, true);
  }
  if (leftovers)
    Say(callback, kNotifyWarning,
        "Some files in .olkpatch are in use or not the patch's own; they are left there and removed by a later run");
  return Result::kOk;
}

IoStatus DiscardStaging(FileSystem& fs) {
  bool leftovers = false;
  IoStatus s = ClearLeftovers(fs, false, false, &leftovers);
  RemoveStagingFolder(fs, nullptr, false);
  return s;
}

}  // namespace olk
