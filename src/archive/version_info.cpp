#include "archive/version_info.h"

#include <stdlib.h>
#include <string.h>

#include "archive/decimal.h"
#include "archive/embedded_archive.h"

bool ReadVersionInfo(int32_t& fromBuild, int32_t& toBuild) {
  if (!g_embeddedArchive) return false;
  uint32_t size = 0;
  const void* member = g_embeddedArchive->MapMember(kVersionInfoMember, size);
  if (!member) return false;
  // A terminated copy, so the text can be searched and parsed as a string;
  // the view is released at once. The size is bounded by the file's.
  char* text = static_cast<char*>(malloc(size_t(size) + 1));
  if (text) {
    memcpy(text, member, size);
    text[size] = '\0';
  }
  g_embeddedArchive->UnmapMember(member);
  if (!text) return false;

  // A NUL inside the member ends the search, as it ends the text.
  char* lineEnd = strchr(text, '\n');
  const bool found = lineEnd != nullptr;
  if (found) {
    *lineEnd = '\0';
    fromBuild = ParseDecimal(text);
    toBuild = ParseDecimal(lineEnd + 1);
  }
  free(text);
  return found;
}
