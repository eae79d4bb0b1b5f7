// An install folder in memory that records what the engine does to it,
// and can replay a record with a power cut at any point.
//
// The model of a disk it simulates:
// - every change to folder entries (create, rename, remove, make and
//   remove folder) is an operation in the record; it reaches the disk in
//   order up to the last folder sync, and in the "weak" model any subset
//   of the operations after it may be lost (a file system that reorders
//   metadata writes freely until it is told to sync);
// - file data written since the file's last flush may be lost: zeroed,
//   cut back to what was flushed, or kept.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "olkeng/file_layer.h"

namespace olktest {

struct Inode {
  std::string data;     // what a reader sees now
  std::string durable;  // what survives a power cut for sure
};

// One operation of the record. `file` numbers the files in the order of
// their creation.
struct DiskOp {
  enum Kind { kCreate, kWrite, kFlush, kRename, kLink, kRemoveFile, kMakeDir, kRemoveDir, kSyncDir } kind;
  std::string path, path2;
  size_t file = 0;
  std::string data;  // kWrite
  bool IsMetadata() const { return kind != kWrite && kind != kFlush; }
};

// What becomes of file data that was not flushed.
enum class LostData { kKept, kZeroed, kCutBack };

class MemFs : public olk::FileSystem {
 public:
  MemFs() = default;
  // Paths as the engine names them, '\' separated; kDir marks folders.
  explicit MemFs(const Tree& tree);

  MemFs Clone() const;  // a deep copy: files are not shared with the original (names of one file still are)
  Tree ToTree() const;  // the whole tree, as the engine would see it

  // Every successful change is appended here when set.
  std::vector<DiskOp>* record = nullptr;
  // Operations that fail on purpose: an open, rename, removal or create
  // whose path equals this fails with `fail_status` (a file held by
  // someone).
  std::string fail_path;
  olk::IoStatus fail_status = olk::IoStatus::kInUse;
  bool ordered_volume = true;
  // Files that another process holds open: deleting them fails (kInUse).
  std::set<std::string> undeletable;
  // Files whose deletion reports success but never reaches the disk
  // (deleted on close by a scanner that still holds them, then the power
  // failed).
  std::set<std::string> deferred_removals;
  // False: LinkFile() refuses, as on a FAT volume.
  bool makes_links = true;

  olk::IoStatus Stat(const std::string& p, olk::EntryInfo* info) override;
  olk::IoStatus OpenRead(const std::string& p, std::unique_ptr<olk::File>* out) override;
  olk::IoStatus CreateNew(const std::string& p, std::unique_ptr<olk::File>* out) override;
  olk::IoStatus Rename(const std::string& from, const std::string& to) override;
  olk::IoStatus LinkFile(const std::string& from, const std::string& to) override;
  olk::IoStatus RemoveFile(const std::string& p) override;
  olk::IoStatus MakeDir(const std::string& p) override;
  olk::IoStatus RemoveDir(const std::string& p) override;
  olk::IoStatus List(const std::string& p, std::vector<olk::DirEntry>* out) override;
  olk::IoStatus FreeSpace(uint64_t* bytes) override {
    *bytes = UINT64_MAX / 2;
    return olk::IoStatus::kOk;
  }
  olk::IoStatus SyncDir(const std::string& p) override;
  olk::IoStatus DescribeVolume(olk::VolumeInfo* info) override {
    info->fs_name = ordered_volume ? "memfs" : "FAT32";
    info->ordered = ordered_volume;
    return olk::IoStatus::kOk;
  }

  // Applies one recorded operation (a replay); false when it cannot be
  // applied to this state (then it changes nothing). `files` maps the
  // record's file numbers to the files of this replay.
  bool Replay(const DiskOp& op, std::vector<std::shared_ptr<Inode>>* files);
  // What a power cut does to file data not flushed.
  void LoseUnflushedData(LostData how);

 private:
  struct Node {
    bool dir = false;
    std::shared_ptr<Inode> inode;  // files only
  };
  friend class MemFsFile;
  void Log(DiskOp op);
  bool ParentIsDir(const std::string& p) const;
  // Why `from` cannot get the new name `to` (a rename or a link), or kOk.
  olk::IoStatus CheckNewName(const std::string& from, const std::string& to) const;
  std::map<std::string, Node> nodes_;  // by path; "" is the root
  size_t next_file_ = 0;
};

// The state on disk after a power cut that let `ops[0, count)` happen.
// In the weak model, `lost` (indices into ops, at or after the last
// folder sync before `count`) are dropped.
MemFs DiskAfterCut(const MemFs& before, const std::vector<DiskOp>& ops, size_t count,
                   const std::vector<size_t>& lost, LostData how);

// The index just past the last folder sync in ops[0, count).
size_t LastSyncBefore(const std::vector<DiskOp>& ops, size_t count);

}  // namespace olktest
