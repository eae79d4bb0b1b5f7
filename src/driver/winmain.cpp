// The process entry of olkpatch.exe.
#include <windows.h>

#include "driver/patch_driver.h"

// The runtime's lpCmdLine is not used: its start-up code toggles a quoted
// state at every double quote and ends the program's name only at a blank
// outside quotes, so in "C:\dl\olkpatch.exe"/path=X the switch would be
// taken for part of the name. RunInstaller reads the command line itself.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return RunInstaller(instance); }
