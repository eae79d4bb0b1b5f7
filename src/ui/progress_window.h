// The progress window: a modeless dialog with a heading, a log pane, an
// overall step counter with its bar and an item text with its bar; every
// logged line also goes to the log file patch_log.log in the install folder.
// Closing the window ends the process at once.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

class ProgressWindow final : public platform::dialog::Client {
 public:
  /*! Create() :
   *  Opens the window on `installFolder` (kept as the log's folder): the log
   *  file is open (or its failure is in the pane) and the window is visible
   *  when this returns. @return : the window, null if it cannot be made. */
  platform::Window Create(const char* installFolder);

  /*! AppendLine() :
   *  Adds `line` at the end of the log pane, whatever the user selected
   *  there, and to the log file, followed by CR LF. A line of more than 509
   *  characters is cut to fit. Does nothing without a window or a text.
   *  @return : whether the window exists. */
  bool AppendLine(const char* line);

  void SetHeading(const char* heading);
  void SetItemText(const char* itemText);
  // Steps the overall bar counts towards; shown from the next StepOverall.
  void SetTotalSteps(int32_t steps);
  // Counts one finished step: the overall bar and the "done/total" counter.
  void StepOverall();
  // Drains the thread's message queue, then sets the item bar (0 to 100).
  void SetItemProgress(int32_t percent);

  bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam,
                 intptr_t& result) override;

 private:
  void OnInitDialog();
  [[noreturn]] void OnCloseCommand(int commandId);
  bool LogFileOpen() const;

  char lineBuffer[512] = "";  // the text, CR LF and a NUL
  char installFolder[512] = "";
  platform::Handle logFile = nullptr;
  int32_t totalSteps = 0;
  int32_t doneSteps = 0;
};

// The one progress window; null until the patch driver creates it. Never
// destroyed: the window and its log file end with the process.
extern ProgressWindow* g_progressWindow;

// Adds a line to the progress window's log, if there is a window.
void LogLine(const char* line);
