/*
 * The engine's file layer.
 *
 * Everything the engine does to disk goes through the two interfaces below,
 * so that the rest of the engine is platform-neutral. There is one
 * implementation on POSIX (native tools and tests) and one on Win32 (the
 * DLL), and tests wrap either to inject faults (a locked file, a full disk,
 * a crash in the middle of a commit).
 *
 * Paths handed to a FileSystem are relative to its root folder, UTF-8, with
 * '\' between components, exactly as they are stored in patch data. The
 * empty path names the root itself. Each implementation converts a path
 * once, when it calls the operating system (wide-character calls and the
 * long-path prefix on Win32, '/' separators on POSIX). Callers validate
 * paths before use (see IsSafeRelativePath()); the layer does not.
 *
 * Links: the layer never follows a symbolic link, junction or other
 * reparse point below its root. Any operation whose path has such an entry
 * among its components below the root fails with kLink and touches
 * nothing; Stat() and List() report a link itself as EntryType::kLink. The
 * root itself may be a link (a player may have moved the whole client).
 * A patch could otherwise be turned into a tool that deletes or writes
 * files outside the client through a planted link.
 */
#ifndef OLKENG_FILE_LAYER_H
#define OLKENG_FILE_LAYER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace olk {

enum class IoStatus : uint8_t {
  kOk = 0,
  kNotFound,      /* the path, or one of its parents, does not exist */
  kExists,        /* the target of a create or rename already exists */
  kInUse,         /* another process holds the file (sharing violation, lock) */
  kAccessDenied,  /* permissions or a read-only medium */
  kDiskFull,      /* no space left on the volume */
  kNoMemory,
  kIsDirectory,   /* a file operation met a folder */
  kNotDirectory,  /* a folder operation met a file */
  kNotEmpty,      /* a folder to remove still has entries */
  kBadName,       /* the name cannot be represented on this system */
  kIoError,       /* anything else */
  kLink,          /* a component below the root is a link or reparse point */
};

/* IoStatusName():
 * Short constant English text for `s`, for log lines. Never NULL. */
const char* IoStatusName(IoStatus s);

enum class EntryType : uint8_t {
  kNone = 0,
  kFile,
  kDirectory,
  kOther, /* a device, socket, pipe, ... */
  kLink,  /* a symbolic link, junction or other reparse point (not followed) */
};

/* What the engine needs to know of the volume that holds the root. */
struct VolumeInfo {
  std::string fs_name; /* "NTFS", "FAT32", "ext4", ...; empty if unknown */
  /* False on file systems that give no ordering of metadata changes at all
   * (FAT, exFAT): a power cut may keep any subset of the last changes. */
  bool ordered = true;
};

struct EntryInfo {
  EntryType type = EntryType::kNone;
  uint64_t size = 0; /* files only */
};

struct DirEntry {
  std::string name; /* UTF-8, a single component */
  EntryType type = EntryType::kNone;
  uint64_t size = 0;
};

/* An open file. Files opened for reading support ReadAt(); files made by
 * CreateNew() support Write() (sequential, at the end). The destructor
 * closes the handle. */
class File {
 public:
  virtual ~File() = default;

  /* ReadAt():
   * Reads up to `n` bytes at `offset` into `buf`; `*got` receives the count
   * read, which is less than `n` only at the end of the file.
   * @return kOk, or the error that stopped the read. */
  virtual IoStatus ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) = 0;

  /* Write():
   * Appends `n` bytes. A short write is reported as an error (kDiskFull when
   * the volume is full). */
  virtual IoStatus Write(const void* buf, size_t n) = 0;

  /* Flush():
   * Makes written data durable (fsync / FlushFileBuffers). */
  virtual IoStatus Flush() = 0;

  /* WriteBehind():
   * Tells the layer that this file will be flushed when it is complete, so
   * that it may start sending written data to the disk while more is being
   * written, and leave less for the final Flush(). A hint: it changes no
   * result, and the default (and Win32) ignores it. */
  virtual void WriteBehind() {}

  /* Close():
   * Closes the handle and reports the result; later calls do nothing. */
  virtual IoStatus Close() = 0;

  /* Size():
   * The current size of the file in bytes. */
  virtual uint64_t Size() const = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /* Stat():
   * Fills `*info`; a missing path gives kOk with type kNone. */
  virtual IoStatus Stat(const std::string& path, EntryInfo* info) = 0;

  /* OpenRead():
   * Opens an existing file for reading; others may read it meanwhile. */
  virtual IoStatus OpenRead(const std::string& path, std::unique_ptr<File>* out) = 0;

  /* CreateNew():
   * Creates a file that must not exist yet (kExists otherwise) and opens it
   * for writing. The parent folder must exist. */
  virtual IoStatus CreateNew(const std::string& path, std::unique_ptr<File>* out) = 0;

  /* Rename():
   * Moves a file within the root, atomically; never replaces an existing
   * `to` (kExists). A file held open by another process gives kInUse. */
  virtual IoStatus Rename(const std::string& from, const std::string& to) = 0;

  /* LinkFile():
   * Gives the file `from` a second name `to` (a hard link) within the root,
   * never through a link: a link at `from` gives kLink. `to` must not exist
   * (kExists). Where the volume or the layer makes no such names, any
   * error; callers then copy instead, so the default makes none. */
  virtual IoStatus LinkFile(const std::string& from, const std::string& to) {
    (void)from;
    (void)to;
    return IoStatus::kAccessDenied;
  }

  /* RemoveFile():
   * Deletes a file, also when it is read-only. A missing file gives
   * kNotFound. */
  virtual IoStatus RemoveFile(const std::string& path) = 0;

  /* MakeDir():
   * Creates one folder; its parent must exist. An existing entry gives
   * kExists. */
  virtual IoStatus MakeDir(const std::string& path) = 0;

  /* RemoveDir():
   * Removes an empty folder (kNotEmpty otherwise). */
  virtual IoStatus RemoveDir(const std::string& path) = 0;

  /* List():
   * The entries of a folder, without "." and "..", in no particular
   * order. */
  virtual IoStatus List(const std::string& path, std::vector<DirEntry>* out) = 0;

  /* FreeSpace():
   * Bytes available to this process on the root's volume. */
  virtual IoStatus FreeSpace(uint64_t* bytes) = 0;

  /* SyncDir():
   * Makes the entries of the folder `path` durable: files created, renamed
   * or removed in it, folders made or removed in it survive a power cut
   * once this returns kOk (fsync of the folder on POSIX, FlushFileBuffers
   * on a folder handle opened with backup semantics on Win32). */
  virtual IoStatus SyncDir(const std::string& path) = 0;

  /* DescribeVolume():
   * Fills `*info` for the volume of the root. */
  virtual IoStatus DescribeVolume(VolumeInfo* info) {
    *info = VolumeInfo();
    return IoStatus::kOk;
  }

  /* MarkHidden():
   * Hides a folder of the engine's own from casual views where the system
   * has such a notion (Win32); a no-op elsewhere. */
  virtual IoStatus MarkHidden(const std::string& path) { (void)path; return IoStatus::kOk; }
};

#if defined(_WIN32)
typedef wchar_t NativeChar;
#else
typedef char NativeChar;
#endif
typedef std::basic_string<NativeChar> NativeString;

/* NewNativeFileSystem():
 * The platform's file layer rooted at the folder `root` (an absolute or
 * current-folder-relative path in the platform's own form). The folder is
 * not checked here; Stat("") tells whether it exists.
 * @return NULL only when memory runs out. */
std::unique_ptr<FileSystem> NewNativeFileSystem(const NativeString& root);

/* OpenNativeFile():
 * Opens a file named by a path in the platform's own form, for reading. */
IoStatus OpenNativeFile(const NativeString& path, std::unique_ptr<File>* out);

/* CreateNativeFile():
 * Creates or truncates a file named by a path in the platform's own form,
 * for writing. */
IoStatus CreateNativeFile(const NativeString& path, std::unique_ptr<File>* out);

/* NativeFromUtf8(), Utf8FromNative():
 * A path between UTF-8 (as the tools take and print paths) and the
 * platform's own form: unchanged on POSIX, UTF-16 on Win32.
 * @return false when the text does not convert (not UTF-8, or not
 * UTF-16). */
bool NativeFromUtf8(const std::string& utf8, NativeString* out);
bool Utf8FromNative(const NativeString& native, std::string* out);

/* FullNativePath():
 * A path in the form every call of this layer gives the system: on Win32
 * absolute, with '/' read as '\', "." and ".." resolved and the long-path
 * prefix ("\\?\C:\dir", "\\?\UNC\server\share\dir"); unchanged on
 * POSIX. @return false when it cannot be made. */
bool FullNativePath(const NativeString& path, NativeString* out);

}  // namespace olk

#endif
