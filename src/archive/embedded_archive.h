// Reader of the EmbedFs archive appended behind the program's own image
// (layout in archive/embedfs_format.h).
//
// The reader opens the file on first use, reads the directory once, and
// hands out read-only mapped views of single members by name and member
// names by index. Members are never copied into memory by the reader: each
// view covers a member's own bytes plus the few bytes before it down to the
// allocation granularity boundary.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// One directory entry as read from the file.
struct ArchiveEntry {
  uint32_t size;        // member size in bytes
  char* name;           // owned; nameLength + 1 bytes, the last one the stored NUL
  uint32_t nameLength;  // as stored, not counting the NUL
};

// Why the last Open() failed. The installer itself only needs the boolean;
// the authoring tool turns this into its error messages.
enum class ArchiveOpenFailure : uint8_t {
  kNone,
  kCannotOpenFile,      // the file cannot be opened (platform::process::LastError says why)
  kCannotReadFile,      // a size query, move or read failed or came up short
  kNoTrailer,           // the file is shorter than the 16-byte trailer
  kBadMagic,            // the last 12 bytes are not "EmbedFs 1.0" and its NUL
  kBadDirectoryOffset,  // D leaves no room for the entry count before the trailer
  kTruncatedDirectory,  // the count or an entry runs into the trailer
  kBadName,             // a name's stored last byte is not NUL
  kDataPastEnd,         // the members' sizes run into the trailer
  kOutOfMemory,
};

class EmbeddedArchive {
 public:
  /*! EmbeddedArchive() :
   *  Reader of the running program's own file (platform::process::OwnPath).
   *  Touches no file: the archive is opened on first use. */
  EmbeddedArchive();

  /*! EmbeddedArchive(path) :
   *  Reader of the archive at the end of the file `path` (the authoring tool
   *  and the tests read files other than the running program). */
  explicit EmbeddedArchive(const char* path);

  /*! ~EmbeddedArchive() :
   *  Frees the names (last to first), the table and the path, and closes the
   *  mapping. Views still mapped are not released. */
  ~EmbeddedArchive();

  EmbeddedArchive(const EmbeddedArchive&) = delete;
  EmbeddedArchive& operator=(const EmbeddedArchive&) = delete;

  /*! Open() :
   *  Reads the trailer and the directory and maps the file. Once it has
   *  succeeded it returns true at once; after a failure the next call starts
   *  over from opening the file. MapMember() and MemberName() call it, so
   *  callers need not.
   *  A directory that does not fit in the file fails here, before anything
   *  past the end of the file could be mapped or an allocation larger than
   *  the file could hold is made.
   *  @return : true when the archive is open. */
  bool Open();

  /*! MapMember() :
   *  Maps a read-only view of the first member whose name equals `name`,
   *  ignoring ASCII case only.
   *  @return : the member's first byte, valid until given to UnmapMember(),
   *            with the member's size stored in `size`; or null, with `size`
   *            left as it was, when the archive cannot be opened, no member
   *            has that name or the view cannot be mapped. */
  const void* MapMember(const char* name, uint32_t& size);

  /*! UnmapMember() :
   *  Releases the view behind a pointer returned by MapMember(). Each
   *  MapMember() maps its own view, so each needs its own UnmapMember(). */
  void UnmapMember(const void* member);

  /*! MemberName() :
   *  @return : the name of entry `index` in directory order, owned by the
   *            archive for its lifetime; or null when the archive cannot be
   *            opened or `index` is not below the entry count. */
  const char* MemberName(uint32_t index);

  // For the authoring tool's listing; meaningful once Open() succeeded.
  uint32_t EntryCount() const { return entryCount; }
  const ArchiveEntry& Entry(uint32_t index) const { return entries[index]; }
  uint32_t DirectoryOffset() const { return directoryOffset; }  // D, once read
  uint32_t DataStart() const { return dataStart; }
  ArchiveOpenFailure LastOpenFailure() const { return openFailure; }

 private:
  ArchiveOpenFailure ReadDirectory(platform::Handle file);
  static ArchiveOpenFailure ReadEntry(platform::Handle file, ArchiveEntry& entry,
                                      uint32_t& position, uint32_t trailerStart);
  void FreeEntries();
  void SetMapping(platform::Handle handle);

  ArchiveEntry* entries;  // null until Open() succeeds: the mark of an open archive
  uint32_t entryCount;
  uint32_t dataStart;         // offset of the first member's first byte
  platform::Handle mapping;   // read-only mapping of the whole file, or null
  uint32_t granularity;       // written by MapMember(), read by UnmapMember()
  char* ownPath;              // owned copy of the file's path
  uint32_t directoryOffset;   // D, from the trailer
  ArchiveOpenFailure openFailure;
};

// The one archive of the running program: set by the entry routine, replaced
// by patch application, destroyed at exit.
extern EmbeddedArchive* g_embeddedArchive;
