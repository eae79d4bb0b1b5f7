// libFuzzer target for the archive reader: each input is a whole program
// file. The reader opens it through the host side of the platform layer,
// whose views are copies of exactly the mapped length, so AddressSanitizer
// reports any byte read past a member's view; every member found is mapped
// and read in full.
//
// Besides the sanitizers' findings, the target traps when the reader breaks
// one of its promises: member bytes other than the file's bytes at the
// member's offset, a view or handle left open, or a directory reported open
// that does not fit the file.
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

  {
    EmbeddedArchive archive;
    const bool open = archive.Open();
    Check(open == (archive.LastOpenFailure() == ArchiveOpenFailure::kNone));
    if (!open) {
      Check(host::OpenHandleCount() == 0);
      Check(archive.EntryCount() == 0);
      Check(archive.MemberName(0) == nullptr);
      uint32_t untouched = 7;
      Check(archive.MapMember("versionInfoFile.txt", untouched) == nullptr && untouched == 7);
    } else {
      Check(host::OpenHandleCount() == 1);  // the mapping; the file is closed
      Check(size >= embedfs::kTrailerSize);
      Check(memcmp(data + size - embedfs::kMagicSize, embedfs::kMagic, embedfs::kMagicSize) == 0);
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
      Check(offset <= size - embedfs::kTrailerSize);
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
