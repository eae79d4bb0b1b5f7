#include "platform/path.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

TEST(JoinPath, OneSeparatorBetweenFolderAndName) {
  const char* cases[][3] = {
      {"C:\\Games\\OLK", "olk.exe", "C:\\Games\\OLK\\olk.exe"},
      {"C:\\Games\\OLK\\", "olk.exe", "C:\\Games\\OLK\\olk.exe"},
      {"C:/Games/OLK/", "x", "C:/Games/OLK\\x"},
      {"C:", "x", "C:\\x"},
      {"", "x", "\\x"},
      {"C:\\Games", "cache\\olkpatch3552.exe", "C:\\Games\\cache\\olkpatch3552.exe"},
  };
  for (auto& c : cases) {
    char dest[kPathCapacity];
    EXPECT_EQ(JoinPath(dest, sizeof dest, c[0], c[1]), dest);
    EXPECT_STREQ(dest, c[2]) << c[0] << " + " << c[1];
  }
}

TEST(JoinPath, InPlace) {
  char folder[kPathCapacity] = "C:\\Program Files/";
  EXPECT_EQ(JoinPath(folder, sizeof folder, folder, "IXA\\OLK"), folder);
  EXPECT_STREQ(folder, "C:\\Program Files\\IXA\\OLK");
}

TEST(JoinPath, RefusesWhatWouldNotFit) {
  std::string folder(250, 'f');
  char dest[kPathCapacity + 1];
  dest[kPathCapacity] = '#';
  // 250 + 1 + 8 = 259 characters: fits exactly.
  EXPECT_NE(JoinPath(dest, kPathCapacity, folder.c_str(), "vorn.dll"), nullptr);
  EXPECT_EQ(strlen(dest), 259u);
  // One more and the path is refused, not cut.
  EXPECT_EQ(JoinPath(dest, kPathCapacity, folder.c_str(), "zorp.inix1"), nullptr);
  EXPECT_STREQ(dest, "");
  EXPECT_EQ(dest[kPathCapacity], '#');
}

}  // namespace
