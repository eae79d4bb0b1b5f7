// The process entry of olkpatch.exe.
#include <windows.h>

#include "driver/patch_driver.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  return RunInstaller(instance, commandLine ? commandLine : "");
}
