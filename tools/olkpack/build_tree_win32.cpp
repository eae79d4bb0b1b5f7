// Win32 side of build_tree.h. Not following links, the tree is the
// engine's own Win32 file layer (which never follows one below its root),
// read-only. Following them, entries are looked at through handles opened
// the ordinary way, which the system resolves.
#include "build_tree.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <set>
#include <utility>
#include <vector>

#include "host_system.h"

namespace {

using olk::IoStatus;

IoStatus FromError(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return IoStatus::kNotFound;
    case ERROR_ACCESS_DENIED: return IoStatus::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return IoStatus::kInUse;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return IoStatus::kNoMemory;
    case ERROR_CANT_RESOLVE_FILENAME: return IoStatus::kLink;
    default: return IoStatus::kIoError;
  }
}

// A file or folder as the system knows it, whatever name led to it.
using Identity = std::pair<DWORD, unsigned long long>;  // volume, file index

class BuildTree : public olk::FileSystem {
 public:
  BuildTree(const std::string& root, bool follow) : follow_(follow) {
    root_ = host::LongPath(root);
    if (!follow_) engine_ = olk::NewNativeFileSystem(host::NativePath(root));
  }

  IoStatus Stat(const std::string& path, olk::EntryInfo* info) override {
    if (!follow_) return engine_->Stat(path, info);
    *info = olk::EntryInfo();
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    BY_HANDLE_FILE_INFORMATION found;
    IoStatus s = Resolve(full, &found);
    if (s == IoStatus::kNotFound) {
      // Missing, or a link that points nowhere.
      if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) return IoStatus::kOk;
      info->type = olk::EntryType::kLink;
      return IoStatus::kOk;
    }
    if (s != IoStatus::kOk) return s;
    Describe(found, info);
    return IoStatus::kOk;
  }

  IoStatus OpenRead(const std::string& path, std::unique_ptr<olk::File>* out) override {
    if (!follow_) return engine_->OpenRead(path, out);
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    return olk::OpenNativeFile(full, out);
  }

  IoStatus List(const std::string& path, std::vector<olk::DirEntry>* out) override {
    if (!follow_) return engine_->List(path, out);
    out->clear();
    std::wstring full;
    if (!Full(path, &full)) return IoStatus::kBadName;
    std::set<Identity> holders;
    IoStatus s = HoldingFolders(full, &holders);
    if (s != IoStatus::kOk) return s;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW((full + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      return e == ERROR_FILE_NOT_FOUND ? IoStatus::kOk : FromError(e);
    }
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      olk::DirEntry entry;
      if (!olk::Utf8FromNative(name, &entry.name)) {
        s = IoStatus::kBadName;
        break;
      }
      if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        BY_HANDLE_FILE_INFORMATION target;
        olk::EntryInfo info;
        if (Resolve(full + L"\\" + name, &target) != IoStatus::kOk) {
          entry.type = olk::EntryType::kLink;  // followed, it points nowhere
        } else {
          Describe(target, &info);
          entry.type = info.type;
          entry.size = info.size;
          if (info.type == olk::EntryType::kDirectory && holders.count(IdentityOf(target)))
            entry.type = olk::EntryType::kLink;  // leads back up
        }
      } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        entry.type = olk::EntryType::kDirectory;
      } else {
        entry.type = olk::EntryType::kFile;
        entry.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
      }
      out->push_back(std::move(entry));
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return s;
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
  bool Full(const std::string& path, std::wstring* full) const {
    *full = root_;
    if (root_.empty()) return false;
    if (path.empty()) return true;
    olk::NativeString rel;
    if (!olk::NativeFromUtf8(path, &rel)) return false;
    if (full->back() != L'\\') *full += L'\\';
    *full += rel;
    return true;
  }

  // What `full` leads to, links followed.
  static IoStatus Resolve(const std::wstring& full, BY_HANDLE_FILE_INFORMATION* found) {
    HANDLE h = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FromError(GetLastError());
    const BOOL ok = GetFileInformationByHandle(h, found);
    const DWORD e = GetLastError();
    CloseHandle(h);
    return ok ? IoStatus::kOk : FromError(e);
  }

  static void Describe(const BY_HANDLE_FILE_INFORMATION& found, olk::EntryInfo* info) {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      info->type = olk::EntryType::kDirectory;
    } else {
      info->type = olk::EntryType::kFile;
      info->size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    }
  }

  static Identity IdentityOf(const BY_HANDLE_FILE_INFORMATION& found) {
    return {found.dwVolumeSerialNumber,
            (static_cast<unsigned long long>(found.nFileIndexHigh) << 32) | found.nFileIndexLow};
  }

  // The folder `full` (resolved) and every folder above it up to its
  // volume's root: a followed link to any of them would never end.
  static IoStatus HoldingFolders(const std::wstring& full, std::set<Identity>* holders) {
    HANDLE h = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FromError(GetLastError());
    std::wstring real(32768, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, &real[0], static_cast<DWORD>(real.size()), FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= real.size()) return FromError(GetLastError());
    real.resize(n);
    for (;;) {
      BY_HANDLE_FILE_INFORMATION found;
      IoStatus s = Resolve(real, &found);
      if (s != IoStatus::kOk) return s;
      holders->insert(IdentityOf(found));
      // Up to the volume's root ("\\?\C:\"), which holds everything.
      size_t cut = real.find_last_of(L'\\');
      if (cut == std::wstring::npos || cut + 1 == real.size() || cut < 4) break;
      real.resize(real[cut - 1] == L':' ? cut + 1 : cut);
    }
    return IoStatus::kOk;
  }

  std::wstring root_;
  bool follow_;
  std::unique_ptr<olk::FileSystem> engine_;
};

}  // namespace

std::unique_ptr<olk::FileSystem> NewBuildTree(const std::string& root, bool followLinks) {
  return std::unique_ptr<olk::FileSystem>(new BuildTree(root, followLinks));
}
