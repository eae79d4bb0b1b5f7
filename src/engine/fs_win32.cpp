/* The file layer on Win32 (patcheng.dll). Every call is a wide-character
 * one on a full path with the long-path prefix, so names beyond the ANSI
 * code page and paths longer than MAX_PATH work inside the install
 * folder. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <new>

#include "olkeng/file_layer.h"

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

IoStatus OpenHandle(const std::wstring& full, bool write, DWORD disposition, std::unique_ptr<File>* out) {
  HANDLE h = CreateFileW(full.c_str(), write ? GENERIC_WRITE : GENERIC_READ, write ? 0 : FILE_SHARE_READ, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL | (write ? 0 : FILE_FLAG_SEQUENTIAL_SCAN), nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  uint64_t size = 0;
  if (!write) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
      IoStatus s = LastError();
      CloseHandle(h);
      return s;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      CloseHandle(h);
      return IoStatus::kIsDirectory;
    }
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }
  out->reset(new (std::nothrow) Win32File(h, size));
  if (!*out) {
    CloseHandle(h);
    return IoStatus::kNoMemory;
  }
  return IoStatus::kOk;
}

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const NativeString& root) { ok_ = LongForm(root, &root_); }

  IoStatus Stat(const std::string& path, EntryInfo* info) override {
    *info = EntryInfo();
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) {
      IoStatus s = LastError();
      return s == IoStatus::kNotFound ? IoStatus::kOk : s;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      info->type = EntryType::kDirectory;
    } else {
      info->type = EntryType::kFile;
      info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return IoStatus::kOk;
  }

  IoStatus OpenRead(const std::string& path, std::unique_ptr<File>* out) override {
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    return OpenHandle(full, false, OPEN_EXISTING, out);
  }

  IoStatus CreateNew(const std::string& path, std::unique_ptr<File>* out) override {
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    return OpenHandle(full, true, CREATE_NEW, out);
  }

  IoStatus Rename(const std::string& from, const std::string& to) override {
    std::wstring f, t;
    if (!Full(from, &f) || !Full(to, &t)) return IoStatus::kBadName;
    return MoveFileExW(f.c_str(), t.c_str(), 0) ? IoStatus::kOk : LastError();
  }

  IoStatus RemoveFile(const std::string& path) override {
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    if (DeleteFileW(full.c_str())) return IoStatus::kOk;
    DWORD e = GetLastError();
    if (e == ERROR_ACCESS_DENIED) {
      DWORD attrs = GetFileAttributesW(full.c_str());
      if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) &&
          SetFileAttributesW(full.c_str(), attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
        if (DeleteFileW(full.c_str())) return IoStatus::kOk;
        e = GetLastError();
        SetFileAttributesW(full.c_str(), attrs);
      }
    }
    return FromError(e);
  }

  IoStatus MakeDir(const std::string& path) override {
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    return CreateDirectoryW(full.c_str(), nullptr) ? IoStatus::kOk : LastError();
  }

  IoStatus RemoveDir(const std::string& path) override {
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    return RemoveDirectoryW(full.c_str()) ? IoStatus::kOk : LastError();
  }

  IoStatus List(const std::string& path, std::vector<DirEntry>* out) override {
    out->clear();
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    full += L"\\*";
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW(full.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
      IoStatus s = LastError();
      return s == IoStatus::kNotFound && GetLastError() == ERROR_FILE_NOT_FOUND ? IoStatus::kOk : s;
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
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
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
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    /* A folder opened with backup semantics and write access can be
     * flushed: that writes its entries out. */
    HANDLE h = CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    IoStatus s = FlushFileBuffers(h) ? IoStatus::kOk : LastError();
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

  IoStatus MarkHidden(const std::string& path) override {
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return LastError();
    return SetFileAttributesW(full.c_str(), attrs | FILE_ATTRIBUTE_HIDDEN) ? IoStatus::kOk : LastError();
  }

 private:
  /* The one place where an engine path becomes a Windows path. */
  bool Full(const std::string& rel, std::wstring* out) const {
    if (!ok_) return false;
    if (rel.empty()) {
      *out = root_;
      return true;
    }
    std::wstring w;
    if (!Utf8ToWide(rel, &w)) return false;
    *out = root_;
    if (out->back() != L'\\') *out += L'\\';
    *out += w;
    return true;
  }

  std::wstring root_;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<FileSystem> NewNativeFileSystem(const NativeString& root) {
  return std::unique_ptr<FileSystem>(new (std::nothrow) Win32FileSystem(root));
}

IoStatus OpenNativeFile(const NativeString& path, std::unique_ptr<File>* out) {
  std::wstring full;
  if (!LongForm(path, &full)) return IoStatus::kBadName;
  return OpenHandle(full, false, OPEN_EXISTING, out);
}

IoStatus CreateNativeFile(const NativeString& path, std::unique_ptr<File>* out) {
  std::wstring full;
  if (!LongForm(path, &full)) return IoStatus::kBadName;
  return OpenHandle(full, true, CREATE_ALWAYS, out);
}

}  // namespace olk
