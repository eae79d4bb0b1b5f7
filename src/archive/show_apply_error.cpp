#include "archive/member_extraction.h"
#include "platform/platform.h"
#include "ui/progress_window.h"

void ShowApplyError(const char* text) {
  using namespace platform::ui;
  LogLine(text);
  ShowMessageBox(nullptr, text, "Error applying patch", kMbOk | kMbIconError);
}
