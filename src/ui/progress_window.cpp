#include "ui/progress_window.h"

#include <string.h>

#include "platform/path.h"
#include "platform/text.h"
#include "ui/resource_ids.h"

ProgressWindow* g_progressWindow = nullptr;

namespace {
using namespace platform;

const char kLogFileName[] = "patch_log.log";
// Each run's text in the log starts with this line: LF, 17 hyphens, LF.
const char kRunSeparator[] = "\n-----------------\n";
const size_t kMaxLineText = 509;  // lineBuffer less CR, LF and the NUL
}  // namespace

void LogLine(const char* line) {
  if (g_progressWindow) g_progressWindow->AppendLine(line);
}

Window ProgressWindow::Create(const char* folder) {
  totalSteps = 0;
  doneSteps = 0;
  text::Copy(installFolder, sizeof installFolder, folder);
  return dialog::CreateModeless(IDD_PROGRESS_WINDOW, this);
}

bool ProgressWindow::LogFileOpen() const {
  return logFile != nullptr && logFile != InvalidHandle();
}

bool ProgressWindow::AppendLine(const char* line) {
  if (!window || !line) return window != nullptr;
  size_t length = strnlen(line, kMaxLineText);
  memcpy(lineBuffer, line, length);
  memcpy(lineBuffer + length, "\r\n", 3);

  // The platform selects the whole pane when it gives it the focus, and the
  // user may click into it: replacing that selection would wipe or scramble
  // earlier lines, so every line goes in at the very end.
  intptr_t end = dialog::SendItem(window, IDC_LOG_PANE, dialog::kWmGetTextLength, 0, 0);
  dialog::SendItem(window, IDC_LOG_PANE, dialog::kEmSetSel, static_cast<uintptr_t>(end), end);
  dialog::SendItem(window, IDC_LOG_PANE, dialog::kEmScrollCaret, 0, 0);
  dialog::SendItem(window, IDC_LOG_PANE, dialog::kEmReplaceSel, 1,
                   reinterpret_cast<intptr_t>(lineBuffer));

  if (LogFileOpen()) {
    uint32_t written = 0;
    file::Write(logFile, lineBuffer, static_cast<uint32_t>(length + 2), &written);
  }
  return true;
}

void ProgressWindow::SetHeading(const char* heading) {
  if (window) dialog::SetItemText(window, IDC_HEADING, heading);
}

void ProgressWindow::SetItemText(const char* itemText) {
  if (window) dialog::SetItemText(window, IDC_ITEM_TEXT, itemText);
}

void ProgressWindow::SetTotalSteps(int32_t steps) { totalSteps = steps; }

void ProgressWindow::StepOverall() {
  ++doneSteps;
  if (!window) return;
  if (totalSteps != 0) {
    // Double precision, truncated: 29 of 100 gives 28.
    double share = static_cast<double>(doneSteps) / static_cast<double>(totalSteps) * 100.0;
    dialog::SendItem(window, IDC_OVERALL_PROGRESS, dialog::kPbmSetPos,
                     static_cast<uintptr_t>(static_cast<int32_t>(share)), 0);
  }
  char counter[28];
  text::Format(counter, sizeof counter, "%d/%d", doneSteps, totalSteps);
  dialog::SetItemText(window, IDC_OVERALL_COUNTER, counter);
}

void ProgressWindow::SetItemProgress(int32_t percent) {
  // The only moment the window is serviced during long work.
  ui::DrainMessages();
  if (window)
    dialog::SendItem(window, IDC_ITEM_PROGRESS, dialog::kPbmSetPos,
                     static_cast<uintptr_t>(percent), 0);
}

void ProgressWindow::OnInitDialog() {
  // An edit box holds 32 K characters unless told otherwise; a long patch
  // logs more than that.
  dialog::SendItem(window, IDC_LOG_PANE, 0x00C5 /* EM_LIMITTEXT */, 0, 0);

  char logPath[kPathCapacity];
  if (JoinPath(logPath, sizeof logPath, installFolder, kLogFileName))
    logFile = file::Open(logPath, kGenericWrite, kShareNone, kOpenAlways, kAttrNormal);
  else
    logFile = InvalidHandle();  // a path that does not fit is never cut

  if (!LogFileOpen()) {
    AppendLine("Error creating log file, nothing will be written to log");
  } else {
    // Every run is appended after the earlier ones (a chain's installers all
    // log into the same folder); writing from the start would leave the
    // tail of a longer earlier run behind this one.
    file::Seek(logFile, 0, kFileEnd);
    uint32_t written = 0;
    file::Write(logFile, kRunSeparator, sizeof kRunSeparator - 1, &written);
  }
  dialog::Show(window);
}

void ProgressWindow::OnCloseCommand(int commandId) {
  dialog::End(window, commandId);
  if (LogFileOpen()) file::Close(logFile);
  process::TerminateSelf();
}

bool ProgressWindow::OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam,
                               intptr_t& result) {
  (void)lParam;
  switch (message) {
    case dialog::kWmInitDialog:
      OnInitDialog();
      result = 1;  // the platform gives the focus to the log pane
      return true;
    case dialog::kWmCommand: {
      int id = static_cast<int>(wParam & 0xFFFF);
      int code = static_cast<int>((wParam >> 16) & 0xFFFF);
      if (id == ui::kIdOk || id == ui::kIdCancel) OnCloseCommand(id);
      if (code != 0) return false;
      result = 0;
      return true;
    }
    default:
      return false;
  }
}
