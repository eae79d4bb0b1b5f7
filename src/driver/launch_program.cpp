#include "driver/client_guard.h"
#include "platform/platform.h"

bool LaunchProgram(const char* path, const char* commandLine) {
  return platform::process::Launch(path, commandLine);
}
