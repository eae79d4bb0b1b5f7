// A stand-in for patcheng.dll, so that the end-to-end tests of a patch run do
// not depend on the real engine: it honours the engine contract, changes
// nothing, and answers with the result the test asks for.
//
// Environment (inherited from the installer, which inherits the test's):
//   OLK_E2E_ENGINE_RESULT  the result to return (decimal; default 0)
//   OLK_E2E_ENGINE_LOG     file that receives, per call, the command line and
//                          the flag as "cmdline=...\nflag=N\n"
//
// Before it returns it reports one item through the callback the way an
// engine does: the item count, the item's name, its progress to the end, its
// completion, and a log line.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "patching/patch_engine_contract.h"

extern "C" __declspec(dllexport) int32_t __stdcall PatchApply32(const char* commandLine,
                                                                PatchEngineCallbackFn callback, uint32_t flag) {
  char log[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("OLK_E2E_ENGINE_LOG", log, sizeof log);
  if (n > 0 && n < sizeof log) {
    FILE* f = fopen(log, "ab");
    if (f) {
      fprintf(f, "cmdline=%s\nflag=%u\n", commandLine ? commandLine : "(null)", (unsigned)flag);
      fclose(f);
    }
  }
  if (callback) {
    uint32_t count = 1, done = 0x8000;
    callback(6, &count);
    callback(7, "stand-in item");
    callback(5, &done);
    callback(8, nullptr);
    callback(1, "stand-in engine: nothing was changed");
  }
  char result[32];
  n = GetEnvironmentVariableA("OLK_E2E_ENGINE_RESULT", result, sizeof result);
  return n > 0 && n < sizeof result ? (int32_t)strtol(result, nullptr, 10) : 0;
}
