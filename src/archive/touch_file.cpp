#include "archive/member_extraction.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "ui/progress_window.h"

void TouchFile(const char* path) {
  using namespace platform;
  Handle file = file::Open(path, kFileWriteAttributes, kShareNone, kOpenExisting, 0);
  if (file == InvalidHandle()) {
    char message[256];
    text::Format(message, sizeof message, "unable to open %s, error=%d", path,
                 static_cast<int>(process::LastError()));
    LogLine(message);
    return;
  }
  file::TouchTimes(file);
  file::Close(file);
}
