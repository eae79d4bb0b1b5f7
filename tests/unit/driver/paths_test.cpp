#include "driver/paths.h"

#include <gtest/gtest.h>
#include <string.h>

#include "platform/path.h"

namespace {

TEST(NormalizeFolderPath, SlashesAndOneTrailingBackslash) {
  const char* cases[][2] = {
      {"D:/Games/OLK/", "D:\\Games\\OLK"},
      {"C:\\", "C:"},
      {"", ""},
      {"C:\\Games\\\\", "C:\\Games\\"},
      {"D:\\Test/", "D:\\Test"},
  };
  for (auto& c : cases) {
    char folder[kPathCapacity];
    strcpy(folder, c[0]);
    NormalizeFolderPath(folder);
    EXPECT_STREQ(folder, c[1]) << c[0];
  }
}

}  // namespace
