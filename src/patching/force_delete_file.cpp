#include "patching/apply_embedded_patch.h"
#include "platform/platform.h"

bool ForceDeleteFile(const char* path) {
  using namespace platform;
  if (file::Remove(path)) return true;
  uint32_t error = process::LastError();
  if (error == kErrorFileNotFound || error == kErrorPathNotFound) return true;
  // Read-only, hidden or system: make it normal and try once more.
  file::SetAttributes(path, kAttrNormal);
  return file::Remove(path);
}
