#include "driver/switches.h"

#include <string.h>

#include "platform/platform.h"
#include "platform/text.h"

namespace {
// Copies `length` bytes as the value of switch `name`; refuses what would not
// fit. The refusal reads like an absent switch to the run (a registry lookup
// and the notice for /path, no next installer for /patches), so it is named
// on the debug output for whoever has to find out why.
bool TakeValue(const char* name, char* value, const char* start, size_t length) {
  if (length >= kSwitchValueCapacity) {
    value[0] = '\0';
    char line[128];
    text::Format(line, sizeof line,
                 "switch %.40s ignored: its value has %u characters, more than %u",
                 name, static_cast<unsigned>(length),
                 static_cast<unsigned>(kSwitchValueCapacity - 1));
    platform::process::DebugOutput(line);
    return false;
  }
  memcpy(value, start, length);
  value[length] = '\0';
  return true;
}
}  // namespace

bool FindSwitch(const char* commandLine, const char* name, char* value) {
  const char* found = strstr(commandLine, name);
  if (!found) return false;
  if (!value) return true;

  const char* start = found + strlen(name);
  if (*start == '\0') return TakeValue(name, value, start, 0);
  ++start;  // the one separator character after the name, whatever it is

  if (*start == '"') {
    ++start;
    const char* closing = strchr(start, '"');
    if (closing) return TakeValue(name, value, start, static_cast<size_t>(closing - start));
  }
  const char* blank = strchr(start, ' ');
  size_t length = blank ? static_cast<size_t>(blank - start) : strlen(start);
  return TakeValue(name, value, start, length);
}

int SplitPatchList(const char* list, char* first, char* rest) {
  const char* plus = strchr(list, '+');
  if (!plus) {
    text::Copy(first, kSwitchValueCapacity, list);
    return 1;
  }
  size_t headLength = static_cast<size_t>(plus - list);
  if (headLength >= kSwitchValueCapacity) headLength = kSwitchValueCapacity - 1;
  memcpy(first, list, headLength);
  first[headLength] = '\0';
  text::Copy(rest, kSwitchValueCapacity, plus + 1);
  return 2;
}
