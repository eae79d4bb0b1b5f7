/*
 * engine_probe.exe: applies one patch to a folder through the engine's
 * Win32 file layer, as patcheng.dll does, without the DLL's 32-bit
 * calling contract, so that the engine can be tested under 64-bit Wine.
 * Prints every notification on stdout ("id text" or "id value", texts in
 * UTF-8) and the result last ("result N").
 *   engine_probe.exe INSTALL_DIR PATCH [--hold FILE]
 * --hold keeps FILE open for reading, sharing only reading, during the
 * run, as a program or a scanner would.
 * After the run the patch file is deleted, which fails while the engine
 * still holds it ("patch file still held").
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "olkeng/engine.h"

namespace {

const char* Notify(uint32_t id, const void* param) {
  const bool is_text = (id >= olk::kNotifyInfo && id <= olk::kNotifyDetail) || id == olk::kNotifyItemStart;
  if (is_text)
    std::printf("%u %s\n", id, param ? static_cast<const char*>(param) : "");
  else if (id == olk::kNotifyItemProgress || id == olk::kNotifyItemCount)
    std::printf("%u %u\n", id, *static_cast<const uint32_t*>(param));
  else
    std::printf("%u\n", id);
  return "";
}

olk::Result Apply(const std::wstring& folder, const std::wstring& patch_path) {
  std::unique_ptr<olk::File> patch;
  olk::IoStatus s = olk::OpenNativeFile(patch_path, &patch);
  if (s == olk::IoStatus::kNoMemory) return olk::Result::kNoMemory;
  if (s != olk::IoStatus::kOk) return olk::Result::kCannotOpenPatch;
  std::unique_ptr<olk::FileSystem> fs = olk::NewNativeFileSystem(folder);
  if (!fs) return olk::Result::kNoMemory;
  olk::ApplyOptions options;
  options.callback = Notify;
  options.durable = true;  // as the DLL runs it
  return olk::ApplyPatch(*fs, *patch, options);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Binary stdout: no "\r" added to lines, UTF-8 passed through as it is.
  _setmode(_fileno(stdout), _O_BINARY);
  std::setvbuf(stdout, nullptr, _IOLBF, 4096);
  HANDLE held = INVALID_HANDLE_VALUE;
  if (argc == 5 && std::wcscmp(argv[3], L"--hold") == 0) {
    held = CreateFileW(argv[4], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (held == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "cannot hold the file (%lu)\n", GetLastError());
      return 101;
    }
  } else if (argc != 3) {
    std::fprintf(stderr, "usage: engine_probe INSTALL_DIR PATCH [--hold FILE]\n");
    return 100;
  }
  olk::Result r = Apply(argv[1], argv[2]);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  std::printf("result %d\n", olk::ResultCode(r));
  if (!DeleteFileW(argv[2])) std::printf("patch file still held: %lu\n", GetLastError());
  return 0;
}
