#include "install/client_folder.h"

#include <gtest/gtest.h>

#include "host_world.h"

namespace {

class ClientFolderTest : public HostWorld {};

TEST_F(ClientFolderTest, BuildFromZorpIni) {
  struct Case {
    std::string ini;
    int32_t build;
  };
  const Case cases[] = {
      {"[client]\r\nbuild=3550\r\n", 3550},
      {"build=3550\n", 355},  // the character before the line feed always goes
      {"build= 3550\r\n", 3550},
      {"build=abc\r\n", 0},
      {"build=3550", 0},  // no line break
      {"oldbuild=12\r\nbuild=3550\r\n", 12},
      {"build=\n", 0},  // nothing between key and line feed
      {"build=-7x\r\n", -7},
      {"build=00000003550999\r\n", 3550},  // cut to the 11-character field
      {std::string(1020, ' ') + "build=3550\r\n", 0},  // beyond the first 1024 bytes
      {std::string("x\0build=3550\r\n", 15), 0},  // the text ends at its first NUL
  };
  for (const Case& c : cases) {
    WriteFile("client/zorp.ini", c.ini);
    EXPECT_EQ(ReadClientBuild("client"), c.build) << c.ini;
  }
  std::filesystem::remove(root() / "client/zorp.ini");
  EXPECT_EQ(ReadClientBuild("client"), 0);
}

TEST_F(ClientFolderTest, MarkerMustBeAFile) {
  EXPECT_FALSE(IsClientFolder("client"));
  std::filesystem::create_directories(root() / "client/vorn.dll");
  EXPECT_FALSE(IsClientFolder("client"));
  WriteFile("other/vorn.dll", "MZ");
  EXPECT_TRUE(IsClientFolder("other"));
  EXPECT_TRUE(IsClientFolder("other\\"));
  // A folder whose joined path would not fit is no client folder.
  EXPECT_FALSE(IsClientFolder(std::string(250, 'f').c_str()));
}

}  // namespace
