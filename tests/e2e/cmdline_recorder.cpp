// Stands in for a program that the installer starts (the next installer of a
// chain, or the client): records the command line it was started with,
// exactly as GetCommandLineA returns it, and ends.
//
// The bytes go to the file named by the environment variable
// OLK_E2E_CMDLINE_OUT, or else to "<own path>.cmdline" next to the program.
// They are written to a temporary file that is then renamed, so a reader
// never sees half of them.

#include <windows.h>

#include <string.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char target[MAX_PATH + 16];
  DWORD n = GetEnvironmentVariableA("OLK_E2E_CMDLINE_OUT", target, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    n = GetModuleFileNameA(nullptr, target, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    strcpy(target + n, ".cmdline");
  }
  char temp[MAX_PATH + 32];
  strcpy(temp, target);
  strcat(temp, ".part");

  const char* line = GetCommandLineA();
  HANDLE f = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 3;
  DWORD done = 0;
  BOOL ok = WriteFile(f, line, (DWORD)strlen(line), &done, nullptr);
  CloseHandle(f);
  if (!ok || !MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING)) return 4;
  return 0;
}
