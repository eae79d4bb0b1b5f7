// A stand-in for the game client: one top-level window of the client's class
// "pluvoScreen" that either obeys WM_CLOSE or ignores it.
//
//   fake_client.exe obey|ignore LOGFILE [LIFETIME_MS]
//
// LOGFILE gets "ready T" once the window exists, "close T" for every
// WM_CLOSE received and "exit T" at the end (T: GetTickCount in ms). The file
// is reopened for each line, so a reader sees every line as soon as it is
// written. Without a close it ends by itself after LIFETIME_MS (default
// 30000), so that an ignoring client never outlives its test for long.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char* g_log = nullptr;
bool g_obey = false;

void Log(const char* what) {
  FILE* f = fopen(g_log, "ab");
  if (!f) return;
  fprintf(f, "%s %lu\n", what, (unsigned long)GetTickCount());
  fclose(f);
}

LRESULT CALLBACK ClientProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      Log("close");
      if (g_obey) DestroyWindow(w);
      return 0;
    case WM_TIMER:
      DestroyWindow(w);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (strcmp(argv[1], "obey") && strcmp(argv[1], "ignore"))) {
    fprintf(stderr, "usage: fake_client obey|ignore LOGFILE [LIFETIME_MS]\n");
    return 2;
  }
  g_obey = !strcmp(argv[1], "obey");
  g_log = argv[2];
  UINT lifetime = argc > 3 ? (UINT)strtoul(argv[3], nullptr, 10) : 30000;

  WNDCLASSA wc = {};
  wc.lpfnWndProc = ClientProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
  wc.lpszClassName = "pluvoScreen";
  if (!RegisterClassA(&wc)) return 3;
  // Small and in a corner, out of the way of the dialogs under test.
  HWND w = CreateWindowExA(0, "pluvoScreen", "OLK", WS_POPUP | WS_VISIBLE, 0, 0, 64, 48, nullptr, nullptr,
                           wc.hInstance, nullptr);
  if (!w) return 4;
  SetTimer(w, 1, lifetime, nullptr);
  Log("ready");

  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  Log("exit");
  return 0;
}
