#include <string.h>

#include "install/folder_dialog.h"
#include "platform/path.h"
#include "platform/platform.h"

namespace {
bool CreatedOrThere(const char* path) {
  using namespace platform;
  return file::CreateFolder(path) || process::LastError() == kErrorAlreadyExists;
}
}  // namespace

bool EnsureFolderExists(const char* path) {
  if (CreatedOrThere(path)) return true;
  const char* separator = strrchr(path, '\\');
  if (!separator || separator == path) return false;
  // The parent first; the folder itself after it. Paths are at most 259
  // characters, so the parent always fits.
  char parent[kPathCapacity];
  size_t length = static_cast<size_t>(separator - path);
  if (length >= sizeof parent) return false;
  memcpy(parent, path, length);
  parent[length] = '\0';
  if (!EnsureFolderExists(parent)) return false;
  return CreatedOrThere(path);
}
