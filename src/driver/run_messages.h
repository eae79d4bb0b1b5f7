// The patch run's own message boxes: texts, captions and styles as the user
// sees them.
#pragma once

#include <stdint.h>

struct RunMessage {
  const char* text;  // a format for the confirmation and success boxes
  const char* caption;
  uint32_t style;
};

extern const RunMessage kClientStillRunning;   // B1
extern const RunMessage kTestPatchNotice;      // B2
extern const RunMessage kMainInstallWarning;   // B3
extern const RunMessage kMainInstallConfirm;   // B4, formatted with the folder
extern const RunMessage kPatchNotApplied;      // B5
extern const RunMessage kPatchApplied;         // B6, formatted with the builds
