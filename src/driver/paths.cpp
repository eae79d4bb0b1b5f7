#include "driver/paths.h"

#include <stddef.h>

void NormalizeFolderPath(char* folder) {
  size_t length = 0;
  for (char* p = folder; *p; ++p, ++length)
    if (*p == '/') *p = '\\';
  if (length > 0 && folder[length - 1] == '\\') folder[length - 1] = '\0';
}
