#include "platform/win32/system_functions.h"

namespace platform {
namespace win32 {

FARPROC SystemFunction(const char* dll, const char* name) {
  char path[MAX_PATH];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + 1 + lstrlenA(dll) >= MAX_PATH) return nullptr;
  path[length] = '\\';
  lstrcpyA(path + length + 1, dll);
  HMODULE module = LoadLibraryA(path);  // held for the life of the process
  return module ? GetProcAddress(module, name) : nullptr;
}

}  // namespace win32
}  // namespace platform
