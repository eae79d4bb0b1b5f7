#include "patching/temp_folder.h"

#include <string.h>

#include "platform/path.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {
using namespace platform;

// Temporary names are the folder, a separator, this prefix and a counter;
// the prefix and 12 more characters must fit a path behind the folder.
const char kTempNamePrefix[] = "MyToken";
const size_t kTempNameRoom = 12;
// TMP may be longer than a path; a value that does not fit here names no
// folder the platform could open anyway.
const size_t kTmpValueCapacity = 1024;

bool IsFolder(const char* path) {
  uint32_t attributes = file::Attributes(path);
  return attributes != kInvalidSize && (attributes & kAttrDirectory) != 0;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "C:\..." or "\\server\share\...": the same folder from any current folder.
bool IsFullyQualified(const char* path) {
  char drive = path[0];
  bool letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
  if (letter && path[1] == ':' && IsSeparator(path[2])) return true;
  return IsSeparator(path[0]) && IsSeparator(path[1]);
}

// Removes every double quote; whether there was one.
bool RemoveQuotes(char* text) {
  const char* in = text;
  char* out = text;
  for (; *in; ++in)
    if (*in != '"') *out++ = *in;
  *out = '\0';
  return out != in;
}

}  // namespace

bool FindTempFolder(char* folder, size_t capacity) {
  char found[kTmpValueCapacity];
  bool tmpSet = process::ReadEnvironment("TMP", found, sizeof found);
  if (!(tmpSet && IsFolder(found))) {
    bool unquoted = tmpSet && RemoveQuotes(found);
    if (!(unquoted && IsFolder(found)))
      text::Copy(found, sizeof found, IsFolder("\\") ? "\\" : ".");
  }
  if (strlen(found) + strlen(kTempNamePrefix) + kTempNameRoom > kPathCapacity) return false;

  // The engine is loaded from this folder by path, and the platform looks a
  // relative library path up along the DLL search path, not in the current
  // folder: "\" and "." become full paths.
  char full[kPathCapacity];
  const char* chosen = found;
  if (!IsFullyQualified(found)) {
    if (file::FullPath(found, full, sizeof full) == 0) return false;
    chosen = full;
  }
  size_t length = strlen(chosen);
  if (!text::Copy(folder, capacity, chosen)) return false;
  return IsSeparator(chosen[length - 1]) || text::Append(folder, capacity, "\\");
}
