// Shows a fixed series of message boxes, one of each standard icon and a few
// button sets, and writes the answers it got to the file named by its
// command line, one number a line. The end-to-end runner uses it to check
// that uidriver reads texts, captions, icons and buttons and presses buttons
// correctly before it trusts it with the installer.

#include <windows.h>

#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR cmdLine, int) {
  static const struct {
    const char* text;
    const char* caption;
    UINT style;
  } kBoxes[] = {
      {"probe error", "probe 1", MB_OK | MB_ICONERROR},
      {"probe warning", "probe 2", MB_OKCANCEL | MB_ICONWARNING},
      {"probe information", "probe 3", MB_YESNO | MB_ICONINFORMATION},
      {"probe question", "probe 4", MB_YESNOCANCEL | MB_ICONQUESTION},
      {"probe plain \nsecond line", "probe 5", MB_OK},
  };
  FILE* f = fopen(cmdLine, "wb");
  if (!f) return 2;
  for (const auto& box : kBoxes) {
    fprintf(f, "%d\n", MessageBoxA(nullptr, box.text, box.caption, box.style));
    fflush(f);
  }
  fclose(f);
  return 0;
}
