#include "install/install_locator.h"

#include <string.h>

#include "platform/path.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OLK";
const char kUninstallValue[] = "UninstallString";
const char kWindowsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char kProgramFilesValue[] = "ProgramFilesDir";
const char kFallbackFolder[] = "C:\\";
// The uninstall value is the full path of the uninstaller lying in the
// install folder; its file name, extension included, is 13 characters long.
const size_t kUninstallerNameLength = 13;
}  // namespace

bool InstallLocator(char* folder) {
  using platform::registry::ReadMachineString;
  using platform::registry::ReadResult;

  char value[kPathCapacity];
  ReadResult uninstall = ReadMachineString(kUninstallKey, kUninstallValue, value, sizeof value);
  if (uninstall != ReadResult::kKeyMissing) {
    // A value too short to hold the uninstaller's name names no folder: the
    // caller's text stays, as when the value is missing.
    size_t length = strlen(value);
    if (uninstall == ReadResult::kOk && length >= kUninstallerNameLength) {
      value[length - kUninstallerNameLength] = '\0';
      text::Copy(folder, kPathCapacity, value);
    }
    return true;
  }

  text::Copy(folder, kPathCapacity, kFallbackFolder);
  ReadResult programFiles =
      ReadMachineString(kWindowsKey, kProgramFilesValue, value, sizeof value);
  if (programFiles == ReadResult::kKeyMissing) return false;
  // A folder that would not fit with "IXA\OLK" keeps the fallback.
  if (programFiles == ReadResult::kOk && JoinPath(value, sizeof value, value, "IXA\\OLK"))
    text::Copy(folder, kPathCapacity, value);
  return true;
}
