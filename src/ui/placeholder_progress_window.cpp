// PLACEHOLDER until the progress window lands: no window and no log file;
// log lines go to the debug output so a run can still be followed.
#include "platform/platform.h"
#include "ui/progress_window.h"

ProgressWindow* g_progressWindow = nullptr;

void* ProgressWindow::Create(const char* installFolder) {
  (void)installFolder;
  return nullptr;
}
bool ProgressWindow::AppendLine(const char* line) {
  if (line) platform::process::DebugOutput(line);
  return false;
}
void ProgressWindow::SetHeading(const char* heading) { (void)heading; }
void ProgressWindow::SetItemText(const char* itemText) { (void)itemText; }
void ProgressWindow::SetTotalSteps(int32_t steps) { (void)steps; }
void ProgressWindow::StepOverall() {}
void ProgressWindow::SetItemProgress(int32_t percent) {
  (void)percent;
  platform::ui::DrainMessages();
}
