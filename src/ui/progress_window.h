// The progress window with its log pane, and the patch log file.
#pragma once

#include <stdint.h>

class ProgressWindow {
 public:
  // Opens the window and the log file in `installFolder`.
  void* Create(const char* installFolder);
  // Adds one line to the log pane and the log file.
  bool AppendLine(const char* line);
  void SetHeading(const char* heading);
  void SetItemText(const char* itemText);
  void SetTotalSteps(int32_t steps);
  void StepOverall();
  void SetItemProgress(int32_t percent);
};

// The one progress window; null until the patch driver creates it.
extern ProgressWindow* g_progressWindow;
