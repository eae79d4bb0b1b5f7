/* The file layer on POSIX systems (native tools and tests). */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <new>

#include "olkeng/file_layer.h"

namespace olk {

namespace {

IoStatus FromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return IoStatus::kNotFound;
    case EEXIST:
      return IoStatus::kExists;
    case EBUSY:
    case ETXTBSY:
      return IoStatus::kInUse;
    case EACCES:
    case EPERM:
    case EROFS:
      return IoStatus::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return IoStatus::kDiskFull;
    case ENOMEM:
      return IoStatus::kNoMemory;
    case EISDIR:
      return IoStatus::kIsDirectory;
    case ENOTEMPTY:
      return IoStatus::kNotEmpty;
    case ENAMETOOLONG:
    case EILSEQ:
      return IoStatus::kBadName;
    default:
      return IoStatus::kIoError;
  }
}

class PosixFile : public File {
 public:
  PosixFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override { Close(); }

  IoStatus ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
    *got = 0;
    uint8_t* p = static_cast<uint8_t*>(buf);
    while (*got < n) {
      ssize_t r = pread(fd_, p + *got, n - *got, static_cast<off_t>(offset + *got));
      if (r < 0) {
        if (errno == EINTR) continue;
        return FromErrno(errno);
      }
      if (r == 0) break;
      *got += static_cast<size_t>(r);
    }
    return IoStatus::kOk;
  }

  IoStatus Write(const void* buf, size_t n) override {
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
      ssize_t r = write(fd_, p + done, n - done);
      if (r < 0) {
        if (errno == EINTR) continue;
        return FromErrno(errno);
      }
      if (r == 0) return IoStatus::kDiskFull;
      done += static_cast<size_t>(r);
      size_ += static_cast<uint64_t>(r);
    }
    return IoStatus::kOk;
  }

  IoStatus Flush() override { return fsync(fd_) == 0 ? IoStatus::kOk : FromErrno(errno); }

  IoStatus Close() override {
    if (fd_ < 0) return IoStatus::kOk;
    int r = close(fd_);
    fd_ = -1;
    return r == 0 ? IoStatus::kOk : FromErrno(errno);
  }

  uint64_t Size() const override { return size_; }

 private:
  int fd_;
  uint64_t size_;
};

IoStatus OpenForRead(const std::string& full, std::unique_ptr<File>* out) {
  int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return FromErrno(e);
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return IoStatus::kIsDirectory;
  }
  out->reset(new (std::nothrow) PosixFile(fd, static_cast<uint64_t>(st.st_size)));
  if (!*out) {
    close(fd);
    return IoStatus::kNoMemory;
  }
  return IoStatus::kOk;
}

IoStatus OpenForWrite(const std::string& full, int extra_flags, std::unique_ptr<File>* out) {
  int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | extra_flags, 0644);
  if (fd < 0) return FromErrno(errno);
  out->reset(new (std::nothrow) PosixFile(fd, 0));
  if (!*out) {
    close(fd);
    unlink(full.c_str());
    return IoStatus::kNoMemory;
  }
  return IoStatus::kOk;
}

EntryType TypeOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return EntryType::kFile;
  if (S_ISDIR(st.st_mode)) return EntryType::kDirectory;
  return EntryType::kOther;
}

class PosixFileSystem : public FileSystem {
 public:
  explicit PosixFileSystem(const std::string& root) : root_(root) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  }

  IoStatus Stat(const std::string& path, EntryInfo* info) override {
    struct stat st;
    *info = EntryInfo();
    if (stat(Full(path).c_str(), &st) != 0) {
      IoStatus s = FromErrno(errno);
      return s == IoStatus::kNotFound ? IoStatus::kOk : s;
    }
    info->type = TypeOf(st);
    if (info->type == EntryType::kFile) info->size = static_cast<uint64_t>(st.st_size);
    return IoStatus::kOk;
  }

  IoStatus OpenRead(const std::string& path, std::unique_ptr<File>* out) override {
    return OpenForRead(Full(path), out);
  }

  IoStatus CreateNew(const std::string& path, std::unique_ptr<File>* out) override {
    return OpenForWrite(Full(path), O_EXCL, out);
  }

  IoStatus Rename(const std::string& from, const std::string& to) override {
    const std::string f = Full(from), t = Full(to);
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) return IoStatus::kOk;
    if (errno != EINVAL && errno != ENOSYS) return FromErrno(errno);
#endif
    /* Without a no-replace rename: a hard link fails on an existing
     * target, and the unlink then finishes the move. */
    if (link(f.c_str(), t.c_str()) != 0) return FromErrno(errno);
    if (unlink(f.c_str()) != 0) {
      int e = errno;
      unlink(t.c_str());
      return FromErrno(e);
    }
    return IoStatus::kOk;
  }

  IoStatus RemoveFile(const std::string& path) override {
    return unlink(Full(path).c_str()) == 0 ? IoStatus::kOk : FromErrno(errno);
  }

  IoStatus MakeDir(const std::string& path) override {
    return mkdir(Full(path).c_str(), 0755) == 0 ? IoStatus::kOk : FromErrno(errno);
  }

  IoStatus RemoveDir(const std::string& path) override {
    if (rmdir(Full(path).c_str()) == 0) return IoStatus::kOk;
    return errno == EEXIST ? IoStatus::kNotEmpty : FromErrno(errno);
  }

  IoStatus List(const std::string& path, std::vector<DirEntry>* out) override {
    out->clear();
    const std::string dir = Full(path);
    DIR* d = opendir(dir.c_str());
    if (!d) return FromErrno(errno);
    IoStatus status = IoStatus::kOk;
    try {
      while (struct dirent* ent = readdir(d)) {
        std::string name = ent->d_name;
        if (name == "." || name == "..") continue;
        DirEntry de;
        de.name = name;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) == 0) {
          de.type = TypeOf(st);
          if (de.type == EntryType::kFile) de.size = static_cast<uint64_t>(st.st_size);
        } else {
          de.type = EntryType::kOther; /* e.g. a dangling link */
        }
        out->push_back(std::move(de));
      }
    } catch (const std::bad_alloc&) {
      status = IoStatus::kNoMemory;
    }
    closedir(d);
    return status;
  }

  IoStatus SyncDir(const std::string& path) override {
    int fd = open(Full(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    IoStatus s = fsync(fd) == 0 ? IoStatus::kOk : FromErrno(errno);
    close(fd);
    return s;
  }

  IoStatus FreeSpace(uint64_t* bytes) override {
    struct statvfs sv;
    if (statvfs(root_.c_str(), &sv) != 0) return FromErrno(errno);
    *bytes = static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
    return IoStatus::kOk;
  }

 private:
  std::string Full(const std::string& rel) const {
    if (rel.empty()) return root_;
    std::string s = root_;
    s += '/';
    for (char c : rel) s += c == '\\' ? '/' : c;
    return s;
  }
  std::string root_;
};

}  // namespace

std::unique_ptr<FileSystem> NewNativeFileSystem(const NativeString& root) {
  return std::unique_ptr<FileSystem>(new (std::nothrow) PosixFileSystem(root));
}

IoStatus OpenNativeFile(const NativeString& path, std::unique_ptr<File>* out) { return OpenForRead(path, out); }

IoStatus CreateNativeFile(const NativeString& path, std::unique_ptr<File>* out) {
  return OpenForWrite(path, O_TRUNC, out);
}

}  // namespace olk
