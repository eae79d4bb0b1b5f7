#include "install/install_validation.h"

#include "install/client_folder.h"
#include "install/folder_dialog.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {
using namespace platform::ui;
}  // namespace

bool ValidateInstallFolder(char* folder, int32_t expectedBuild) {
  FolderDialog dialog;  // one object for every showing of this call
  for (;;) {
    if (!IsClientFolder(folder)) {
      if (dialog.ShowModal(folder) != kIdOk) return false;
      if (!IsClientFolder(folder)) {
        ShowMessageBox(nullptr, "This path does not seem to be correct, please try again.",
                       "invalid path", kMbOk | kMbIconError);
        continue;  // the dialog opens again with the rejected text
      }
    }
    int32_t build = ReadClientBuild(folder);
    if (build == expectedBuild) return true;
    char message[256];
    text::Format(message, sizeof message,
                 "Incorrect version, this patch file should be applied to version %d but the "
                 "client found at %s is version %d",
                 expectedBuild, folder, build);
    ShowMessageBox(nullptr, message, "Incorrect version", kMbOk | kMbIconError);
    if (dialog.ShowModal(folder) != kIdOk) return false;
  }
}
