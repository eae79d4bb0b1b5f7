// POSIX side of build_tree.h.
#include "build_tree.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <set>
#include <utility>
#include <vector>

namespace {

using olk::IoStatus;

IoStatus FromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR: return IoStatus::kNotFound;
    case EACCES:
    case EPERM: return IoStatus::kAccessDenied;
    case ENOMEM: return IoStatus::kNoMemory;
    case ELOOP: return IoStatus::kLink;
    default: return IoStatus::kIoError;
  }
}

class BuildTree : public olk::FileSystem {
 public:
  BuildTree(std::string root, bool follow) : root_(std::move(root)), follow_(follow) {}

  IoStatus Stat(const std::string& path, olk::EntryInfo* info) override {
    struct stat st;
    *info = olk::EntryInfo();
    // The root is taken as it is named, a link or not.
    const int r = follow_ || path.empty() ? stat(Native(path).c_str(), &st) : lstat(Native(path).c_str(), &st);
    if (r != 0) return errno == ENOENT ? IoStatus::kOk : FromErrno(errno);
    info->type = TypeOf(st);
    if (info->type == olk::EntryType::kFile) info->size = static_cast<uint64_t>(st.st_size);
    return IoStatus::kOk;
  }

  IoStatus OpenRead(const std::string& path, std::unique_ptr<olk::File>* out) override {
    // Without following, the build opens only what it listed as a file
    // below folders it listed as folders.
    return olk::OpenNativeFile(Native(path), out);
  }

  IoStatus List(const std::string& path, std::vector<olk::DirEntry>* out) override {
    out->clear();
    std::set<std::pair<dev_t, ino_t>> holders;
    if (follow_) {
      IoStatus s = HoldingFolders(path, &holders);
      if (s != IoStatus::kOk) return s;
    }
    DIR* dir = opendir(Native(path).c_str());
    if (!dir) return FromErrno(errno);
    IoStatus status = IoStatus::kOk;
    errno = 0;
    while (struct dirent* d = readdir(dir)) {
      const std::string name = d->d_name;
      if (name == "." || name == "..") continue;
      const std::string full = Native(path.empty() ? name : path + "\\" + name);
      olk::DirEntry entry;
      entry.name = name;
      struct stat st;
      if ((follow_ ? stat(full.c_str(), &st) : lstat(full.c_str(), &st)) != 0) {
        entry.type = olk::EntryType::kLink;  // followed, it points nowhere
      } else if (S_ISLNK(st.st_mode)) {
        entry.type = olk::EntryType::kLink;
      } else {
        entry.type = TypeOf(st);
        if (entry.type == olk::EntryType::kFile) entry.size = static_cast<uint64_t>(st.st_size);
        if (entry.type == olk::EntryType::kDirectory && holders.count({st.st_dev, st.st_ino}))
          entry.type = olk::EntryType::kLink;  // leads back up
      }
      out->push_back(entry);
      errno = 0;
    }
    if (errno != 0) status = FromErrno(errno);
    closedir(dir);
    return status;
  }

  IoStatus CreateNew(const std::string&, std::unique_ptr<olk::File>*) override { return IoStatus::kAccessDenied; }
  IoStatus Rename(const std::string&, const std::string&) override { return IoStatus::kAccessDenied; }
  IoStatus RemoveFile(const std::string&) override { return IoStatus::kAccessDenied; }
  IoStatus MakeDir(const std::string&) override { return IoStatus::kAccessDenied; }
  IoStatus RemoveDir(const std::string&) override { return IoStatus::kAccessDenied; }
  IoStatus FreeSpace(uint64_t* bytes) override {
    *bytes = 0;
    return IoStatus::kAccessDenied;
  }
  IoStatus SyncDir(const std::string&) override { return IoStatus::kAccessDenied; }

 private:
  static olk::EntryType TypeOf(const struct stat& st) {
    return S_ISREG(st.st_mode) ? olk::EntryType::kFile
           : S_ISDIR(st.st_mode) ? olk::EntryType::kDirectory
                                 : olk::EntryType::kOther;
  }
  // The folder `path` and every folder above it, up to the file system's
  // root: a followed link to any of them would never end.
  IoStatus HoldingFolders(const std::string& path, std::set<std::pair<dev_t, ino_t>>* holders) const {
    char* real = realpath(Native(path).c_str(), nullptr);
    if (!real) return FromErrno(errno);
    std::string folder = real;
    free(real);
    for (;;) {
      struct stat st;
      if (stat(folder.empty() ? "/" : folder.c_str(), &st) != 0) return FromErrno(errno);
      holders->insert({st.st_dev, st.st_ino});
      if (folder.empty() || folder == "/") break;
      folder.erase(folder.find_last_of('/'));
    }
    return IoStatus::kOk;
  }

  std::string Native(const std::string& path) const {
    std::string out = root_;
    if (path.empty()) return out;
    out += '/';
    for (char c : path) out += c == '\\' ? '/' : c;
    return out;
  }

  std::string root_;
  bool follow_;
};

}  // namespace

std::unique_ptr<olk::FileSystem> NewBuildTree(const std::string& root, bool followLinks) {
  return std::unique_ptr<olk::FileSystem>(new BuildTree(root, followLinks));
}
