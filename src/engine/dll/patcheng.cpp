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
 * open when it returns. Texts passed to the callback are in the ANSI code
 * page (whichever it is, UTF-8 included), at most 1023 bytes: a longer
 * one is cut after its last whole character that fits; characters the code
 * page lacks show as '?'.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "host_text.h"
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

/* One character in the ANSI code page. Some code pages (UTF-8 among
 * them, which Windows allows as the ANSI code page) refuse a replacement
 * character; for those the system's own replacement is taken. */
size_t EncodeAnsi(const uint16_t* units, size_t n, char* out, void*) {
  const wchar_t* w = reinterpret_cast<const wchar_t*>(units);
  int k = WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(n), out, static_cast<int>(olk::kMaxCharBytes), "?",
                              nullptr);
  if (k <= 0) k = WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(n), out, static_cast<int>(olk::kMaxCharBytes),
                                      nullptr, nullptr);
  return k > 0 ? static_cast<size_t>(k) : 0;
}

/* The engine's texts are UTF-8; the host shows and logs ANSI text, taken
 * from a fixed buffer: a text too long for it is cut after a whole
 * character. Called during the commit too, so it allocates nothing. */
const char* OLK_STDCALL ToHost(uint32_t id, const void* param) {
  static char text[1024];
  static_assert(sizeof(wchar_t) == sizeof(uint16_t), "UTF-16 wchar_t");
  const bool is_text = (id >= olk::kNotifyInfo && id <= olk::kNotifyDetail) || id == olk::kNotifyItemStart;
  if (is_text && param) {
    /* Each character gives at least one byte, so the first sizeof text
     * characters (4 UTF-8 bytes each at most) are all that can show. */
    static wchar_t wide[4 * sizeof text];
    const char* utf8 = static_cast<const char*>(param);
    size_t len = 0;
    while (len < sizeof wide / sizeof wide[0] && utf8[len]) ++len;
    if (utf8[len]) /* cut before a character that starts at or after the limit */
      while (len > 0 && (static_cast<unsigned char>(utf8[len]) & 0xC0) == 0x80) --len;
    int n = len ? MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(len), wide,
                                      static_cast<int>(sizeof wide / sizeof wide[0]))
                : 0;
    olk::FitHostText(reinterpret_cast<const uint16_t*>(wide), n > 0 ? static_cast<size_t>(n) : 0, EncodeAnsi, nullptr,
                     text, sizeof text);
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
