#include "following_tree.h"

#include <dirent.h>
#include <errno.h>
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

class FollowingTree : public olk::FileSystem {
 public:
  explicit FollowingTree(std::string root) : root_(std::move(root)) {}

  IoStatus Stat(const std::string& path, olk::EntryInfo* info) override {
    struct stat st;
    *info = olk::EntryInfo();
    if (stat(Native(path).c_str(), &st) != 0) return errno == ENOENT ? IoStatus::kOk : FromErrno(errno);
    info->type = TypeOf(st);
    if (info->type == olk::EntryType::kFile) info->size = static_cast<uint64_t>(st.st_size);
    return IoStatus::kOk;
  }

  IoStatus OpenRead(const std::string& path, std::unique_ptr<olk::File>* out) override {
    return olk::OpenNativeFile(Native(path), out);  // open() follows links
  }

  IoStatus List(const std::string& path, std::vector<olk::DirEntry>* out) override {
    out->clear();
    // The folders from the root down to this one: a link to any of them
    // would lead back here for ever.
    std::set<std::pair<dev_t, ino_t>> ancestors;
    std::vector<std::string> chain = {""};
    for (size_t cut = 0; !path.empty() && (cut = path.find('\\', cut)) != std::string::npos; ++cut)
      chain.push_back(path.substr(0, cut));
    if (!path.empty()) chain.push_back(path);
    for (const std::string& folder : chain) {
      struct stat st;
      if (stat(Native(folder).c_str(), &st) != 0) return FromErrno(errno);
      ancestors.insert({st.st_dev, st.st_ino});
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
      if (stat(full.c_str(), &st) != 0) {
        entry.type = olk::EntryType::kLink;  // points nowhere
      } else {
        entry.type = TypeOf(st);
        if (entry.type == olk::EntryType::kFile) entry.size = static_cast<uint64_t>(st.st_size);
        if (entry.type == olk::EntryType::kDirectory && ancestors.count({st.st_dev, st.st_ino}))
          entry.type = olk::EntryType::kLink;
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
  std::string Native(const std::string& path) const {
    std::string out = root_;
    if (path.empty()) return out;
    out += '/';
    for (char c : path) out += c == '\\' ? '/' : c;
    return out;
  }

  std::string root_;
};

}  // namespace

std::unique_ptr<olk::FileSystem> NewFollowingTree(const std::string& root) {
  return std::unique_ptr<olk::FileSystem>(new FollowingTree(root));
}
