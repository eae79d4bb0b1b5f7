#include "install/install_locator.h"

#include <gtest/gtest.h>

#include "host_world.h"

namespace {

const char kUninstall[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OLK";
const char kWindows[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

struct LocatorCase {
  const char* uninstallValue;     // null: no uninstall key; "-": key without value
  const char* programFilesValue;  // null: no Windows key; "-": key without value
  bool result;
  const char* folder;
};

class InstallLocatorTest : public HostWorld {};

TEST_F(InstallLocatorTest, FolderFromTheRegistry) {
  const LocatorCase cases[] = {
      {"C:\\Games\\OLK\\uninstall.exe", "C:\\Program Files", true, "C:\\Games\\OLK\\"},
      // Quotes are not removed: the cut takes the closing quote instead.
      {"\"C:\\Games\\OLK\\uninstall.exe\"", nullptr, true, "\"C:\\Games\\OLK\\u"},
      // A value too short to hold the uninstaller's name names no folder.
      {"short.exe", nullptr, true, "caller's text"},
      {"-", "C:\\Program Files", true, "caller's text"},
      {nullptr, "C:\\Program Files", true, "C:\\Program Files\\IXA\\OLK"},
      {nullptr, "C:\\Program Files\\", true, "C:\\Program Files\\IXA\\OLK"},
      {nullptr, "C:\\Program Files/", true, "C:\\Program Files\\IXA\\OLK"},
      {nullptr, "-", true, "C:\\"},
      {nullptr, nullptr, false, "C:\\"},
  };
  for (const LocatorCase& c : cases) {
    platform::host::Reset();
    auto set = [](const char* key, const char* name, const char* value) {
      if (!value) return;
      if (std::string(value) == "-")
        platform::host::AddRegistryKey(key);
      else
        platform::host::SetRegistryString(key, name, value);
    };
    set(kUninstall, "UninstallString", c.uninstallValue);
    set(kWindows, "ProgramFilesDir", c.programFilesValue);
    char folder[260] = "caller's text";
    EXPECT_EQ(InstallLocator(folder), c.result) << (c.uninstallValue ? c.uninstallValue : "-");
    EXPECT_STREQ(folder, c.folder);
  }
}

TEST_F(InstallLocatorTest, ProgramFilesTooLongForTheClientFolderKeepsTheFallback) {
  platform::host::SetRegistryString(kWindows, "ProgramFilesDir", std::string(255, 'p'));
  char folder[260] = "";
  EXPECT_TRUE(InstallLocator(folder));
  EXPECT_STREQ(folder, "C:\\");
}

}  // namespace
