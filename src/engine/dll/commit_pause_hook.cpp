/* Test builds only: a patcheng.dll that stops in the middle of its commit,
 * so that the end-to-end tests can kill the process there and check that
 * the next run completes. OLK_PAUSE_AT_COMMIT_STEP names the step; on
 * reaching it the engine creates the file named by OLK_PAUSE_MARKER and
 * waits for ever. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

#include "commit.h"

namespace {

void PauseAtStep(size_t step, size_t count) {
  const char* at = std::getenv("OLK_PAUSE_AT_COMMIT_STEP");
  if (!at) return;
  size_t wanted = static_cast<size_t>(std::strtoul(at, nullptr, 10));
  if (wanted >= count) wanted = count / 2;
  if (step != wanted) return;
  if (const char* marker = std::getenv("OLK_PAUSE_MARKER")) {
    HANDLE h = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Sleep(INFINITE);
}

struct InstallHook {
  InstallHook() { olk::g_commit_step_hook = PauseAtStep; }
} install_hook;

}  // namespace
