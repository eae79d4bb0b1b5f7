// The archive reader on the host side: real files in a temporary folder,
// views copied into buffers of exactly their length (so AddressSanitizer
// sees a read past a view).
#include "archive/embedded_archive.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "archive_image.h"
#include "host_world.h"
#include "platform/host/host_control.h"

namespace {

using archive_image::Bytes;
using archive_image::Member;
using archive_image::Pattern;
using archive_image::Program;
namespace host = platform::host;

class EmbeddedArchiveTest : public HostWorld {
 protected:
  // Writes the running program's file and points the platform's own-path
  // query at it.
  void WriteProgram(const std::string& bytes) {
    WriteFile("olkpatch.exe", bytes);
    host::SetOwnPath((root() / "olkpatch.exe").string());
  }

  // The member's bytes as the reader maps them, the view released again.
  std::string ReadMember(EmbeddedArchive& archive, const char* name) {
    uint32_t size = 0;
    const void* view = archive.MapMember(name, size);
    if (!view) return "<missing>";
    std::string bytes(static_cast<const char*>(view), size);
    archive.UnmapMember(view);
    return bytes;
  }
};

// The layout of a shipped installer: image up to 62,976, zero fill, the
// directory at 65,536 and three members (the patch data kept small here).
TEST_F(EmbeddedArchiveTest, ReadsTheShippedLayout) {
  std::string image = "MZ" + Pattern(62976 - 2, 1);
  std::vector<Member> members = {
      {"versionInfoFile.txt", "3550\r\n3551\r\n"},
      {"patcheng.dll", "MZ" + Pattern(202240 - 2, 2)},
      {"OLK.2.06.3550-2.06.3551.pat", Pattern(70001, 3)},
  };
  WriteProgram(Program(image, 65536, members));

  EmbeddedArchive archive;
  ASSERT_TRUE(archive.Open());
  EXPECT_EQ(archive.DirectoryOffset(), 65536u);
  EXPECT_EQ(archive.DataStart(), 65625u);  // 4 + (8+20) + (8+13) + (8+28) = 89 bytes
  EXPECT_EQ(host::OpenHandleCount(), 1);   // the mapping; the file is closed
  EXPECT_STREQ(archive.MemberName(0), "versionInfoFile.txt");
  EXPECT_STREQ(archive.MemberName(1), "patcheng.dll");
  EXPECT_STREQ(archive.MemberName(2), "OLK.2.06.3550-2.06.3551.pat");
  EXPECT_EQ(archive.MemberName(3), nullptr);

  uint32_t size = 0;
  const char* dll = static_cast<const char*>(archive.MapMember("patcheng.dll", size));
  ASSERT_NE(dll, nullptr);
  EXPECT_EQ(size, 202240u);
  EXPECT_EQ(std::string(dll, 2), "MZ");
  EXPECT_EQ(host::MappedViewCount(), 1);
  archive.UnmapMember(dll);
  EXPECT_EQ(host::MappedViewCount(), 0);

  for (const Member& m : members) EXPECT_EQ(ReadMember(archive, m.name.c_str()), m.data) << m.name;
}

TEST_F(EmbeddedArchiveTest, NamesMatchIgnoringAsciiCaseOnly) {
  WriteProgram(Program("MZ", 16, {{"versionInfoFile.txt", "a"}, {"caf\xC9.txt", "b"}}));
  EmbeddedArchive archive;
  EXPECT_EQ(ReadMember(archive, "VERSIONINFOFILE.TXT"), "a");
  EXPECT_EQ(ReadMember(archive, "caf\xC9.TXT"), "b");
  // Whole names only, and no case folding outside A-Z.
  for (const char* other : {"caf\xE9.txt", "versionInfoFile", "versionInfoFile.txt2", ""}) {
    uint32_t size = 77;
    EXPECT_EQ(archive.MapMember(other, size), nullptr) << other;
    EXPECT_EQ(size, 77u) << "a failed MapMember must leave the size alone";
  }
  EXPECT_EQ(host::MappedViewCount(), 0);
}

// With a granularity of 16 every member starts inside a granularity block:
// each view begins on the boundary below its member and covers exactly up
// to the member's end, and UnmapMember finds the view's base again.
TEST_F(EmbeddedArchiveTest, MapsUnalignedMembersAndReleasesTheirViews) {
  host::SetAllocationGranularity(16);
  std::vector<Member> members = {
      {"a", Pattern(5, 1)}, {"b", Pattern(0, 2)}, {"c", Pattern(33, 3)}, {"d", Pattern(16, 4)}};
  WriteProgram(Program("MZ", 21, members));
  EmbeddedArchive archive;

  uint32_t size = 0;
  const void* first = archive.MapMember("c", size);
  const void* second = archive.MapMember("c", size);  // a view of its own
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(host::MappedViewCount(), 2);
  // Data starts at 21 + 4 + 4 * (8 + 2) = 65, so "c" starts at 65 + 5 + 0
  // = 70, 6 bytes past the boundary at 64.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 16, 6u);
  archive.UnmapMember(first);
  archive.UnmapMember(second);
  EXPECT_EQ(host::MappedViewCount(), 0);

  for (const Member& m : members) EXPECT_EQ(ReadMember(archive, m.name.c_str()), m.data) << m.name;
  EXPECT_EQ(host::MappedViewCount(), 0);
  EXPECT_TRUE(host::CallsNamed("UnmapView(unknown)").empty());
}

TEST_F(EmbeddedArchiveTest, EmptyDirectoryOpensButHasNoMembers) {
  // The count is the last thing before the trailer.
  WriteProgram(Bytes().Raw("MZ").U32(0).Trailer(2).str());
  EmbeddedArchive archive;
  EXPECT_TRUE(archive.Open());
  uint32_t size = 0;
  EXPECT_EQ(archive.MapMember("versionInfoFile.txt", size), nullptr);
  EXPECT_EQ(archive.MemberName(0), nullptr);
  EXPECT_EQ(archive.DataStart(), 6u);
}

TEST_F(EmbeddedArchiveTest, FirstOfTwoEqualNamesWins) {
  WriteProgram(Program("MZ", 2, {{"patcheng.dll", "first"}, {"PATCHENG.DLL", "second"}}));
  EmbeddedArchive archive;
  EXPECT_EQ(ReadMember(archive, "patcheng.dll"), "first");
  EXPECT_EQ(ReadMember(archive, "PATCHENG.DLL"), "first");
  EXPECT_STREQ(archive.MemberName(1), "PATCHENG.DLL");
}

// A failed Open leaves nothing open and nothing cached: the next call reads
// the file again. A successful one is final: the file is not read again.
TEST_F(EmbeddedArchiveTest, RetriesAfterFailureAndNeverRereadsAfterSuccess) {
  WriteProgram("MZ just a stub, no archive");
  EmbeddedArchive archive;
  EXPECT_FALSE(archive.Open());
  EXPECT_EQ(archive.LastOpenFailure(), ArchiveOpenFailure::kBadMagic);
  EXPECT_EQ(archive.MemberName(0), nullptr);
  EXPECT_EQ(host::OpenHandleCount(), 0);

  WriteProgram(Program("MZ", 2, {{"x", "payload"}}));
  EXPECT_STREQ(archive.MemberName(0), "x");
  EXPECT_EQ(archive.LastOpenFailure(), ArchiveOpenFailure::kNone);

  WriteProgram("MZ gone");  // the mapping made at Open still serves
  EXPECT_TRUE(archive.Open());
  EXPECT_STREQ(archive.MemberName(0), "x");
}

TEST_F(EmbeddedArchiveTest, MissingFileFailsAndDestructionClosesTheMapping) {
  {
    EmbeddedArchive archive((root() / "absent.exe").string().c_str());
    EXPECT_FALSE(archive.Open());
    EXPECT_EQ(archive.LastOpenFailure(), ArchiveOpenFailure::kCannotOpenFile);
  }
  WriteFile("other.exe", Program("MZ", 2, {{"x", "1"}}));
  {
    EmbeddedArchive archive((root() / "other.exe").string().c_str());
    EXPECT_STREQ(archive.MemberName(0), "x");
    EXPECT_EQ(host::OpenHandleCount(), 1);
  }
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

struct Malformed {
  const char* what;
  std::string bytes;
  ArchiveOpenFailure failure;
};

// Each directory lies about the file in one way. Open must refuse it with
// the file closed, nothing left allocated (LeakSanitizer watches) and no
// byte outside the file read (AddressSanitizer watches).
TEST_F(EmbeddedArchiveTest, RejectsDirectoriesThatDoNotFitTheFile) {
  using F = ArchiveOpenFailure;
  const std::string magic = Bytes::Magic();
  const std::string badMagic = std::string("EmbedFs 1.0") + 'x';
  // Stub "MZ", directory at 2 with one entry "ab" of size 3: the data
  // ends at 2 + 4 + 8 + 3 + 3 = 20, where the trailer begins.
  auto oneEntry = [](uint32_t count, uint32_t size, uint32_t nameLength, const std::string& name,
                     uint32_t directory = 2) {
    return Bytes().Raw("MZ").U32(count).U32(size).U32(nameLength).Raw(name).Raw("abc").Trailer(
        directory);
  };
  const std::vector<Malformed> cases = {
      {"empty file", "", F::kNoTrailer},
      {"shorter than the trailer", "EmbedFs 1.0", F::kNoTrailer},
      {"no archive", std::string(4096, 'M'), F::kBadMagic},
      {"magic not ended by NUL", Bytes().Raw("MZ").U32(0).Trailer(2, badMagic).str(), F::kBadMagic},
      {"magic in other case", Bytes().Raw("MZ").U32(0).Trailer(2, std::string("EMBEDFS 1.0", 12)).str(),
       F::kBadMagic},
      {"directory past the end", Bytes().Raw("MZ").U32(0).Trailer(4096).str(), F::kBadDirectoryOffset},
      {"directory inside the trailer", Bytes().Raw("MZ").U32(0).Trailer(8).str(),
       F::kBadDirectoryOffset},
      {"count overlapping the trailer", Bytes().Raw("MZ").U32(0).Trailer(4).str(),
       F::kBadDirectoryOffset},
      {"directory offset beyond 2 GiB", Bytes().Raw("MZ").U32(0).Trailer(0x80000002u).str(),
       F::kBadDirectoryOffset},
      {"huge count", Bytes().Raw("MZ").U32(0xFFFFFFFFu).Trailer(2).str(), F::kTruncatedDirectory},
      {"one entry more than stored", oneEntry(2, 3, 2, std::string("ab\0", 3)).str(),
       F::kTruncatedDirectory},
      {"name length past the end", oneEntry(1, 3, 200, std::string("ab\0", 3)).str(),
       F::kTruncatedDirectory},
      {"name length wrapping with its NUL", oneEntry(1, 3, 0xFFFFFFFFu, std::string("ab\0", 3)).str(),
       F::kTruncatedDirectory},
      {"name not ended by NUL", oneEntry(1, 3, 2, "abc").str(), F::kBadName},
      {"member size past the end", oneEntry(1, 4, 2, std::string("ab\0", 3)).str(), F::kDataPastEnd},
      {"member size of 4 GiB - 1", oneEntry(1, 0xFFFFFFFFu, 2, std::string("ab\0", 3)).str(),
       F::kDataPastEnd},
      {"sizes wrapping in 32 bits",
       Bytes().Raw("MZ").U32(3).Entry(0x80000000u, "a").Entry(0x80000000u, "b").Entry(1, "c").Raw(
           "z").Trailer(2).str(),
       F::kDataPastEnd},
  };
  // The unbroken form of oneEntry opens, so each case breaks one thing only.
  WriteProgram(oneEntry(1, 3, 2, std::string("ab\0", 3)).str());
  {
    EmbeddedArchive good;
    ASSERT_TRUE(good.Open());
    EXPECT_EQ(ReadMember(good, "ab"), "abc");
  }
  for (const Malformed& c : cases) {
    WriteProgram(c.bytes);
    EmbeddedArchive archive;
    EXPECT_FALSE(archive.Open()) << c.what;
    EXPECT_EQ(archive.LastOpenFailure(), c.failure) << c.what;
    uint32_t size = 0;
    EXPECT_EQ(archive.MapMember("ab", size), nullptr) << c.what;
    EXPECT_EQ(archive.MemberName(0), nullptr) << c.what;
    EXPECT_EQ(archive.EntryCount(), 0u) << c.what;
    EXPECT_EQ(host::OpenHandleCount(), 0) << c.what;
  }
}

}  // namespace
