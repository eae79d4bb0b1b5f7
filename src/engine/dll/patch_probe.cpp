/*
 * patch_probe.exe: loads patcheng.dll the way the installer does and
 * applies one patch, printing every notification on stdout ("id text" or
 * "id value") and the result last ("result N"), and the ANSI code page on
 * stderr ("acp N"). For tests under Wine:
 *   patch_probe.exe PATH\patcheng.dll "INSTALL_DIR" "PATCH.pat"
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

typedef const char*(__stdcall* Callback)(uint32_t id, const void* param);
typedef int32_t(__stdcall* Entry)(const char* command_line, Callback callback, uint32_t flags);

static const char* __stdcall Notify(uint32_t id, const void* param) {
  if ((id >= 1 && id <= 4) || id == 7)
    std::printf("%u %s\n", id, static_cast<const char*>(param));
  else if (id == 5 || id == 6)
    std::printf("%u %u\n", id, *static_cast<const uint32_t*>(param));
  else
    std::printf("%u\n", id);
  return "";
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: patch_probe DLL INSTALL_DIR PATCH\n");
    return 100;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (!dll) {
    std::fprintf(stderr, "cannot load %s (%lu)\n", argv[1], GetLastError());
    return 101;
  }
  Entry entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(dll, "PatchApply32@12")));
  if (!entry) {
    std::fprintf(stderr, "no PatchApply32@12 (%lu)\n", GetLastError());
    return 102;
  }
  std::fprintf(stderr, "acp %u\n", GetACP());
  char command_line[520];
  std::snprintf(command_line, sizeof command_line, "\"%s\" \"%s\"", argv[2], argv[3]);
  int32_t result = entry(command_line, Notify, 1);
  FreeLibrary(dll);
  std::printf("result %d\n", result);
  // The file the patch was read from must be free again.
  if (!DeleteFileA(argv[3])) std::printf("patch file still held: %lu\n", GetLastError());
  return 0;
}
