// PLACEHOLDER until install validation and the folder dialog land: it accepts
// the folder as given when it holds "vorn.dll" and its "zorp.ini" names the
// expected build after "build=", and otherwise ends as if the user had
// cancelled the folder dialog. It shows nothing.
#include <stdlib.h>
#include <string.h>

#include "driver/paths.h"
#include "install/install_validation.h"
#include "platform/platform.h"

bool ValidateInstallFolder(char* folder, int32_t expectedBuild) {
  using namespace platform;
  char path[kPathCapacity];
  if (!JoinPath(path, sizeof path, folder, "vorn.dll")) return false;
  uint32_t attributes = file::Attributes(path);
  if (attributes == kInvalidSize || (attributes & kAttrDirectory)) return false;

  if (!JoinPath(path, sizeof path, folder, "zorp.ini")) return false;
  Handle ini = file::Open(path, kGenericRead, kShareRead, kOpenExisting, 0);
  if (ini == InvalidHandle()) return false;
  char data[1025];
  uint32_t got = 0;
  bool read = file::Read(ini, data, 1024, &got);
  file::Close(ini);
  if (!read) return false;
  data[got] = '\0';
  const char* key = strstr(data, "build=");
  return key && atoi(key + 6) == expectedBuild;
}
