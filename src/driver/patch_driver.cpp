#include "driver/patch_driver.h"

#include <stdint.h>
#include <string.h>

#include <new>

#include "archive/version_info.h"
#include "driver/client_guard.h"
#include "driver/paths.h"
#include "driver/run_messages.h"
#include "driver/switches.h"
#include "install/install_locator.h"
#include "install/install_validation.h"
#include "patching/apply_embedded_patch.h"
#include "platform/path.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "ui/progress_window.h"

namespace {

// The state of one run; nothing of it outlives Run.
struct PatchRun {
  char installFolder[kPathCapacity] = "";
  char candidateFolder[kPathCapacity] = "";
  int32_t fromBuild = 0;
  int32_t toBuild = 0;
  bool accepted = false;
  bool startClient = false;
  char confirmationText[1024] = "";
  char headingText[128] = "";
  char successText[256] = "";
  char patchList[kSwitchValueCapacity] = "";
  char firstPatchId[kSwitchValueCapacity] = "";
  char remainingList[kSwitchValueCapacity] = "";
  char nextCommandLine[260] = "";
  char nextInstallerName[64] = "";
  char programPath[kPathCapacity] = "";
};

int Show(const RunMessage& message, const char* text = nullptr) {
  return platform::ui::ShowMessageBox(nullptr, text ? text : message.text, message.caption,
                                      message.style);
}

// The selection loop: true once a target folder is accepted (it is then in
// run.installFolder), false when the user gave up.
bool SelectTargetFolder(PatchRun& run) {
  run.accepted = false;
  while (!run.accepted) {
    text::Copy(run.candidateFolder, sizeof run.candidateFolder, "c:\\");
    if (!ValidateInstallFolder(run.candidateFolder, run.fromBuild)) return false;
    if (strcmp(run.candidateFolder, run.installFolder) == 0) {
      // The main install itself: two confirmations, or choose again.
      text::Format(run.confirmationText, sizeof run.confirmationText, kMainInstallConfirm.text,
                   run.candidateFolder);
      if (Show(kMainInstallWarning) != platform::ui::kIdYes) continue;
      if (Show(kMainInstallConfirm, run.confirmationText) != platform::ui::kIdYes) continue;
    }
    run.accepted = true;
    text::Copy(run.installFolder, sizeof run.installFolder, run.candidateFolder);
  }
  return true;
}

// Starts the next installer of the chain with /path set to the install
// folder and the rest of the list. A command line or path that would not fit
// its buffer is never cut: the launch is then not made, like a failed one.
void HandOverToNextInstaller(PatchRun& run) {
  int parts = SplitPatchList(run.patchList, run.firstPatchId, run.remainingList);
  bool fits =
      text::Format(run.nextCommandLine, sizeof run.nextCommandLine, "olkpatch%s.exe ",
                   run.firstPatchId) &&
      text::Append(run.nextCommandLine, sizeof run.nextCommandLine, "/path=\"") &&
      text::Append(run.nextCommandLine, sizeof run.nextCommandLine, run.installFolder) &&
      text::Append(run.nextCommandLine, sizeof run.nextCommandLine, "\" ");
  if (fits && parts == 2)
    fits = text::Append(run.nextCommandLine, sizeof run.nextCommandLine, "/patches=") &&
           text::Append(run.nextCommandLine, sizeof run.nextCommandLine, run.remainingList);
  if (fits && run.startClient)
    fits = text::Append(run.nextCommandLine, sizeof run.nextCommandLine, " /start_client");
  fits = fits && text::Format(run.nextInstallerName, sizeof run.nextInstallerName,
                              "cache\\olkpatch%s.exe", run.firstPatchId);
  fits = fits && JoinPath(run.programPath, sizeof run.programPath, run.installFolder,
                          run.nextInstallerName);
  if (!fits) {
    platform::process::DebugOutput("next installer not started: its command line is too long");
    return;
  }
  LaunchProgram(run.programPath, run.nextCommandLine);
}

void PatchRunBody(const char* commandLine) {
  PatchRun run;

  if (!CloseRunningClient()) {
    Show(kClientStillRunning);
    return;
  }

  if (!FindSwitch(commandLine, "/path", run.installFolder)) {
    InstallLocator(run.installFolder);
    Show(kTestPatchNotice);
  }
  NormalizeFolderPath(run.installFolder);

  run.fromBuild = 0;
  run.toBuild = 0;
  if (!ReadVersionInfo(run.fromBuild, run.toBuild)) {
    Show(kPatchNotApplied);
    return;
  }

  if (!SelectTargetFolder(run)) return;  // the user gave up: end quietly

  // Without memory for the window the run goes on unseen, as it does when
  // the window cannot be created: every user of the window allows for that.
  g_progressWindow = new (std::nothrow) ProgressWindow();
  if (g_progressWindow) g_progressWindow->Create(run.installFolder);
  text::Format(run.headingText, sizeof run.headingText, "Patching OLK from %d to %d",
               run.fromBuild, run.toBuild);
  // The log's opening lines: the heading, then an empty line.
  LogLine(run.headingText);
  LogLine("");

  if (FindSwitch(commandLine, "/sleep", nullptr)) {
    LogLine("wait a sec...");
    PauseWithMessages();
  }
  LogLine("Applying patch");
  if (g_progressWindow) g_progressWindow->SetHeading(run.headingText);

  if (!ApplyEmbeddedPatch(run.installFolder)) {
    Show(kPatchNotApplied);
    return;
  }

  if (commandLine[0] != '\0') {
    run.startClient = FindSwitch(commandLine, "/start_client", nullptr);
    if (FindSwitch(commandLine, "/patches", run.patchList)) {
      HandOverToNextInstaller(run);
      return;
    }
    if (run.startClient) {
      if (JoinPath(run.programPath, sizeof run.programPath, run.installFolder, "olk.exe"))
        LaunchProgram(run.programPath, nullptr);
      return;
    }
  }

  text::Format(run.successText, sizeof run.successText, kPatchApplied.text, run.fromBuild,
               run.toBuild);
  Show(kPatchApplied, run.successText);
}

}  // namespace

void PatchDriver::Run(const char* commandLine) {
  PatchRunBody(commandLine ? commandLine : "");
  platform::ui::PostQuit();
}
