// libFuzzer target for the archive reader: each input is a whole program
// file. The reader opens it through the host side of the platform layer,
// whose views are copies of exactly the mapped length, so AddressSanitizer
// reports any byte read past a member's view; every member found is mapped
// and read in full.
//
// Besides the sanitizers' findings, the target traps when the reader breaks
// one of its promises: member bytes other than the file's bytes at the
// member's offset, a view or handle left open, a directory reported open
// that does not fit the file, or a trailer looked for anywhere but at the
// end of the file or, in a signed program, before its certificate table
// (worked out here from the bytes in memory, apart from the reader's code).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "archive/embedded_archive.h"
#include "archive/embedfs_format.h"
#include "archive/version_info.h"
#include "platform/host/host_control.h"

namespace {

namespace host = platform::host;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

char g_folder[] = "/tmp/olk-archive-fuzz-XXXXXX";

void RemoveFolder() {
  unlink((std::string(g_folder) + "/olkpatch.exe").c_str());
  rmdir(g_folder);
}

const std::string& ProgramPath() {
  static const std::string path = [] {
    Check(mkdtemp(g_folder) != nullptr);
    atexit(RemoveFolder);
    return std::string(g_folder) + "/olkpatch.exe";
  }();
  return path;
}

void WriteProgram(const uint8_t* data, size_t size) {
  FILE* f = fopen(ProgramPath().c_str(), "wb");
  Check(f != nullptr);
  Check(fwrite(data, 1, size, f) == size);
  Check(fclose(f) == 0);
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Where the archive must end: before a certificate table that the PE
// headers place at the very end of the file, and the zero padding in front
// of it when the magic ends there; else at the end of the file.
size_t ExpectedArchiveEnd(const uint8_t* data, size_t size) {
  if (size < 64 || data[0] != 'M' || data[1] != 'Z') return size;
  const uint64_t pe = Le32(data + 0x3C);
  if (pe + 26 > size || memcmp(data + pe, "PE\0\0", 4) != 0) return size;
  const uint32_t optionalSize = data[pe + 20] | data[pe + 21] << 8;
  const uint32_t magic = data[pe + 24] | data[pe + 25] << 8;
  const uint64_t directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
  if (directories == 0 || optionalSize < directories + 40) return size;
  const uint64_t optional = pe + 24;
  if (optional + directories + 40 > size || Le32(data + optional + directories - 4) < 5) return size;
  const uint64_t table = Le32(data + optional + directories + 32);
  const uint64_t tableSize = Le32(data + optional + directories + 36);
  if (table == 0 || tableSize == 0 || table + tableSize != size) return size;
  for (uint64_t end = table; end + 8 > table && end >= embedfs::kMagicSize; --end) {
    if (memcmp(data + end - embedfs::kMagicSize, embedfs::kMagic, embedfs::kMagicSize) == 0) return end;
    if (data[end - 1] != 0) break;  // padding is zeros only
  }
  return table;
}

// The member named `name` must read as the file's bytes at `offset`.
void CheckMember(EmbeddedArchive& archive, const char* name, uint32_t expectedSize,
                 uint64_t offset, const uint8_t* data, size_t size) {
  uint32_t got = 0xDEADBEEF;
  const void* view = archive.MapMember(name, got);
  Check(view != nullptr);  // the host always maps a view that fits the file
  Check(got == expectedSize);
  Check(offset + got <= size);
  Check(memcmp(view, data + offset, got) == 0);
  archive.UnmapMember(view);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteProgram(data, size);
  host::Reset();
  host::SetOwnPath(ProgramPath());
  // The first byte belongs to the image, which the reader never reads, so
  // it may choose the granularity: 16 to 65,536 bytes.
  host::SetAllocationGranularity(16u << (size ? data[0] % 13 : 0));

  const size_t end = ExpectedArchiveEnd(data, size);
  {
    EmbeddedArchive archive;
    const bool open = archive.Open();
    Check(open == (archive.LastOpenFailure() == ArchiveOpenFailure::kNone));
    if (!open) {
      if (archive.LastOpenFailure() == ArchiveOpenFailure::kBadMagic)
        Check(memcmp(data + end - embedfs::kMagicSize, embedfs::kMagic, embedfs::kMagicSize) != 0);
      Check(host::OpenHandleCount() == 0);
      Check(archive.EntryCount() == 0);
      Check(archive.MemberName(0) == nullptr);
      uint32_t untouched = 7;
      Check(archive.MapMember("versionInfoFile.txt", untouched) == nullptr && untouched == 7);
    } else {
      Check(host::OpenHandleCount() == 1);  // the mapping; the file is closed
      Check(end >= embedfs::kTrailerSize);
      Check(memcmp(data + end - embedfs::kMagicSize, embedfs::kMagic, embedfs::kMagicSize) == 0);
      Check(Le32(data + end - embedfs::kTrailerSize) == archive.DirectoryOffset());
      uint64_t offset = archive.DataStart();
      for (uint32_t i = 0; i < archive.EntryCount(); ++i) {
        const char* name = archive.MemberName(i);
        Check(name != nullptr && name == archive.Entry(i).name);
        Check(strlen(name) <= archive.Entry(i).nameLength);
        // The first entry of that name (ignoring ASCII case) is the one mapped.
        uint32_t first = 0;
        uint64_t firstOffset = archive.DataStart();
        while (strcasecmp(archive.Entry(first).name, name) != 0)
          firstOffset += archive.Entry(first++).size;
        CheckMember(archive, name, archive.Entry(first).size, firstOffset, data, size);
        offset += archive.Entry(i).size;
      }
      Check(offset <= end - embedfs::kTrailerSize);
      Check(archive.MemberName(archive.EntryCount()) == nullptr);
      Check(host::MappedViewCount() == 0);

      g_embeddedArchive = &archive;
      int32_t from = 0, to = 0;
      ReadVersionInfo(from, to);
      g_embeddedArchive = nullptr;
      Check(host::MappedViewCount() == 0);
    }
  }
  Check(host::OpenHandleCount() == 0);
  return 0;
}
