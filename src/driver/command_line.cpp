#include "driver/command_line.h"

namespace {
// Blanks, tabs and the other control characters; bytes above 127 are
// characters of the name, not blanks.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

const char* SkipProgramName(const char* commandLine) {
  const char* p = commandLine;
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && !IsBlank(*p)) ++p;
  }
  while (*p && IsBlank(*p)) ++p;
  return p;
}
