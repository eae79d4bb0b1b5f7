#include "driver/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(SkipProgramName, LeavesWhatFollowsTheName) {
  const char* cases[][2] = {
      // A quoted name ends at its closing quote, whatever follows it.
      {"\"C:\\dl\\olkpatch.exe\"/path=C:\\x", "/path=C:\\x"},
      {"\"C:\\dl\\olkpatch.exe\" /path=\"C:\\Games\\OLK\"", "/path=\"C:\\Games\\OLK\""},
      {"\"C:\\Program Files\\olk patch.exe\"  /sleep", "/sleep"},
      {"\"C:\\dl\\olkpatch.exe\"", ""},
      // An unquoted name ends at the first blank or control character.
      {"C:\\dl\\olkpatch.exe /path=\"D:\\Test Client\" /sleep", "/path=\"D:\\Test Client\" /sleep"},
      {"olkpatch3552.exe \t /patches=3553", "/patches=3553"},
      {"olk\"patch\".exe /sleep", "/sleep"},
      {"C:\\dl\\olkpatch\xe9.exe /sleep", "/sleep"},  // a byte above 127 is no blank
      {"olkpatch.exe", ""},
      // A quote that never closes: all of it is the name.
      {"\"C:\\dl\\olkpatch.exe /path=C:\\x", ""},
      {"", ""},
  };
  for (auto& c : cases) EXPECT_STREQ(SkipProgramName(c[0]), c[1]) << c[0];
}

}  // namespace
