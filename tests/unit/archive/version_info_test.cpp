// The version-info member, read through the program's one archive.
#include "archive/version_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/embedded_archive.h"
#include "archive_image.h"
#include "host_world.h"
#include "platform/host/host_control.h"

namespace {

using archive_image::Program;
namespace host = platform::host;

class VersionInfoTest : public HostWorld {
 protected:
  void TearDown() override {
    delete g_embeddedArchive;
    g_embeddedArchive = nullptr;
    HostWorld::TearDown();
  }
  // A program whose archive holds `members`, and its archive installed as
  // the global one.
  void UseArchive(const std::vector<archive_image::Member>& members) {
    WriteFile("olkpatch.exe", Program("MZ", 64, members));
    host::SetOwnPath((root() / "olkpatch.exe").string());
    g_embeddedArchive = new EmbeddedArchive();
  }
};

struct VersionCase {
  const char* what;
  std::string member;
  bool ok;
  int32_t from;
  int32_t to;
};

TEST_F(VersionInfoTest, ReadsBothBuildsUpToTheFirstLineFeed) {
  const std::vector<VersionCase> cases = {
      {"shipped member", "3550\r\n3551\r\n", true, 3550, 3551},
      {"nothing after the LF", "3550\n", true, 3550, 0},
      {"white space, sign, stray letters", " 12x\r\n-7\r\n", true, 12, -7},
      {"only the first LF splits", "1\n2\n3\n", true, 1, 2},
      {"no LF", "3550", false, 0, 0},
      {"empty member", "", false, 0, 0},
      {"NUL before the LF ends the text", std::string("3550\0\n3551\n", 11), false, 0, 0},
  };
  for (const VersionCase& c : cases) {
    host::Reset();
    UseArchive({{"patcheng.dll", "MZ"}, {"versionInfoFile.txt", c.member}});
    int32_t from = -99, to = -99;
    EXPECT_EQ(ReadVersionInfo(from, to), c.ok) << c.what;
    EXPECT_EQ(from, c.ok ? c.from : -99) << c.what;
    EXPECT_EQ(to, c.ok ? c.to : -99) << c.what;
    EXPECT_EQ(host::MappedViewCount(), 0) << c.what;
    delete g_embeddedArchive;
    g_embeddedArchive = nullptr;
  }
}

TEST_F(VersionInfoTest, FailsWithoutTheMemberOrTheArchive) {
  int32_t from = -99, to = -99;
  EXPECT_FALSE(ReadVersionInfo(from, to));  // no archive object at all

  UseArchive({{"patcheng.dll", "MZ"}});
  EXPECT_FALSE(ReadVersionInfo(from, to));

  delete g_embeddedArchive;
  WriteFile("olkpatch.exe", "MZ, a stub without an archive");
  g_embeddedArchive = new EmbeddedArchive();
  EXPECT_FALSE(ReadVersionInfo(from, to));
  EXPECT_EQ(from, -99);
  EXPECT_EQ(to, -99);
}

}  // namespace
