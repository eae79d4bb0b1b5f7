/* The file layer on POSIX systems (native tools and tests).
 *
 * No symbolic link below the root is ever followed. Every path is resolved
 * from a descriptor of the root, one component at a time, with openat(...,
 * O_NOFOLLOW | O_DIRECTORY); the last component is then handled with the
 * *at calls relative to its parent's descriptor, again without following a
 * link. A link met on the way gives kLink and nothing is touched. Swapping
 * a folder for a link while an operation runs does not help either: the
 * walk holds descriptors, not names, and a final link that appears between
 * the check and the call is at worst renamed or removed itself (rename and
 * unlink never follow a final link), never what it points to.
 *
 * The root itself is opened following links (a player may have moved the
 * whole client elsewhere and left a link behind). */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <memory>
#include <mutex>
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
    case ELOOP:
      return IoStatus::kLink;
    default:
      return IoStatus::kIoError;
  }
}

/* Folders on the way to an entry are opened only to be walked through. */
#if defined(O_PATH)
constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
/* Folders that are listed or flushed must be opened for reading. */
constexpr int kReadDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

/* An owned descriptor. */
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};
typedef std::shared_ptr<const Fd> SharedFd;

/* One component of a path below the root. The layer trusts callers to
 * validate paths, but a '/' inside a component would let the system walk
 * (and follow links) where this layer does not look, so that much is
 * checked here. */
bool IsPlainComponent(const std::string& c) {
  return !c.empty() && c != "." && c != ".." && c.find('/') == std::string::npos &&
         c.find('\0') == std::string::npos;
}

bool IsLinkAt(int dir, const char* name) {
  struct stat st;
  return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

/* What a failed openat(..., O_DIRECTORY | O_NOFOLLOW) of `name` met: a link
 * fails with ELOOP, or with ENOTDIR when O_PATH opened the link itself. */
IoStatus DirOpenFailure(int dir, const char* name, int e, IoStatus not_a_dir) {
  if (e == ELOOP) return IoStatus::kLink;
  if (e == ENOTDIR) return IsLinkAt(dir, name) ? IoStatus::kLink : not_a_dir;
  return FromErrno(e);
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
    StartWriteback();
    return IoStatus::kOk;
  }

  IoStatus Flush() override { return fsync(fd_) == 0 ? IoStatus::kOk : FromErrno(errno); }

  void WriteBehind() override { write_behind_ = true; }

  IoStatus Close() override {
    if (fd_ < 0) return IoStatus::kOk;
    int r = close(fd_);
    fd_ = -1;
    return r == 0 ? IoStatus::kOk : FromErrno(errno);
  }

  uint64_t Size() const override { return size_; }

 private:
  /* Without this, a large staged file is all still in memory when it is
   * flushed, and the apply waits for the whole of it at the end; started
   * every few MiB, most of it is on its way by then (a 94 MB file: fsync
   * 65 -> 45 ms). Only starts the writes, never waits for them. */
  void StartWriteback() {
#ifdef SYNC_FILE_RANGE_WRITE
    constexpr uint64_t kStep = 8u << 20;
    if (!write_behind_ || size_ - sent_ < kStep) return;
    sync_file_range(fd_, static_cast<off_t>(sent_), static_cast<off_t>(size_ - sent_), SYNC_FILE_RANGE_WRITE);
    sent_ = size_;
#endif
  }

  int fd_;
  uint64_t size_;
  bool write_behind_ = false;
  uint64_t sent_ = 0; /* bytes already handed to writeback */
};

/* Wraps a descriptor opened for reading; a folder gives kIsDirectory and,
 * with `plain_only`, anything but a plain file (a device, a pipe)
 * kIoError. */
IoStatus WrapForRead(int fd, bool plain_only, std::unique_ptr<File>* out) {
  Fd owned(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return FromErrno(errno);
  if (S_ISDIR(st.st_mode)) return IoStatus::kIsDirectory;
  if (plain_only && !S_ISREG(st.st_mode)) return IoStatus::kIoError;
  out->reset(new (std::nothrow) PosixFile(owned.get(), static_cast<uint64_t>(st.st_size)));
  if (!*out) return IoStatus::kNoMemory;
  owned.release();
  return IoStatus::kOk;
}

IoStatus OpenForRead(const std::string& full, std::unique_ptr<File>* out) {
  int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  return WrapForRead(fd, false, out);
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
  if (S_ISLNK(st.st_mode)) return EntryType::kLink;
  return EntryType::kOther;
}

#if defined(__linux__)
/* Names and ordering of the file systems a client may sit on; the magic
 * numbers are those statfs() reports (linux/magic.h). */
VolumeInfo DescribeFsType(unsigned long type) {
  static const struct {
    unsigned long magic;
    const char* name;
    bool ordered;
  } kKnown[] = {
      {0x4d44, "FAT", false},      /* msdos and vfat */
      {0x2011BAB0, "exFAT", false},
      {0xEF53, "ext4", true},      /* ext2, ext3 and ext4 */
      {0x58465342, "xfs", true},
      {0x9123683E, "btrfs", true},
      {0xF2F52010, "f2fs", true},
      {0x01021994, "tmpfs", true},
      {0x794c7630, "overlayfs", true},
      {0x2FC12FC1, "zfs", true},
      {0x7366746e, "NTFS", true},  /* the kernel's ntfs3 */
      {0x5346544e, "NTFS", true},  /* the older ntfs driver */
      {0x6969, "nfs", true},
      {0x65735546, "fuseblk", true},
  };
  VolumeInfo info;
  for (const auto& k : kKnown) {
    if (static_cast<uint32_t>(type) == k.magic) {
      info.fs_name = k.name;
      info.ordered = k.ordered;
      return info;
    }
  }
  return info;
}
#endif

class PosixFileSystem : public FileSystem {
 public:
  explicit PosixFileSystem(const std::string& root) : root_(root) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  }

  IoStatus Stat(const std::string& path, EntryInfo* info) override {
    *info = EntryInfo();
    SharedFd parent;
    std::string leaf;
    IoStatus s = WalkToParent(path, &parent, &leaf);
    struct stat st;
    if (s == IoStatus::kOk && fstatat(parent->get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      s = FromErrno(errno);
    if (s == IoStatus::kNotFound) return IoStatus::kOk;
    if (s != IoStatus::kOk) return s;
    info->type = TypeOf(st);
    if (info->type == EntryType::kFile) info->size = static_cast<uint64_t>(st.st_size);
    return IoStatus::kOk;
  }

  IoStatus OpenRead(const std::string& path, std::unique_ptr<File>* out) override {
    SharedFd parent;
    std::string leaf;
    IoStatus s = WalkToParent(path, &parent, &leaf);
    if (s != IoStatus::kOk) return s;
    /* O_NONBLOCK: a pipe planted in the folder must not hang the open. */
    int fd = openat(parent->get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    return WrapForRead(fd, true, out);
  }

  IoStatus CreateNew(const std::string& path, std::unique_ptr<File>* out) override {
    SharedFd parent;
    std::string leaf;
    IoStatus s = WalkToParent(path, &parent, &leaf);
    if (s != IoStatus::kOk) return s;
    int fd = openat(parent->get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return ExistingOrError(parent->get(), leaf, errno);
    out->reset(new (std::nothrow) PosixFile(fd, 0));
    if (!*out) {
      close(fd);
      unlinkat(parent->get(), leaf.c_str(), 0);
      return IoStatus::kNoMemory;
    }
    return IoStatus::kOk;
  }

  IoStatus Rename(const std::string& from, const std::string& to) override {
    SharedFd from_dir, to_dir;
    std::string from_leaf, to_leaf;
    IoStatus s = WalkToParents(from, to, &from_dir, &from_leaf, &to_dir, &to_leaf);
    if (s != IoStatus::kOk) return s;
    struct stat st;
    const bool seen = fstatat(from_dir->get(), from_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (seen && S_ISLNK(st.st_mode)) return IoStatus::kLink;
    s = MoveNoReplace(from_dir->get(), from_leaf, to_dir->get(), to_leaf);
    if (!seen || S_ISDIR(st.st_mode)) ForgetParents(); /* a folder may have moved */
    return s;
  }

  IoStatus LinkFile(const std::string& from, const std::string& to) override {
    SharedFd from_dir, to_dir;
    std::string from_leaf, to_leaf;
    IoStatus s = WalkToParents(from, to, &from_dir, &from_leaf, &to_dir, &to_leaf);
    if (s != IoStatus::kOk) return s;
    /* linkat() without AT_SYMLINK_FOLLOW names the link itself, never its
     * target; the check only gives the caller the right status. */
    struct stat st;
    if (fstatat(from_dir->get(), from_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FromErrno(errno);
    if (S_ISLNK(st.st_mode)) return IoStatus::kLink;
    if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? IoStatus::kIsDirectory : IoStatus::kAccessDenied;
    if (linkat(from_dir->get(), from_leaf.c_str(), to_dir->get(), to_leaf.c_str(), 0) != 0)
      return ExistingOrError(to_dir->get(), to_leaf, errno);
    return IoStatus::kOk;
  }

  IoStatus RemoveFile(const std::string& path) override {
    SharedFd parent;
    std::string leaf;
    IoStatus s = WalkToParent(path, &parent, &leaf);
    if (s != IoStatus::kOk) return s;
    if (IsLinkAt(parent->get(), leaf.c_str())) return IoStatus::kLink;
    return unlinkat(parent->get(), leaf.c_str(), 0) == 0 ? IoStatus::kOk : FromErrno(errno);
  }

  IoStatus MakeDir(const std::string& path) override {
    SharedFd parent;
    std::string leaf;
    IoStatus s = WalkToParent(path, &parent, &leaf);
    if (s != IoStatus::kOk) return s;
    if (mkdirat(parent->get(), leaf.c_str(), 0755) == 0) return IoStatus::kOk;
    return ExistingOrError(parent->get(), leaf, errno);
  }

  IoStatus RemoveDir(const std::string& path) override {
    SharedFd parent;
    std::string leaf;
    IoStatus s = WalkToParent(path, &parent, &leaf);
    if (s != IoStatus::kOk) return s;
    const int pd = parent->get();
    if (IsLinkAt(pd, leaf.c_str())) return IoStatus::kLink;
    const int r = unlinkat(pd, leaf.c_str(), AT_REMOVEDIR), e = errno;
    ForgetParents();
    if (r == 0) return IoStatus::kOk;
    if (e == EEXIST || e == ENOTEMPTY) return IoStatus::kNotEmpty;
    return e == ENOTDIR ? IoStatus::kNotDirectory : FromErrno(e);
  }

  IoStatus List(const std::string& path, std::vector<DirEntry>* out) override {
    out->clear();
    int fd = -1;
    IoStatus s = OpenDir(path, &fd);
    if (s != IoStatus::kOk) return s;
    DIR* d = fdopendir(fd);
    if (!d) {
      int e = errno;
      close(fd);
      return FromErrno(e);
    }
    IoStatus status = IoStatus::kOk;
    try {
      while (struct dirent* ent = readdir(d)) {
        const char* name = ent->d_name;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        struct stat st;
        if (fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue; /* gone meanwhile */
        DirEntry de;
        de.name = name;
        de.type = TypeOf(st);
        if (de.type == EntryType::kFile) de.size = static_cast<uint64_t>(st.st_size);
        out->push_back(std::move(de));
      }
    } catch (const std::bad_alloc&) {
      status = IoStatus::kNoMemory;
    }
    closedir(d);
    return status;
  }

  IoStatus SyncDir(const std::string& path) override {
    int fd = -1;
    IoStatus s = OpenDir(path, &fd);
    if (s != IoStatus::kOk) return s;
    s = fsync(fd) == 0 ? IoStatus::kOk : FromErrno(errno);
    close(fd);
    return s;
  }

  IoStatus FreeSpace(uint64_t* bytes) override {
    SharedFd root;
    IoStatus s = Root(&root);
    if (s != IoStatus::kOk) return s;
    struct statvfs sv;
    if (fstatvfs(root->get(), &sv) != 0) return FromErrno(errno);
    *bytes = static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
    return IoStatus::kOk;
  }

  IoStatus DescribeVolume(VolumeInfo* info) override {
    *info = VolumeInfo();
#if defined(__linux__)
    SharedFd root;
    IoStatus s = Root(&root);
    if (s != IoStatus::kOk) return s;
    struct statfs sf;
    if (fstatfs(root->get(), &sf) != 0) return FromErrno(errno);
    *info = DescribeFsType(static_cast<unsigned long>(sf.f_type));
#endif
    return IoStatus::kOk;
  }

 private:
  /* The descriptor of the root, opened on first use (following a link
   * there: the root is the caller's choice). */
  IoStatus Root(SharedFd* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!root_fd_) {
      int fd = open(root_.c_str(), kWalkFlags & ~O_NOFOLLOW);
      if (fd < 0) return FromErrno(errno);
      root_fd_ = std::make_shared<const Fd>(fd);
    }
    *out = root_fd_;
    return IoStatus::kOk;
  }

  /* WalkToParent() for both names of a Rename() or LinkFile(). */
  IoStatus WalkToParents(const std::string& from, const std::string& to, SharedFd* from_dir, std::string* from_leaf,
                         SharedFd* to_dir, std::string* to_leaf) {
    IoStatus s = WalkToParent(from, from_dir, from_leaf);
    return s == IoStatus::kOk ? WalkToParent(to, to_dir, to_leaf) : s;
  }

  /* Opens the folder that holds the last component of `rel` and gives
   * that component's name ("." for the root itself). Every folder on the
   * way is opened without following a link. */
  IoStatus WalkToParent(const std::string& rel, SharedFd* parent, std::string* leaf) {
    SharedFd dir;
    IoStatus s = Root(&dir);
    if (s != IoStatus::kOk) return s;
    if (rel.empty()) {
      *leaf = ".";
      *parent = dir;
      return IoStatus::kOk;
    }
    const size_t cut = rel.rfind('\\');
    *leaf = cut == std::string::npos ? rel : rel.substr(cut + 1);
    if (!IsPlainComponent(*leaf)) return IoStatus::kBadName;
    if (cut == std::string::npos) {
      *parent = dir;
      return IoStatus::kOk;
    }
    const std::string folder = rel.substr(0, cut);
    /* Start from the deepest folder on the way that is cached. */
    size_t begin = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t end = folder.size(); end != std::string::npos && end > 0; end = folder.rfind('\\', end - 1)) {
        if (Cached(folder.substr(0, end), &dir)) {
          begin = end + 1;
          break;
        }
      }
    }
    while (begin <= folder.size()) {
      size_t end = folder.find('\\', begin);
      if (end == std::string::npos) end = folder.size();
      const std::string name = folder.substr(begin, end - begin);
      if (!IsPlainComponent(name)) return IoStatus::kBadName;
      int fd = openat(dir->get(), name.c_str(), kWalkFlags);
      if (fd < 0) return DirOpenFailure(dir->get(), name.c_str(), errno, IoStatus::kNotFound);
      dir = std::make_shared<const Fd>(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      Cache(folder.substr(0, end), dir);
      begin = end + 1;
    }
    *parent = dir;
    return IoStatus::kOk;
  }

  /* The cached descriptor of `folder`, made the most recent; mutex_ held. */
  bool Cached(const std::string& folder, SharedFd* out) {
    for (size_t i = 0; i < kCachedFolders && cached_[i].fd; ++i) {
      if (cached_[i].path == folder) {
        *out = cached_[i].fd;
        std::rotate(cached_, cached_ + i, cached_ + i + 1);
        return true;
      }
    }
    return false;
  }

  /* Caches `fd` as `folder`, dropping the least recent; mutex_ held. */
  void Cache(const std::string& folder, const SharedFd& fd) {
    std::rotate(cached_, cached_ + kCachedFolders - 1, cached_ + kCachedFolders);
    cached_[0].path = folder;
    cached_[0].fd = fd;
  }

  /* Opens the folder `rel` itself for reading (to list or flush it). */
  IoStatus OpenDir(const std::string& rel, int* fd) {
    SharedFd parent;
    std::string leaf;
    IoStatus s = WalkToParent(rel, &parent, &leaf);
    if (s != IoStatus::kOk) return s;
    /* "." re-opens the root for reading; the root was opened following a
     * link on purpose, and "." is never one. */
    *fd = openat(parent->get(), leaf.c_str(), kReadDirFlags);
    if (*fd < 0) return DirOpenFailure(parent->get(), leaf.c_str(), errno, IoStatus::kNotDirectory);
    return IoStatus::kOk;
  }

  /* A cached walk may name a folder that has since been moved or removed
   * by this layer. */
  void ForgetParents() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (CachedFolder& c : cached_) c = CachedFolder();
  }

  /* Moves without ever replacing `to`, and without following a link at
   * either end. */
  static IoStatus MoveNoReplace(int fd, const std::string& from, int td, const std::string& to) {
    const char* f = from.c_str();
    const char* t = to.c_str();
#ifdef RENAME_NOREPLACE
    if (renameat2(fd, f, td, t, RENAME_NOREPLACE) == 0) return IoStatus::kOk;
    if (errno != EINVAL && errno != ENOSYS) return ExistingOrError(td, to, errno);
#endif
    /* Without a no-replace rename: a hard link fails on an existing
     * target, and the unlink then finishes the move. */
    if (linkat(fd, f, td, t, 0) != 0) return ExistingOrError(td, to, errno);
    if (unlinkat(fd, f, 0) != 0) {
      int e = errno;
      unlinkat(td, t, 0);
      return FromErrno(e);
    }
    return IoStatus::kOk;
  }

  /* An error of a call that creates `leaf`: an existing link there is
   * reported as such. */
  static IoStatus ExistingOrError(int dir, const std::string& leaf, int e) {
    if (e == EEXIST && IsLinkAt(dir, leaf.c_str())) return IoStatus::kLink;
    return FromErrno(e);
  }

  std::string root_;
  std::mutex mutex_; /* the builder reads from several threads */
  SharedFd root_fd_;
  /* The folders last walked through, most recent first, so that a run
   * of operations in a few folders (moving files between client folders
   * and the staging folder) opens each once. Dropped whenever this layer moves or removes a
   * folder. A cached descriptor keeps naming the folder it was opened on
   * even if another program renames it meanwhile; it never leads through
   * a link. */
  struct CachedFolder {
    std::string path;
    SharedFd fd;
  };
  static constexpr size_t kCachedFolders = 16;
  CachedFolder cached_[kCachedFolders];
};

}  // namespace

std::unique_ptr<FileSystem> NewNativeFileSystem(const NativeString& root) {
  return std::unique_ptr<FileSystem>(new (std::nothrow) PosixFileSystem(root));
}

IoStatus OpenNativeFile(const NativeString& path, std::unique_ptr<File>* out) { return OpenForRead(path, out); }

IoStatus CreateNativeFile(const NativeString& path, std::unique_ptr<File>* out) {
  return OpenForWrite(path, O_TRUNC, out);
}

bool NativeFromUtf8(const std::string& utf8, NativeString* out) {
  *out = utf8;
  return true;
}

bool Utf8FromNative(const NativeString& native, std::string* out) {
  *out = native;
  return true;
}

bool FullNativePath(const NativeString& path, NativeString* out) {
  *out = path;
  return true;
}

}  // namespace olk
