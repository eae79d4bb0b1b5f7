/*
 * patcheng.dll: the engine's entry point for the installer.
 *
 *   int32_t __stdcall PatchApply32(const char* command_line,
 *                                  ProgressCallback callback,
 *                                  uint32_t flags);
 *
 * The command line names the install folder and the patch data file, each
 * in double quotes, in the ANSI code page. Flags: the installer passes 1;
 * no bit changes the behaviour in this version. The result is 0 or one of
 * the engine's result codes (see olkeng/result.h). The call keeps no file
 * open when it returns.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "olkeng/engine.h"

namespace {

olk::ProgressCallback g_host = nullptr;

bool AnsiToWide(const std::string& s, std::wstring* out) {
  out->clear();
  if (s.empty()) return false;
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &(*out)[0], n) == n;
}

/* The engine's texts are UTF-8; the host shows and logs ANSI text. */
const char* OLK_STDCALL ToHost(uint32_t id, const void* param) {
  static char text[1024];
  const bool is_text = (id >= olk::kNotifyInfo && id <= olk::kNotifyDetail) || id == olk::kNotifyItemStart;
  if (is_text && param) {
    wchar_t wide[1024];
    int n = MultiByteToWideChar(CP_UTF8, 0, static_cast<const char*>(param), -1, wide, 1024);
    if (n <= 0) {
      wide[0] = L'\0';
    } else if (n == 1024) {
      wide[1023] = L'\0';
    }
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, "?", nullptr) <= 0) text[0] = '\0';
    text[sizeof text - 1] = '\0';
    param = text;
  }
  return g_host(id, param);
}

int32_t Run(const char* command_line, olk::ProgressCallback callback) {
  std::string folder, patch_path;
  if (!olk::SplitCommandLine(command_line, &folder, &patch_path)) return olk::ResultCode(olk::Result::kCannotOpenPatch);
  std::wstring wfolder, wpatch;
  if (!AnsiToWide(folder, &wfolder) || !AnsiToWide(patch_path, &wpatch))
    return olk::ResultCode(olk::Result::kCannotOpenPatch);

  std::unique_ptr<olk::File> patch;
  olk::IoStatus s = olk::OpenNativeFile(wpatch, &patch);
  if (s == olk::IoStatus::kNoMemory) return olk::ResultCode(olk::Result::kNoMemory);
  if (s != olk::IoStatus::kOk) return olk::ResultCode(olk::Result::kCannotOpenPatch);
  std::unique_ptr<olk::FileSystem> fs = olk::NewNativeFileSystem(wfolder);
  if (!fs) return olk::ResultCode(olk::Result::kNoMemory);

  olk::ApplyOptions options;
  g_host = callback;
  options.callback = callback ? ToHost : nullptr;
  options.durable = true;
  olk::Result r = olk::ApplyPatch(*fs, *patch, options);
  g_host = nullptr;
  return olk::ResultCode(r);
}

}  // namespace

extern "C" int32_t __stdcall PatchApply32(const char* command_line, olk::ProgressCallback callback,
                                          uint32_t flags) {
  (void)flags;
  try {
    return Run(command_line, callback);
  } catch (const std::bad_alloc&) {
    return olk::ResultCode(olk::Result::kNoMemory);
  } catch (...) {
    return olk::ResultCode(olk::Result::kCannotCreate);
  }
}
