// PLACEHOLDER until the registry lookup of the main install lands: it reports
// no registry entry and gives the fixed fallback folder.
#include "driver/paths.h"
#include "install/install_locator.h"
#include "platform/text.h"

bool InstallLocator(char* folder) {
  text::Copy(folder, kPathCapacity, "C:\\");
  return false;
}
