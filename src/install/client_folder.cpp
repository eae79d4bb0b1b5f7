#include "install/client_folder.h"

#include <string.h>

#include "archive/decimal.h"
#include "platform/path.h"
#include "platform/platform.h"

namespace {
using namespace platform;
// Joined paths of the client's files are kept to 255 characters.
const size_t kClientPathCapacity = 256;
const uint32_t kBuildFileReadLimit = 1024;
const char kBuildKey[] = "build=";
}  // namespace

bool IsClientFolder(const char* folder) {
  char path[kClientPathCapacity];
  if (!JoinPath(path, sizeof path, folder, "vorn.dll")) return false;
  // No access asked: this only tests that a file (not a folder) is there.
  Handle marker = file::Open(path, 0, kShareNone, kOpenExisting, kAttrNormal);
  if (marker == InvalidHandle()) return false;
  file::Close(marker);
  return true;
}

int32_t ReadClientBuild(const char* folder) {
  char path[kClientPathCapacity];
  if (!JoinPath(path, sizeof path, folder, "zorp.ini")) return 0;
  Handle ini = file::Open(path, kGenericRead, kShareRead, kOpenExisting, 0);
  if (ini == InvalidHandle()) return 0;
  char data[kBuildFileReadLimit + 1];
  uint32_t got = 0;
  bool read = file::Read(ini, data, kBuildFileReadLimit, &got);
  file::Close(ini);
  if (!read) return 0;
  data[got] = '\0';  // the text ends at its first NUL or at the bytes read

  const char* key = strstr(data, kBuildKey);
  if (!key) return 0;
  const char* value = key + sizeof kBuildKey - 1;
  const char* lineFeed = strchr(value, '\n');
  if (!lineFeed) return 0;

  // The character before the line feed is dropped (the CR of CRLF). A line
  // feed right after the key leaves nothing; a longer value is cut to the
  // 11 characters of the field.
  char field[12];
  size_t length = lineFeed > value ? static_cast<size_t>(lineFeed - value) - 1 : 0;
  if (length > sizeof field - 1) length = sizeof field - 1;
  memcpy(field, value, length);
  field[length] = '\0';
  return ParseDecimal(field);
}
