/* The file layer on Win32 (patcheng.dll). Every call is a wide-character
 * one on a full path with the long-path prefix, so names beyond the ANSI
 * code page and paths longer than MAX_PATH work inside the install
 * folder.
 *
 * No symbolic link, junction or mount point below the root is followed:
 * each folder on the way to an entry is opened as itself
 * (FILE_FLAG_OPEN_REPARSE_POINT), checked, and held open against a swap
 * while it is in use (FolderPins); the entry itself is checked before the
 * call. Renames and deletes that a scanner or indexer holds up for a
 * moment are retried (retry.h). */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <new>
#include <vector>

#include "olkeng/file_layer.h"
#include "retry.h"

namespace olk {

namespace {

IoStatus FromError(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return IoStatus::kNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return IoStatus::kExists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return IoStatus::kInUse;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return IoStatus::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return IoStatus::kDiskFull;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return IoStatus::kNoMemory;
    case ERROR_DIR_NOT_EMPTY:
      return IoStatus::kNotEmpty;
    case ERROR_DIRECTORY:
      return IoStatus::kNotDirectory;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BAD_PATHNAME:
    case ERROR_NO_UNICODE_TRANSLATION:
      return IoStatus::kBadName;
    default:
      return IoStatus::kIoError;
  }
}

IoStatus LastError() { return FromError(GetLastError()); }

bool Utf8ToWide(const std::string& s, std::wstring* out) {
  out->clear();
  if (s.empty()) return true;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &(*out)[0], n) == n;
}

bool WideToUtf8(const wchar_t* s, std::string* out) {
  out->clear();
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  if (WideCharToMultiByte(CP_UTF8, 0, s, -1, &(*out)[0], n, nullptr, nullptr) != n) return false;
  out->resize(static_cast<size_t>(n - 1));
  return true;
}

/* The full, long-path form of a folder or file named in the caller's
 * form: "\\?\C:\dir" or "\\?\UNC\server\share\dir", without a trailing
 * separator. */
bool LongForm(const NativeString& path, std::wstring* out) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) {
    *out = path;
  } else {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return false;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    if (n == 0 || n >= full.size()) return false;
    full.resize(n);
    if (full.compare(0, 2, L"\\\\") == 0)
      *out = L"\\\\?\\UNC\\" + full.substr(2);
    else
      *out = L"\\\\?\\" + full;
  }
  while (out->size() > 7 && out->back() == L'\\' && (*out)[out->size() - 2] != L':') out->pop_back();
  return true;
}

class Win32File : public File {
 public:
  Win32File(HANDLE h, uint64_t size) : h_(h), size_(size) {}
  ~Win32File() override { Close(); }

  IoStatus ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
    *got = 0;
    uint8_t* p = static_cast<uint8_t*>(buf);
    while (*got < n) {
      OVERLAPPED ov = {};
      uint64_t at = offset + *got;
      ov.Offset = static_cast<DWORD>(at);
      ov.OffsetHigh = static_cast<DWORD>(at >> 32);
      DWORD want = static_cast<DWORD>(n - *got > (1u << 30) ? (1u << 30) : n - *got);
      DWORD read = 0;
      if (!ReadFile(h_, p + *got, want, &read, &ov)) {
        DWORD e = GetLastError();
        if (e == ERROR_HANDLE_EOF) break;
        return FromError(e);
      }
      if (read == 0) break;
      *got += read;
    }
    return IoStatus::kOk;
  }

  IoStatus Write(const void* buf, size_t n) override {
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    while (n > 0) {
      DWORD chunk = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n);
      DWORD written = 0;
      if (!WriteFile(h_, p, chunk, &written, nullptr)) return LastError();
      if (written == 0) return IoStatus::kDiskFull;
      p += written;
      n -= written;
      size_ += written;
    }
    return IoStatus::kOk;
  }

  IoStatus Flush() override { return FlushFileBuffers(h_) ? IoStatus::kOk : LastError(); }

  IoStatus Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return IoStatus::kOk;
    BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok ? IoStatus::kOk : LastError();
  }

  uint64_t Size() const override { return size_; }

 private:
  HANDLE h_;
  uint64_t size_;
};

/* Whether an entry is a link to us: a reparse point whose tag names
 * another entry (symbolic link, junction, mount point), or whose tag is
 * unknown (0: Wine shows a Unix link to a folder so). Other reparse points
 * (files compressed by the system, cloud placeholders, deduplicated
 * files) are plain files and folders: players compress game folders. */
bool IsLinkEntry(DWORD attrs, DWORD tag) {
  return (attrs & FILE_ATTRIBUTE_REPARSE_POINT) && (IsReparseTagNameSurrogate(tag) || tag == 0);
}

/* The attributes of the entry open as `h`, and whether it is a link. */
IoStatus QueryEntry(HANDLE h, DWORD* attrs, bool* link) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) {
    *attrs = tag.FileAttributes;
    *link = IsLinkEntry(tag.FileAttributes, tag.ReparseTag);
    return IoStatus::kOk;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return LastError();
  *attrs = info.dwFileAttributes;
  *link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; /* tag unknown: any reparse point */
  return IoStatus::kOk;
}

/* Opens the entry `full` itself, never what a reparse point there names. */
HANDLE OpenNoFollow(const std::wstring& full, DWORD access, DWORD share) {
  return CreateFileW(full.c_str(), access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/* The last component of `full` as it is, not followed: kNone if missing. */
IoStatus Peek(const std::wstring& full, EntryInfo* info) {
  *info = EntryInfo();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) {
    IoStatus s = LastError();
    return s == IoStatus::kNotFound ? IoStatus::kOk : s;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    /* Only a handle on the entry itself tells a link from a compressed
     * file; unless it shows a reparse point that is no link, it is one. */
    HANDLE h = OpenNoFollow(full, FILE_READ_ATTRIBUTES, kShareAll);
    DWORD attrs = 0;
    bool link = true;
    if (h != INVALID_HANDLE_VALUE) {
      if (QueryEntry(h, &attrs, &link) != IoStatus::kOk || !(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) link = true;
      CloseHandle(h);
    }
    if (link) {
      info->type = EntryType::kLink;
      return IoStatus::kOk;
    }
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    info->type = EntryType::kDirectory;
  } else {
    info->type = EntryType::kFile;
    info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  return IoStatus::kOk;
}

bool IsLinkPath(const std::wstring& full) {
  EntryInfo info;
  return Peek(full, &info) == IoStatus::kOk && info.type == EntryType::kLink;
}

/* Checks and holds open one folder on the way to an entry. The handle
 * denies delete sharing, so that while it is open nobody can rename or
 * remove the folder and put a link in its place. */
IoStatus PinFolder(const std::wstring& full, HANDLE* out) {
  HANDLE h = OpenNoFollow(full, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e != ERROR_SHARING_VIOLATION && e != ERROR_ACCESS_DENIED) return FromError(e);
    /* Someone else holds it with delete access, or listing is not
     * allowed: checked, though not held against a swap. */
    h = OpenNoFollow(full, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll);
    if (h == INVALID_HANDLE_VALUE) return LastError();
  }
  DWORD attrs = 0;
  bool link = false;
  IoStatus s = QueryEntry(h, &attrs, &link);
  if (s == IoStatus::kOk && link) s = IoStatus::kLink;
  if (s == IoStatus::kOk && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) s = IoStatus::kNotFound; /* a file on the way */
  /* Where the system opened the target although asked not to (Wine with
   * a Unix link), the name still shows the reparse point. */
  if (s == IoStatus::kOk && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    DWORD by_name = GetFileAttributesW(full.c_str());
    if (by_name != INVALID_FILE_ATTRIBUTES && (by_name & FILE_ATTRIBUTE_REPARSE_POINT)) s = IoStatus::kLink;
  }
  if (s != IoStatus::kOk) {
    CloseHandle(h);
    return s;
  }
  *out = h;
  return IoStatus::kOk;
}

/* A component of a path below the root. The layer trusts callers to
 * validate paths; what would make the system look elsewhere than the
 * components checked here ('/', "..", a stream name) is refused anyway. */
bool IsPlainComponent(const std::wstring& c) {
  return !c.empty() && c != L"." && c != L".." && c.find_first_of(L"/:") == std::wstring::npos;
}

/* The folders on the way to an entry below the root, each checked not to
 * be a link and held open (PinFolder()) for as long as they stay the way
 * to the entries operated on. Consecutive operations in one folder reuse
 * the handles of the folders they share.
 *
 * What is not held is the last component itself: it is checked just
 * before the call (or on the handle the call opens). If it is replaced by
 * a link in between, the call meets the link itself: DeleteFile,
 * RemoveDirectory and MoveFileEx act on a link, not on what it names, and
 * CreateFile is always given FILE_FLAG_OPEN_REPARSE_POINT. Nothing outside
 * the root is reached through that window. */
class FolderPins {
 public:
  FolderPins() = default;
  FolderPins(const FolderPins&) = delete;
  FolderPins& operator=(const FolderPins&) = delete;
  ~FolderPins() { Drop(0); }

  /* Pins the folders on the way to the last component of `rel` (and that
   * component too when `whole`), and gives the full path of `rel`. */
  IoStatus Walk(const std::wstring& root, const std::string& rel, bool whole, std::wstring* full) {
    *full = root;
    if (rel.empty()) return IoStatus::kOk;
    std::wstring w;
    if (!Utf8ToWide(rel, &w)) return IoStatus::kBadName;
    std::vector<std::wstring> comps;
    size_t begin = 0;
    for (;;) {
      size_t end = w.find(L'\\', begin);
      comps.push_back(w.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin));
      if (!IsPlainComponent(comps.back())) return IoStatus::kBadName;
      if (end == std::wstring::npos) break;
      begin = end + 1;
    }
    if (full->back() != L'\\') *full += L'\\';
    *full += w;

    const size_t want = whole ? comps.size() : comps.size() - 1;
    size_t keep = 0;
    while (keep < names_.size() && keep < want && names_[keep] == comps[keep]) ++keep;
    Drop(keep);
    std::wstring prefix = root;
    for (size_t i = 0; i < want; ++i) {
      if (prefix.back() != L'\\') prefix += L'\\';
      prefix += comps[i];
      if (i < keep) continue;
      HANDLE h;
      IoStatus s = PinFolder(prefix, &h);
      if (s != IoStatus::kOk) return s;
      names_.push_back(comps[i]);
      handles_.push_back(h);
    }
    return IoStatus::kOk;
  }

  /* Lets go of every folder after the first `keep`. */
  void Drop(size_t keep) {
    while (handles_.size() > keep) {
      CloseHandle(handles_.back());
      handles_.pop_back();
      names_.pop_back();
    }
  }

 private:
  std::vector<std::wstring> names_;
  std::vector<HANDLE> handles_;
};

/* One operation at a time: the pinned folders are shared state. */
class Exclusive {
 public:
  explicit Exclusive(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
  ~Exclusive() { ReleaseSRWLockExclusive(lock_); }

 private:
  SRWLOCK* lock_;
};

IoStatus WrapHandle(HANDLE h, uint64_t size, std::unique_ptr<File>* out) {
  out->reset(new (std::nothrow) Win32File(h, size));
  if (!*out) {
    CloseHandle(h);
    return IoStatus::kNoMemory;
  }
  return IoStatus::kOk;
}

/* Opens a file for reading; with `no_follow`, a link there gives kLink. */
IoStatus OpenForRead(const std::wstring& full, bool no_follow, std::unique_ptr<File>* out) {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  HANDLE h = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         flags | (no_follow ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    IoStatus s = LastError();
    CloseHandle(h);
    return s;
  }
  if (no_follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    DWORD attrs = 0;
    bool link = true;
    IoStatus s = QueryEntry(h, &attrs, &link);
    if (s != IoStatus::kOk || link) {
      CloseHandle(h);
      return s != IoStatus::kOk ? s : IoStatus::kLink;
    }
    /* A compressed or cloud file reads right only through its filter:
     * open it again the ordinary way, and make sure that is still the
     * same file (not a link put there meanwhile). */
    HANDLE again = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
    BY_HANDLE_FILE_INFORMATION info2;
    s = again == INVALID_HANDLE_VALUE ? LastError()
        : !GetFileInformationByHandle(again, &info2) ? LastError()
        : info2.dwVolumeSerialNumber != info.dwVolumeSerialNumber || info2.nFileIndexHigh != info.nFileIndexHigh ||
                  info2.nFileIndexLow != info.nFileIndexLow
            ? IoStatus::kLink
            : IoStatus::kOk;
    CloseHandle(h);
    if (s != IoStatus::kOk) {
      if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
      return s;
    }
    h = again;
    info = info2;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    CloseHandle(h);
    return IoStatus::kIsDirectory;
  }
  return WrapHandle(h, (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow, out);
}

/* Sets the attributes of the entry open as `h` (opened with
 * FILE_WRITE_ATTRIBUTES), leaving its times alone. */
bool SetAttributes(HANDLE h, DWORD attrs) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) != 0;
}

/* One attempt to delete a file, read-only or not, through a handle on the
 * entry itself, so that a link is never followed nor deleted. */
IoStatus DeleteOnce(const std::wstring& full) {
  HANDLE h = OpenNoFollow(full, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll);
  /* Allowed to delete but not to change attributes: delete as it is. */
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    h = OpenNoFollow(full, DELETE | FILE_READ_ATTRIBUTES, kShareAll);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  DWORD attrs = 0;
  bool link = false;
  IoStatus s = QueryEntry(h, &attrs, &link);
  if (s == IoStatus::kOk && link) s = IoStatus::kLink;
  if (s == IoStatus::kOk && (attrs & FILE_ATTRIBUTE_DIRECTORY)) s = IoStatus::kIsDirectory;
  const bool read_only = (attrs & FILE_ATTRIBUTE_READONLY) != 0;
  if (s == IoStatus::kOk && read_only && !SetAttributes(h, attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)))
    s = LastError();
  if (s == IoStatus::kOk) {
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (!SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose)) {
      s = LastError();
      if (read_only) SetAttributes(h, attrs);
    }
  }
  CloseHandle(h);
  return s;
}

void PauseMs(uint32_t ms) { Sleep(ms); }

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const NativeString& root) { ok_ = LongForm(root, &root_); }

  IoStatus Stat(const std::string& path, EntryInfo* info) override {
    Exclusive x(&lock_);
    *info = EntryInfo();
    std::wstring full;
    IoStatus s = Walk(path, false, &full);
    if (s == IoStatus::kNotFound) return IoStatus::kOk;
    if (s != IoStatus::kOk) return s;
    s = Peek(full, info);
    /* The root is the caller's choice, a link or not. */
    if (s == IoStatus::kOk && path.empty() && info->type == EntryType::kLink) info->type = EntryType::kDirectory;
    return s;
  }

  IoStatus OpenRead(const std::string& path, std::unique_ptr<File>* out) override {
    Exclusive x(&lock_);
    std::wstring full;
    IoStatus s = Walk(path, false, &full);
    if (s != IoStatus::kOk) return s;
    return OpenForRead(full, !path.empty(), out);
  }

  IoStatus CreateNew(const std::string& path, std::unique_ptr<File>* out) override {
    Exclusive x(&lock_);
    std::wstring full;
    IoStatus s = Walk(path, false, &full);
    if (s != IoStatus::kOk) return s;
    HANDLE h = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ExistingOrError(full, GetLastError());
    return WrapHandle(h, 0, out);
  }

  IoStatus Rename(const std::string& from, const std::string& to) override {
    Exclusive x(&lock_);
    std::wstring f, t;
    FolderPins from_pins;
    IoStatus s = WalkFromTo(from, to, &from_pins, &f, &t);
    if (s != IoStatus::kOk) return s;
    s = RetryWhileLocked([&] { return MoveFileExW(f.c_str(), t.c_str(), 0) ? IoStatus::kOk : LastError(); }, PauseMs);
    return s == IoStatus::kExists && IsLinkPath(t) ? IoStatus::kLink : s;
  }

  IoStatus LinkFile(const std::string& from, const std::string& to) override {
    Exclusive x(&lock_);
    std::wstring f, t;
    FolderPins from_pins;
    IoStatus s = WalkFromTo(from, to, &from_pins, &f, &t);
    if (s != IoStatus::kOk) return s;
    /* FAT volumes and some shares refuse: the caller copies instead. */
    s = CreateHardLinkW(t.c_str(), f.c_str(), nullptr) ? IoStatus::kOk : LastError();
    return s == IoStatus::kExists && IsLinkPath(t) ? IoStatus::kLink : s;
  }

  IoStatus RemoveFile(const std::string& path) override {
    Exclusive x(&lock_);
    std::wstring full;
    IoStatus s = Walk(path, false, &full);
    if (s != IoStatus::kOk) return s;
    if (path.empty()) return IoStatus::kIsDirectory;
    return RetryWhileLocked([&] { return DeleteOnce(full); }, PauseMs);
  }

  IoStatus MakeDir(const std::string& path) override {
    Exclusive x(&lock_);
    std::wstring full;
    IoStatus s = Walk(path, false, &full);
    if (s != IoStatus::kOk) return s;
    return CreateDirectoryW(full.c_str(), nullptr) ? IoStatus::kOk : ExistingOrError(full, GetLastError());
  }

  IoStatus RemoveDir(const std::string& path) override {
    Exclusive x(&lock_);
    std::wstring full;
    /* Pinning only the parent also lets go of the folder itself. */
    IoStatus s = Walk(path, false, &full);
    if (s != IoStatus::kOk) return s;
    if (IsLinkPath(full)) return IoStatus::kLink;
    return RemoveDirectoryW(full.c_str()) ? IoStatus::kOk : LastError();
  }

  IoStatus List(const std::string& path, std::vector<DirEntry>* out) override {
    Exclusive x(&lock_);
    out->clear();
    std::wstring full;
    /* The folder itself is held too: listed is what is inside the root. */
    IoStatus s = Walk(path, true, &full);
    if (s != IoStatus::kOk) return s;
    if (full.back() != L'\\') full += L'\\';
    full += L'*';
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW(full.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      return e == ERROR_FILE_NOT_FOUND ? IoStatus::kOk : FromError(e);
    }
    IoStatus status = IoStatus::kOk;
    try {
      do {
        if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L"..")) continue;
        DirEntry de;
        if (!WideToUtf8(fd.cFileName, &de.name)) {
          status = IoStatus::kBadName;
          break;
        }
        /* dwReserved0 holds the reparse tag of a reparse point. */
        if (IsLinkEntry(fd.dwFileAttributes, fd.dwReserved0)) {
          de.type = EntryType::kLink;
        } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          de.type = EntryType::kDirectory;
        } else {
          de.type = EntryType::kFile;
          de.size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        }
        out->push_back(std::move(de));
      } while (FindNextFileW(h, &fd));
    } catch (const std::bad_alloc&) {
      status = IoStatus::kNoMemory;
    }
    FindClose(h);
    return status;
  }

  IoStatus SyncDir(const std::string& path) override {
    Exclusive x(&lock_);
    std::wstring full;
    IoStatus s = Walk(path, false, &full);
    if (s != IoStatus::kOk) return s;
    /* A folder opened with backup semantics and write access can be
     * flushed: that writes its entries out. The root is followed; below
     * it, the folder must not be a link. */
    HANDLE h = CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | (path.empty() ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    DWORD attrs = 0;
    bool link = false;
    s = path.empty() ? IoStatus::kOk : QueryEntry(h, &attrs, &link);
    if (s == IoStatus::kOk && link) s = IoStatus::kLink;
    if (s == IoStatus::kOk && !path.empty() && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) s = IoStatus::kNotDirectory;
    if (s == IoStatus::kOk && !FlushFileBuffers(h)) s = LastError();
    CloseHandle(h);
    return s;
  }

  IoStatus FreeSpace(uint64_t* bytes) override {
    ULARGE_INTEGER avail;
    std::wstring dir = root_;
    if (dir.back() != L'\\') dir += L'\\';
    if (!GetDiskFreeSpaceExW(dir.c_str(), &avail, nullptr, nullptr)) return LastError();
    *bytes = avail.QuadPart;
    return IoStatus::kOk;
  }

  IoStatus DescribeVolume(VolumeInfo* info) override {
    *info = VolumeInfo();
    if (!ok_) return IoStatus::kBadName;
    wchar_t name[MAX_PATH + 1] = L"";
    /* By a handle on the root (followed): a root that is a junction to
     * another drive is described by that drive. */
    HANDLE h = CreateFileW(root_.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    BOOL got = GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1);
    CloseHandle(h);
    if (!got) {
      wchar_t volume[MAX_PATH + 1];
      std::wstring dir = root_ + L"\\";
      if (!GetVolumePathNameW(dir.c_str(), volume, MAX_PATH + 1) ||
          !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1))
        return LastError();
    }
    if (!WideToUtf8(name, &info->fs_name)) info->fs_name.clear();
    /* FAT and exFAT keep no journal: any subset of the last changes may
     * survive a power cut. */
    info->ordered = _wcsicmp(name, L"FAT") != 0 && _wcsicmp(name, L"FAT32") != 0 && _wcsicmp(name, L"exFAT") != 0;
    return IoStatus::kOk;
  }

  IoStatus MarkHidden(const std::string& path) override {
    Exclusive x(&lock_);
    std::wstring full;
    IoStatus s = Walk(path, false, &full);
    if (s != IoStatus::kOk) return s;
    HANDLE h = OpenNoFollow(full, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    DWORD attrs = 0;
    bool link = false;
    s = QueryEntry(h, &attrs, &link);
    if (s == IoStatus::kOk && link && !path.empty()) s = IoStatus::kLink;
    if (s == IoStatus::kOk && !SetAttributes(h, attrs | FILE_ATTRIBUTE_HIDDEN)) s = LastError();
    CloseHandle(h);
    return s;
  }

 private:
  /* Where an engine path becomes a Windows path, its folders checked and
   * held (FolderPins). */
  IoStatus Walk(const std::string& rel, bool whole, std::wstring* full) {
    if (!ok_) return IoStatus::kBadName;
    return pins_.Walk(root_, rel, whole, full);
  }

  /* The full paths of a Rename() or LinkFile(), with no folder on either
   * way swappable for a junction meanwhile: those on the way to `to`
   * become the held ones, those on the way to `from` are held in
   * *from_pins for the call only. Neither set holds `from` itself, which
   * must be free to move; a link at `from` gives kLink. */
  IoStatus WalkFromTo(const std::string& from, const std::string& to, FolderPins* from_pins, std::wstring* f,
                      std::wstring* t) {
    if (from.empty() || to.empty()) return IoStatus::kBadName;
    IoStatus s = Walk(to, false, t);
    if (s != IoStatus::kOk) return s;
    s = from_pins->Walk(root_, from, false, f);
    if (s != IoStatus::kOk) return s;
    return IsLinkPath(*f) ? IoStatus::kLink : IoStatus::kOk;
  }

  /* An error of a call that creates `full`: an existing link there is
   * reported as such. */
  static IoStatus ExistingOrError(const std::wstring& full, DWORD e) {
    IoStatus s = FromError(e);
    return s == IoStatus::kExists && IsLinkPath(full) ? IoStatus::kLink : s;
  }

  std::wstring root_;
  bool ok_ = false;
  SRWLOCK lock_ = SRWLOCK_INIT;
  FolderPins pins_;
};

}  // namespace

std::unique_ptr<FileSystem> NewNativeFileSystem(const NativeString& root) {
  return std::unique_ptr<FileSystem>(new (std::nothrow) Win32FileSystem(root));
}

IoStatus OpenNativeFile(const NativeString& path, std::unique_ptr<File>* out) {
  std::wstring full;
  if (!LongForm(path, &full)) return IoStatus::kBadName;
  return OpenForRead(full, false, out);
}

IoStatus CreateNativeFile(const NativeString& path, std::unique_ptr<File>* out) {
  std::wstring full;
  if (!LongForm(path, &full)) return IoStatus::kBadName;
  HANDLE h = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  return WrapHandle(h, 0, out);
}

bool NativeFromUtf8(const std::string& utf8, NativeString* out) { return Utf8ToWide(utf8, out); }

bool Utf8FromNative(const NativeString& native, std::string* out) { return WideToUtf8(native.c_str(), out); }

bool FullNativePath(const NativeString& path, NativeString* out) { return LongForm(path, out); }

}  // namespace olk
