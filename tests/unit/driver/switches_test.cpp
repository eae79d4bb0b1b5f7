#include "driver/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/host_control.h"

namespace {

struct SwitchCase {
  const char* commandLine;
  const char* name;
  bool found;
  const char* value;
};

TEST(FindSwitch, FindsNameAndValue) {
  const SwitchCase cases[] = {
      SwitchCase{"/path=C:\\Games\\OLK", "/path", true, "C:\\Games\\OLK"},
        // The one character after the name is skipped, whatever it is.
      SwitchCase{"/path:C:\\Games\\OLK", "/path", true, "C:\\Games\\OLK"},
      SwitchCase{"/path C:\\Games\\OLK", "/path", true, "C:\\Games\\OLK"},
      SwitchCase{"/path=\"C:\\Program Files\\OLK\" /sleep", "/path", true,
                 "C:\\Program Files\\OLK"},
      SwitchCase{"/path=\"C:\\Program Files\\OLK\" /sleep", "/sleep", true, ""},
        // An unclosed quote: the text after it up to the next blank.
      SwitchCase{"/path=\"C:\\Program Files\\OLK", "/path", true, "C:\\Program"},
      SwitchCase{"/path= C:\\x", "/path", true, ""},
      SwitchCase{"/sleep /path", "/path", true, ""},
      SwitchCase{"/PATH=C:\\x", "/path", false, ""},
      SwitchCase{"/sleepy", "/sleep", true, ""},
      SwitchCase{"/path=\"C:\\a /sleep b\"", "/sleep", true, "b\""},
      SwitchCase{"/path=C:\\one /path=C:\\two", "/path", true, "C:\\one"},
      SwitchCase{"/path=C:\\a\tb c", "/path", true, "C:\\a\tb"},
      SwitchCase{"", "/path", false, ""},
  };
  for (const SwitchCase& c : cases) {
    char value[kSwitchValueCapacity] = "untouched";
    EXPECT_EQ(FindSwitch(c.commandLine, c.name, value), c.found) << c.commandLine;
    if (c.found) {
      EXPECT_STREQ(value, c.value) << c.commandLine;
    }
    EXPECT_EQ(FindSwitch(c.commandLine, c.name, nullptr), c.found);
  }
}

TEST(FindSwitch, ValueThatWouldNotFitIsNotTakenAndNamedOnTheDebugOutput) {
  platform::host::Reset();
  std::string exact = "/patches=" + std::string(kSwitchValueCapacity - 1, '7');
  std::string over = "/patches=" + std::string(kSwitchValueCapacity, '7');
  std::string quotedOver = "/path=\"" + std::string(kSwitchValueCapacity, 'x') + "\"";
  char value[kSwitchValueCapacity + 8];
  value[kSwitchValueCapacity] = '#';  // a guard byte just past the buffer

  EXPECT_TRUE(FindSwitch(exact.c_str(), "/patches", value));
  EXPECT_EQ(std::string(value), std::string(kSwitchValueCapacity - 1, '7'));
  EXPECT_FALSE(FindSwitch(over.c_str(), "/patches", value));
  EXPECT_STREQ(value, "");
  EXPECT_FALSE(FindSwitch(quotedOver.c_str(), "/path", value));
  EXPECT_EQ(value[kSwitchValueCapacity], '#');
  // Without a value buffer, presence is all that counts.
  EXPECT_TRUE(FindSwitch(over.c_str(), "/patches", nullptr));

  // One line for each refusal, naming the switch; none for a value that fits.
  std::vector<std::string> lines;
  for (const auto& call : platform::host::CallsNamed("DebugOutput")) lines.push_back(call.text);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "switch /patches ignored: its value has 260 characters, more than 259",
                       "switch /path ignored: its value has 260 characters, more than 259"}));
  platform::host::Reset();
}

struct SplitCase {
  const char* list;
  int result;
  const char* first;
  const char* rest;
};

TEST(SplitPatchList, SplitsAtFirstPlus) {
  const SplitCase cases[] = {
      {"3552+3553+3554", 2, "3552", "3553+3554"},
      {"3552", 1, "3552", "untouched"},
      {"+3553", 2, "", "3553"},
      {"3552+", 2, "3552", ""},
      {"", 1, "", "untouched"},
  };
  for (const SplitCase& c : cases) {
    char first[kSwitchValueCapacity] = "x";
    char rest[kSwitchValueCapacity] = "untouched";
    EXPECT_EQ(SplitPatchList(c.list, first, rest), c.result) << c.list;
    EXPECT_STREQ(first, c.first) << c.list;
    EXPECT_STREQ(rest, c.rest) << c.list;
  }
}

}  // namespace
