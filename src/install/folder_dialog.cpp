#include "install/folder_dialog.h"

#include "platform/path.h"
#include "ui/resource_ids.h"

namespace {
using namespace platform;
}  // namespace

intptr_t FolderDialog::ShowModal(char* folder) {
  folder_ = folder;
  return dialog::ShowModal(IDD_FOLDER_DIALOG, dialog::Active(), this);
}

void FolderDialog::OnInitDialog() {
  dialog::SetText(window, "OLK");
  dialog::SetItemText(window, IDC_FOLDER_EDIT, folder_);
}

void FolderDialog::OnBrowse(int controlId) {
  if (controlId != IDC_BROWSE) return;
  if (!ui::BrowseForFolder(window, "Choose folder", folder_)) return;
  dialog::SetItemText(window, IDC_FOLDER_EDIT, folder_);
}

void FolderDialog::OnCloseCommand(int controlId) {
  if (controlId == ui::kIdCancel) {
    dialog::End(window, ui::kIdCancel);
    return;
  }
  dialog::GetItemText(window, IDC_FOLDER_EDIT, folder_, kPathCapacity);
  if (!EnsureFolderExists(folder_)) {
    ui::ShowMessageBox(window, "Can't create folder", "Is it possible that the folder was not valid?",
                       ui::kMbOk | ui::kMbIconExclamation);
    return;
  }
  dialog::End(window, ui::kIdOk);
}

bool FolderDialog::OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam,
                             intptr_t& result) {
  (void)lParam;
  switch (message) {
    case dialog::kWmInitDialog:
      OnInitDialog();
      result = 1;  // the platform gives the focus to OK
      return true;
    case dialog::kWmCommand: {
      int id = static_cast<int>(wParam & 0xFFFF);
      int code = static_cast<int>((wParam >> 16) & 0xFFFF);
      if (id == ui::kIdOk || id == ui::kIdCancel) {
        OnCloseCommand(id);
      } else if (code == 0) {  // BN_CLICKED
        OnBrowse(id);
      } else {
        return false;
      }
      result = 0;
      return true;
    }
    default:
      return false;
  }
}
