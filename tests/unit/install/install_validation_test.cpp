// The folder selection as the user goes through it: the folder dialog, its
// messages, and the loop until a client of the right build is chosen.
#include "install/install_validation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_world.h"
#include "install/folder_dialog.h"
#include "platform/host/host_control.h"
#include "ui/resource_ids.h"

namespace {

using platform::host::CallsNamed;
namespace dialog = platform::dialog;
namespace host = platform::host;

const char kInvalidPath[] = "This path does not seem to be correct, please try again.";

// The user types `text` into the edit box and presses OK.
std::function<void(void*)> TypeAndOk(const std::string& text) {
  return [text](void* w) {
    host::DialogOf(w)->items[IDC_FOLDER_EDIT] = text;
    host::SendToDialog(w, dialog::kWmCommand, 1, 0);
  };
}

class ValidationTest : public HostWorld {
 protected:
  void MakeClient(const std::string& folder, const std::string& build) {
    WriteFile(folder + "/vorn.dll", "MZ");
    WriteFile(folder + "/zorp.ini", "build=" + build + "\r\n");
  }
  std::vector<std::string> BoxTexts() {
    std::vector<std::string> out;
    for (auto& c : CallsNamed("MessageBox")) out.push_back(c.text);
    return out;
  }
};

TEST_F(ValidationTest, ClientInTheStartingFolderNeedsNoDialog) {
  MakeClient("start", "3550");
  char folder[260] = "start\\";
  EXPECT_TRUE(ValidateInstallFolder(folder, 3550));
  EXPECT_TRUE(CallsNamed("DialogBox").empty());
}

TEST_F(ValidationTest, AsksUntilTheRightClientIsChosen) {
  MakeClient("old", "3549");
  MakeClient("good", "3550");
  std::vector<std::string> seenInEditBox;
  auto remember = [&](std::function<void(void*)> then) {
    return [&seenInEditBox, then](void* w) {
      EXPECT_EQ(host::DialogOf(w)->caption, "OLK");
      seenInEditBox.push_back(host::DialogOf(w)->items[IDC_FOLDER_EDIT]);
      then(w);
    };
  };
  host::ScriptModal(IDD_FOLDER_DIALOG, remember(TypeAndOk("empty")));
  host::ScriptModal(IDD_FOLDER_DIALOG, remember(TypeAndOk("old/")));
  host::ScriptModal(IDD_FOLDER_DIALOG, remember(TypeAndOk("good")));
  char folder[260] = "c:\\";
  EXPECT_TRUE(ValidateInstallFolder(folder, 3550));
  EXPECT_STREQ(folder, "good");
  // The rejected text comes back in the edit box; the version message names
  // the folder as typed.
  EXPECT_EQ(seenInEditBox, (std::vector<std::string>{"c:\\", "empty", "old/"}));
  EXPECT_EQ(BoxTexts(),
            (std::vector<std::string>{kInvalidPath,
                                      "Incorrect version, this patch file should be applied to "
                                      "version 3550 but the client found at old/ is version 3549"}));
  auto boxes = CallsNamed("MessageBox");
  EXPECT_EQ(boxes[0].detail, "invalid path");
  EXPECT_EQ(boxes[1].detail, "Incorrect version");
  EXPECT_EQ(boxes[1].number, 0x10u);
  EXPECT_TRUE(std::filesystem::is_directory(root() / "empty"));  // OK created it
}

TEST_F(ValidationTest, CancelOrNoDialogGivesUp) {
  MakeClient("old", "3549");
  char folder[260] = "old";
  host::ScriptModal(IDD_FOLDER_DIALOG,
                    [](void* w) { host::SendToDialog(w, dialog::kWmCommand, 2, 0); });
  EXPECT_FALSE(ValidateInstallFolder(folder, 3550));
  host::FailDialogCreation(true);
  EXPECT_FALSE(ValidateInstallFolder(folder, 3550));
}

TEST_F(ValidationTest, FolderDialogBrowseAndCreate) {
  char folder[260] = "c:\\";
  FolderDialog dialog;
  // Browse (cancelled, then a folder), edit after browsing, then OK.
  host::ScriptBrowse({nullptr, "picked\\folder"});
  host::ScriptModal(IDD_FOLDER_DIALOG, [](void* w) {
    host::SendToDialog(w, dialog::kWmCommand, IDC_BROWSE, 0);
    EXPECT_EQ(host::DialogOf(w)->items[IDC_FOLDER_EDIT], "c:\\");
    host::SendToDialog(w, dialog::kWmCommand, IDC_BROWSE, 0);
    EXPECT_EQ(host::DialogOf(w)->items[IDC_FOLDER_EDIT], "picked\\folder");
    TypeAndOk("picked\\folder\\deeper\\")(w);
  });
  EXPECT_EQ(dialog.ShowModal(folder), 1);
  EXPECT_STREQ(folder, "picked\\folder\\deeper\\");
  EXPECT_TRUE(std::filesystem::is_directory(root() / "picked/folder/deeper"));
  auto browses = CallsNamed("BrowseForFolder");
  ASSERT_EQ(browses.size(), 2u);
  EXPECT_EQ(browses[0].text, "Choose folder");

  // Browse then Cancel: 2, though the buffer already holds the browsed path.
  host::ScriptBrowse({"elsewhere"});
  host::ScriptModal(IDD_FOLDER_DIALOG, [](void* w) {
    host::SendToDialog(w, dialog::kWmCommand, IDC_BROWSE, 0);
    host::SendToDialog(w, dialog::kWmCommand, 2, 0);
  });
  EXPECT_EQ(dialog.ShowModal(folder), 2);
  EXPECT_STREQ(folder, "elsewhere");
}

TEST_F(ValidationTest, FolderThatCannotBeMadeKeepsTheDialogOpen) {
  char folder[260] = "";
  FolderDialog dialog;
  host::ScriptModal(IDD_FOLDER_DIALOG, [](void* w) {
    TypeAndOk("")(w);                        // empty: cannot be created
    TypeAndOk("missing/parent/child")(w);    // '/' does not separate folders
    EXPECT_FALSE(host::DialogOf(w)->ended);
    host::SendToDialog(w, dialog::kWmCommand, 2, 0);
  });
  EXPECT_EQ(dialog.ShowModal(folder), 2);
  auto boxes = CallsNamed("MessageBox");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Can't create folder");
  EXPECT_EQ(boxes[0].detail, "Is it possible that the folder was not valid?");
  EXPECT_EQ(boxes[0].number, 0x30u);
  EXPECT_FALSE(std::filesystem::exists(root() / "missing"));
}

TEST_F(ValidationTest, EnsureFolderExistsCreatesParentsOutermostFirst) {
  EXPECT_TRUE(EnsureFolderExists("a\\b\\c"));
  EXPECT_TRUE(std::filesystem::is_directory(root() / "a/b/c"));
  EXPECT_TRUE(EnsureFolderExists("a\\b\\c"));  // already there
  WriteFile("file", "x");
  EXPECT_FALSE(EnsureFolderExists("file\\sub"));
  EXPECT_FALSE(EnsureFolderExists(""));
}

}  // namespace
