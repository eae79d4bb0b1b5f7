// EmbeddedArchive: trailer and directory parsing, member views.
//
// The file is read field by field in a fixed order: the magic at end - 12,
// D at end - 16, the count at D, then per entry its size, name length and
// name, where "end" is the end of the file or, in a signed program, the
// start of its signature (archive/signed_program.h). Every field is checked
// against the file size before it is trusted, because the directory comes
// from a file anyone can edit: a bad count, name length or member size must
// fail Open() rather than drive an allocation or a view past the end of the
// file.
//
// The stub is built without exceptions, so memory comes from malloc/free and
// every allocation is checked.
#include "archive/embedded_archive.h"

#include <stdlib.h>
#include <string.h>

#include "archive/embedfs_format.h"
#include "archive/signed_program.h"

using platform::Handle;

EmbeddedArchive* g_embeddedArchive = nullptr;

namespace {

// GetModuleFileNameA's buffer: the platform's path limit.
constexpr uint32_t kOwnPathCapacity = 260;

char* CopyText(const char* text) {
  if (!text) return nullptr;
  size_t length = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(length));
  if (copy) memcpy(copy, text, length);
  return copy;
}

// A read that delivers fewer bytes than asked is a failure here: the buffer
// would otherwise hold bytes the file never gave.
bool ReadExact(Handle file, void* buffer, uint32_t count) {
  uint32_t done = 0;
  return platform::file::Read(file, buffer, count, &done) && done == count;
}

bool ReadU32(Handle file, uint32_t& value) {
  unsigned char bytes[4];
  if (!ReadExact(file, bytes, 4)) return false;
  value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
          uint32_t(bytes[3]) << 24;
  return true;
}

bool SeekTo(Handle file, int32_t distance, uint32_t method, uint32_t expected) {
  return platform::file::Seek(file, distance, method) == expected;
}

unsigned char AsciiLower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Whole NUL-terminated strings, A-Z equal to a-z, every other byte as is
// (so a name differing only in a non-ASCII letter's case does not match,
// whatever the code page).
bool SameNameIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = AsciiLower(static_cast<unsigned char>(*a));
    unsigned char cb = AsciiLower(static_cast<unsigned char>(*b));
    if (ca != cb) return false;
    if (ca == '\0') return true;
  }
}

}  // namespace

EmbeddedArchive::EmbeddedArchive()
    : entries(nullptr),
      entryCount(0),
      dataStart(0),
      mapping(nullptr),
      granularity(0),
      ownPath(nullptr),
      directoryOffset(0),
      openFailure(ArchiveOpenFailure::kNone) {
  char path[kOwnPathCapacity];
  path[0] = '\0';
  platform::process::OwnPath(path, kOwnPathCapacity);
  ownPath = CopyText(path);
}

EmbeddedArchive::EmbeddedArchive(const char* path)
    : entries(nullptr),
      entryCount(0),
      dataStart(0),
      mapping(nullptr),
      granularity(0),
      ownPath(CopyText(path)),
      directoryOffset(0),
      openFailure(ArchiveOpenFailure::kNone) {}

EmbeddedArchive::~EmbeddedArchive() {
  FreeEntries();
  free(ownPath);
  SetMapping(nullptr);
}

bool EmbeddedArchive::Open() {
  if (entries) return true;
  // Without a path (its copy failed) there is nothing to open.
  Handle file = ownPath ? platform::file::Open(ownPath, platform::kGenericRead,
                                               platform::kShareRead, platform::kOpenExisting,
                                               platform::kAttrReadOnly)
                        : platform::InvalidHandle();
  if (file == platform::InvalidHandle()) {
    openFailure = ArchiveOpenFailure::kCannotOpenFile;
    return false;
  }
  openFailure = ReadDirectory(file);
  // A mapping that cannot be made is no failure of Open(); it makes every
  // MapMember() fail instead.
  if (openFailure == ArchiveOpenFailure::kNone)
    SetMapping(platform::mapping::CreateReadOnly(file));
  // The mapping keeps the file in use.
  platform::file::Close(file);
  return openFailure == ArchiveOpenFailure::kNone;
}

// Reads the trailer and the directory into `entries`; on any failure frees
// what was read, so the archive is again not open.
ArchiveOpenFailure EmbeddedArchive::ReadDirectory(Handle file) {
  using embedfs::kTrailerSize;
  using F = ArchiveOpenFailure;
  const uint32_t fileSize = platform::file::Size(file);
  if (fileSize == platform::kInvalidSize) return F::kCannotReadFile;
  // The file's end, or in a signed program the start of its signature.
  const uint32_t archiveEnd = ArchiveEnd(file, fileSize);
  if (archiveEnd < kTrailerSize) return F::kNoTrailer;
  // Directory and data must end where the trailer begins.
  const uint32_t trailerStart = archiveEnd - kTrailerSize;
  // Both reads seek back from the end: ArchiveEnd() keeps the distance in
  // 31 bits, and it is 12 and 16 in an unsigned file.
  const uint32_t behindArchive = fileSize - archiveEnd;

  char magic[embedfs::kMagicSize];
  if (!SeekTo(file, -int32_t(behindArchive + embedfs::kMagicSize), platform::kFileEnd,
              archiveEnd - embedfs::kMagicSize) ||
      !ReadExact(file, magic, sizeof magic))
    return F::kCannotReadFile;
  // All 12 bytes, NUL included: the same as comparing the magic as a
  // terminated string, without reading past the buffer.
  if (memcmp(magic, embedfs::kMagic, sizeof magic) != 0) return F::kBadMagic;

  uint32_t directory = 0;
  if (!SeekTo(file, -int32_t(behindArchive + kTrailerSize), platform::kFileEnd, trailerStart) ||
      !ReadU32(file, directory))
    return F::kCannotReadFile;
  directoryOffset = directory;  // kept for diagnosis even when it is refused
  if (directory > embedfs::kMaxDirectoryOffset || directory > trailerStart ||
      trailerStart - directory < embedfs::kCountSize)
    return F::kBadDirectoryOffset;

  uint32_t count = 0;
  if (!SeekTo(file, int32_t(directory), platform::kFileBegin, directory) || !ReadU32(file, count))
    return F::kCannotReadFile;
  // `position` follows the file position; it never passes trailerStart.
  uint32_t position = directory + embedfs::kCountSize;
  // Bounds the table by what the bytes before the trailer can hold.
  if (count > (trailerStart - position) / embedfs::kMinEntrySize) return F::kTruncatedDirectory;

  // One record even for an empty directory: the table's presence is what
  // marks the archive open. Zeroed, so freeing a partly read table is safe.
  entries = static_cast<ArchiveEntry*>(calloc(count ? count : 1, sizeof(ArchiveEntry)));
  if (!entries) return F::kOutOfMemory;
  entryCount = count;

  F failure = F::kNone;
  for (uint32_t i = 0; i < count && failure == F::kNone; ++i)
    failure = ReadEntry(file, entries[i], position, trailerStart);
  if (failure == F::kNone) {
    dataStart = platform::file::Seek(file, 0, platform::kFileCurrent);
    if (dataStart != position) failure = F::kCannotReadFile;
  }
  if (failure == F::kNone) {
    // Summed in 64 bits: 32-bit sizes could wrap and pass the check.
    uint64_t dataLength = 0;
    for (uint32_t i = 0; i < count; ++i) dataLength += entries[i].size;
    if (dataLength > trailerStart - dataStart) failure = F::kDataPastEnd;
  }
  if (failure != F::kNone) FreeEntries();
  return failure;
}

// Reads one entry at `position` (the file position), which it advances.
// Nothing may reach `trailerStart`.
ArchiveOpenFailure EmbeddedArchive::ReadEntry(Handle file, ArchiveEntry& entry,
                                              uint32_t& position, uint32_t trailerStart) {
  using F = ArchiveOpenFailure;
  if (trailerStart - position < embedfs::kEntryHeaderSize) return F::kTruncatedDirectory;
  if (!ReadU32(file, entry.size) || !ReadU32(file, entry.nameLength)) return F::kCannotReadFile;
  position += embedfs::kEntryHeaderSize;
  // The name and its NUL: nameLength + 1 bytes, which must fit.
  if (entry.nameLength >= trailerStart - position) return F::kTruncatedDirectory;
  entry.name = static_cast<char*>(malloc(entry.nameLength + 1));
  if (!entry.name) return F::kOutOfMemory;
  if (!ReadExact(file, entry.name, entry.nameLength + 1)) return F::kCannotReadFile;
  position += entry.nameLength + 1;
  // Callers treat names as terminated strings.
  if (entry.name[entry.nameLength] != '\0') return F::kBadName;
  return F::kNone;
}

void EmbeddedArchive::FreeEntries() {
  if (entries) {
    for (uint32_t i = entryCount; i > 0; --i) free(entries[i - 1].name);
    free(entries);
  }
  entries = nullptr;
  entryCount = 0;
}

void EmbeddedArchive::SetMapping(Handle handle) {
  if (mapping) platform::file::Close(mapping);
  mapping = handle;
}

const void* EmbeddedArchive::MapMember(const char* name, uint32_t& size) {
  if (!name || !Open()) return nullptr;
  uint32_t offset = dataStart;
  granularity = platform::mapping::AllocationGranularity();
  if (granularity == 0) return nullptr;
  for (uint32_t i = 0; i < entryCount; ++i) {
    const ArchiveEntry& entry = entries[i];
    if (!SameNameIgnoringAsciiCase(name, entry.name)) {
      // Open() checked that all members end before the trailer, so this
      // sum stays below the file size.
      offset += entry.size;
      continue;
    }
    // Views start on a granularity boundary: map from the boundary below
    // the member and hand out a pointer rem bytes into the view.
    uint32_t rem = offset % granularity;
    const char* view =
        static_cast<const char*>(platform::mapping::MapView(mapping, offset - rem, entry.size + rem));
    if (!view) return nullptr;
    size = entry.size;
    return view + rem;
  }
  return nullptr;
}

void EmbeddedArchive::UnmapMember(const void* member) {
  if (!member || granularity == 0) return;
  // The view began on a granularity boundary and rem is below the
  // granularity, so rounding down finds its base.
  uintptr_t address = reinterpret_cast<uintptr_t>(member);
  platform::mapping::UnmapView(reinterpret_cast<const void*>(address - address % granularity));
}

const char* EmbeddedArchive::MemberName(uint32_t index) {
  if (!Open() || index >= entryCount) return nullptr;
  return entries[index].name;
}
