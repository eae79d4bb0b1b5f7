// A stand-in for patcheng.dll, so that the end-to-end tests of a patch run do
// not depend on the real engine: it honours the engine contract, changes
// nothing, and answers with the result the test asks for.
//
// Environment (inherited from the installer, which inherits the test's):
//   OLK_E2E_ENGINE_RESULT  the result to return (decimal; default 0)
//   OLK_E2E_ENGINE_LOG     file that receives one "key=value" line per fact
//                          of each call (see below)
//   OLK_E2E_ENGINE_STEPS   "TOTAL,DONE": the item count announced and the
//                          number of items reported (default "1,1")
//   OLK_E2E_ENGINE_HOLD    "NAME,MS": before returning, stay in the call,
//                          calling the callback every 10 ms, until the named
//                          event NAME is set or MS milliseconds have passed
//
// Log lines of a call, in this order:
//   cmdline=<the command line>      flag=<the third argument>
//   module=<the path this library was loaded from>
//   patch_data=<size of the file named by the second quoted path, or "missing">
//   hold=start, then hold_end=released or hold_end=timeout (with
//   OLK_E2E_ENGINE_HOLD)
//   returned=<result>
//
// Notifications, the way an engine makes them: the item count (id 6); per
// item its name (7), its progress to the end (5) and its completion (8);
// then one line of each text id (1 to 4, 10 to 12), the fixed-text id (22)
// and ids the installer ignores (0, 9, 13, 23); and last a progress of half
// (5, with a bit above the low 16 set) and a final item name (7).

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "patching/patch_engine_contract.h"

namespace {

HMODULE g_self = nullptr;

bool Env(const char* name, char* out, DWORD capacity) {
  DWORD n = GetEnvironmentVariableA(name, out, capacity);
  return n > 0 && n < capacity;
}

void Log(const char* key, const char* value) {
  char log[MAX_PATH];
  if (!Env("OLK_E2E_ENGINE_LOG", log, sizeof log)) return;
  FILE* f = fopen(log, "ab");
  if (!f) return;
  fprintf(f, "%s=%s\n", key, value);
  fclose(f);
}

void LogNumber(const char* key, long value) {
  char text[24];
  snprintf(text, sizeof text, "%ld", value);
  Log(key, text);
}

// The size of the file named by the second double-quoted path, or -1.
long PatchDataSize(const char* commandLine) {
  const char* q = commandLine;
  for (int quote = 0; quote < 2 && q; ++quote) q = strchr(q, '"') ? strchr(q, '"') + 1 : nullptr;
  q = q ? strchr(q, '"') : nullptr;  // opening quote of the second path
  if (!q) return -1;
  const char* end = strchr(q + 1, '"');
  if (!end || end - q - 1 >= MAX_PATH) return -1;
  char path[MAX_PATH];
  memcpy(path, q + 1, end - q - 1);
  path[end - q - 1] = '\0';
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return (long)data.nFileSizeLow;
}

void Hold(PatchEngineCallbackFn callback) {
  char hold[MAX_PATH];
  if (!Env("OLK_E2E_ENGINE_HOLD", hold, sizeof hold)) return;
  char* comma = strrchr(hold, ',');
  DWORD limit = comma ? strtoul(comma + 1, nullptr, 10) : 10000;
  if (comma) *comma = '\0';
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, hold);
  Log("hold", "start");
  DWORD start = GetTickCount();
  for (;;) {
    if (release && WaitForSingleObject(release, 10) == WAIT_OBJECT_0) {
      Log("hold_end", "released");
      break;
    }
    if (!release) Sleep(10);
    if (GetTickCount() - start >= limit) {
      Log("hold_end", "timeout");
      break;
    }
    callback(0, nullptr);  // each call drains the installer's queue
  }
  if (release) CloseHandle(release);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_self = instance;
  return TRUE;
}

extern "C" __declspec(dllexport) int32_t __stdcall PatchApply32(const char* commandLine,
                                                                PatchEngineCallbackFn callback, uint32_t flag) {
  Log("cmdline", commandLine ? commandLine : "(null)");
  LogNumber("flag", (long)flag);
  char self[MAX_PATH] = "";
  GetModuleFileNameA(g_self, self, sizeof self);
  Log("module", self);
  long size = commandLine ? PatchDataSize(commandLine) : -1;
  if (size < 0)
    Log("patch_data", "missing");
  else
    LogNumber("patch_data", size);

  if (callback) {
    char steps[32];
    uint32_t total = 1, done = 1;
    if (Env("OLK_E2E_ENGINE_STEPS", steps, sizeof steps)) {
      total = strtoul(steps, nullptr, 10);
      const char* comma = strchr(steps, ',');
      done = comma ? strtoul(comma + 1, nullptr, 10) : total;
    }
    callback(6, &total);
    for (uint32_t i = 1; i <= done; ++i) {
      char item[32];
      uint32_t whole = 0x8000;
      snprintf(item, sizeof item, "stand-in item %u", (unsigned)i);
      callback(7, item);
      callback(5, &whole);
      callback(8, nullptr);
    }
    static const uint32_t kTextIds[] = {1, 2, 3, 4, 10, 11, 12};
    for (uint32_t id : kTextIds) {
      char line[32];
      snprintf(line, sizeof line, "stand-in note %u", (unsigned)id);
      callback(id, line);
    }
    callback(22, "not shown");
    static const uint32_t kIgnoredIds[] = {0, 9, 13, 23};
    for (uint32_t id : kIgnoredIds) callback(id, "ignored");
    // The item name comes last, so that once it shows, everything before
    // it has reached the window.
    uint32_t half = 0x14000;  // bit 16 is not part of the progress
    callback(5, &half);
    callback(7, "stand-in last item");
    Hold(callback);
  }
  char result[32];
  int32_t value = Env("OLK_E2E_ENGINE_RESULT", result, sizeof result) ? (int32_t)strtol(result, nullptr, 10) : 0;
  LogNumber("returned", value);
  return value;
}
