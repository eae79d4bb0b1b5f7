// ArchiveEnd(): finds a trailing Authenticode certificate table through the
// PE headers. Every field comes from a file anyone can edit, so each offset
// is checked against the file size before it is used; a field that does
// not fit makes the file count as unsigned, never a read past the file.
#include "archive/signed_program.h"

#include <string.h>

#include "archive/embedfs_format.h"

using platform::Handle;

namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kPeOffsetField = 0x3C;     // e_lfanew in the DOS header
constexpr uint32_t kPeHeadSize = 4 + 20;      // "PE\0\0" and the COFF header
constexpr uint32_t kOptionalSizeField = 20;   // SizeOfOptionalHeader, from "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kPe32Directories = 96;      // data directories in the optional header
constexpr uint32_t kPe32PlusDirectories = 112;
constexpr uint32_t kCertificateDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr uint32_t kDirectoryEntrySize = 8;    // offset, size
// The table starts on an 8-byte boundary; the signer pads up to it.
constexpr uint32_t kMaxPadding = 7;
// Seeks take a signed 32-bit distance.
constexpr uint32_t kMaxSeek = 0x7FFFFFFFu;

uint16_t Le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// `count` bytes at `offset`, which the caller has checked against the size.
bool ReadAt(Handle file, uint32_t fileSize, uint32_t offset, void* buffer, uint32_t count) {
  // Near the end the distance from the end is small even in a file above
  // 2 GiB; near the start the distance from the start is.
  uint32_t reached = offset <= kMaxSeek
                         ? platform::file::Seek(file, int32_t(offset), platform::kFileBegin)
                     : fileSize - offset <= kMaxSeek
                         ? platform::file::Seek(file, -int32_t(fileSize - offset), platform::kFileEnd)
                         : platform::kInvalidSize;
  uint32_t done = 0;
  return reached == offset && platform::file::Read(file, buffer, count, &done) && done == count;
}

// The offset of a certificate table that ends exactly at the end of the
// file, or 0 when the file has none.
uint32_t TrailingCertificateTable(Handle file, uint32_t fileSize) {
  unsigned char dos[kDosHeaderSize];
  if (fileSize < kDosHeaderSize || !ReadAt(file, fileSize, 0, dos, sizeof dos)) return 0;
  if (dos[0] != 'M' || dos[1] != 'Z') return 0;
  const uint32_t pe = Le32(dos + kPeOffsetField);
  if (pe > fileSize || fileSize - pe < kPeHeadSize) return 0;

  unsigned char head[kPeHeadSize + 2];  // and the optional header's magic
  if (fileSize - pe < sizeof head || !ReadAt(file, fileSize, pe, head, sizeof head)) return 0;
  if (memcmp(head, "PE\0\0", 4) != 0) return 0;
  const uint16_t optionalSize = Le16(head + kOptionalSizeField);
  const uint16_t magic = Le16(head + kPeHeadSize);
  const uint32_t directories = magic == kPe32Magic       ? kPe32Directories
                               : magic == kPe32PlusMagic ? kPe32PlusDirectories
                                                         : 0;
  if (directories == 0) return 0;
  // The directory count just before the directories, then directory 4.
  const uint32_t entry = directories + kCertificateDirectory * kDirectoryEntrySize;
  const uint32_t needed = entry + kDirectoryEntrySize;
  if (optionalSize < needed || fileSize - pe - kPeHeadSize < needed) return 0;

  unsigned char count[4], table[kDirectoryEntrySize];
  const uint32_t optional = pe + kPeHeadSize;
  if (!ReadAt(file, fileSize, optional + directories - 4, count, sizeof count) ||
      !ReadAt(file, fileSize, optional + entry, table, sizeof table))
    return 0;
  if (Le32(count) <= kCertificateDirectory) return 0;
  const uint32_t offset = Le32(table);
  const uint32_t size = Le32(table + 4);
  if (offset == 0 || size == 0 || offset > fileSize || fileSize - offset != size) return 0;
  // The trailer before it must stay within a seek from the end.
  if (size > kMaxSeek - embedfs::kTrailerSize - kMaxPadding) return 0;
  return offset;
}

}  // namespace

uint32_t ArchiveEnd(Handle file, uint32_t fileSize) {
  const uint32_t table = TrailingCertificateTable(file, fileSize);
  if (table == 0) return fileSize;

  // The magic and the padding that may follow it, ending at the table.
  unsigned char tail[embedfs::kMagicSize + kMaxPadding];
  const uint32_t length = table < sizeof tail ? table : uint32_t(sizeof tail);
  if (!ReadAt(file, fileSize, table - length, tail, length)) return table;
  for (uint32_t padding = 0; padding <= kMaxPadding && padding + embedfs::kMagicSize <= length;
       ++padding) {
    const unsigned char* end = tail + length - padding;  // where the trailer would end
    bool zeros = true;
    for (uint32_t i = 0; i < padding; ++i) zeros = zeros && end[i] == 0;
    if (!zeros) break;  // more padding would take in this byte too
    if (memcmp(end - embedfs::kMagicSize, embedfs::kMagic, embedfs::kMagicSize) == 0)
      return table - padding;
  }
  return table;
}
