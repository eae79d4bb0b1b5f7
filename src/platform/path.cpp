#include "platform/path.h"

#include <string.h>

char* JoinPath(char* dest, size_t capacity, const char* folder, const char* name) {
  size_t folderLength = strlen(folder);
  size_t nameLength = strlen(name);
  bool endsWithSeparator =
      folderLength > 0 && (folder[folderLength - 1] == '\\' || folder[folderLength - 1] == '/');
  size_t total = folderLength + (endsWithSeparator ? 0 : 1) + nameLength;
  if (total >= capacity) {
    if (capacity > 0) dest[0] = '\0';
    return nullptr;
  }
  memmove(dest, folder, folderLength);  // dest may be folder itself
  if (endsWithSeparator)
    dest[folderLength - 1] = '\\';
  else
    dest[folderLength++] = '\\';
  memcpy(dest + folderLength, name, nameLength + 1);
  return dest;
}
