// A library planted where the installer must not take one from: beside the
// program, in the working folder, or at the engine path in place of the
// extracted engine. Loading it is what the tests look for, so it does
// nothing but say that it was loaded:
//
//   on load it appends its own path and a line feed to the file named by
//   OLK_E2E_PLANT_LOG (inherited from the process that loads it).
//
// It also exports the engine's entry, so that as a swapped patcheng.dll it
// would be a working engine to a program that loaded it.

#include <windows.h>

#include <stdint.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char log[MAX_PATH], self[MAX_PATH + 2];
  DWORD n = GetEnvironmentVariableA("OLK_E2E_PLANT_LOG", log, sizeof log);
  DWORD m = GetModuleFileNameA(instance, self, MAX_PATH);
  if (n == 0 || n >= sizeof log || m == 0 || m >= MAX_PATH) return TRUE;
  self[m] = '\n';
  HANDLE f = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    DWORD done = 0;
    WriteFile(f, self, m + 1, &done, nullptr);
    CloseHandle(f);
  }
  return TRUE;
}

extern "C" __declspec(dllexport) int32_t __stdcall PatchApply32(const char*, void*, uint32_t) { return 0; }
