// Holds a file open the way another program might, so that the installer
// meets it in use:
//
//   file_holder.exe exclusive|readonly PATH READYFILE [LIFETIME_MS]
//
// exclusive: opened (made if missing) for reading and writing with no
//            sharing at all: nobody else can open it.
// readonly:  an existing file opened for reading, shared for reading only:
//            others can read it, but nobody can write, replace or delete it.
//
// Once the file is open, "ready" is written to READYFILE; the program then
// waits until it is ended, or LIFETIME_MS (default 30000) have passed.

#include <windows.h>

#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc < 4 || (strcmp(argv[1], "exclusive") && strcmp(argv[1], "readonly"))) return 2;
  bool exclusive = !strcmp(argv[1], "exclusive");
  HANDLE held = exclusive ? CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr)
                          : CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 4;
  DWORD done = 0;
  WriteFile(ready, "ready", 5, &done, nullptr);
  CloseHandle(ready);
  Sleep(argc > 4 ? strtoul(argv[4], nullptr, 10) : 30000);
  CloseHandle(held);
  return 0;
}
