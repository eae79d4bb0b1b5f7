// Functions of system DLLs that the installer loads only after it has
// restricted the DLL search to the system folder.
//
// A self-extracting program runs from a downloads folder, where anyone may
// have left a DLL named like a system one. Load-time imports are resolved
// before the program's first instruction, so a DLL imported that way (or one
// of its own imports, such as shell32's) could be taken from that folder.
// Only kernel32, user32 and the C runtime are imported at load time; the
// rest come from here, by full path from the system folder.
#pragma once

#include <windows.h>

namespace platform {
namespace win32 {

// The address of `name` in the system DLL `dll`, or null.
FARPROC SystemFunction(const char* dll, const char* name);

// A typed, cached lookup: SYSTEM_FUNCTION(pointer, "ole32.dll", CoInitialize)
// declares `pointer` of CoInitialize's type, resolved on first use.
#define SYSTEM_FUNCTION(var, dll, fn)                  \
  static decltype(&fn) var = reinterpret_cast<decltype(&fn)>( \
      reinterpret_cast<void*>(::platform::win32::SystemFunction(dll, #fn)))

}  // namespace win32
}  // namespace platform
