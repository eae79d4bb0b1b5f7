// Test control of the host side of the platform layer: what the logic did
// (every call that reaches the user, a window or another program is
// recorded) and what the world answers (scripted boxes, fake windows,
// registry values, queued messages).
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform {
namespace host {

struct Call {
  std::string name;     // "MessageBox", "FindWindow", "SendMessage", "Sleep", "Launch", ...
  std::string text;     // box text, class name, program path, debug text
  std::string detail;   // box caption, command line
  bool hasDetail = true;  // false where the call passed null (a launch without command line)
  uint64_t number = 0;  // box style, message id, milliseconds
};

// Forgets all records and scripts; the next test starts from a clean world.
void Reset();
const std::vector<Call>& Calls();
std::vector<Call> CallsNamed(const std::string& name);

// Answers of the next message boxes, in order; when none are left a box
// answers IDOK.
void ScriptBoxAnswers(std::vector<int> answers);

// A top-level window of another program. One that obeys goes away on its
// first WM_CLOSE; one that does not only counts the requests.
struct FakeWindow {
  std::string className;
  bool obeysClose = true;
  int closeRequests = 0;
  bool alive = true;
};
FakeWindow* AddWindow(const std::string& className, bool obeysClose);

void SetOwnPath(const std::string& path);
void SetAllocationGranularity(uint32_t granularity);

// HKEY_LOCAL_MACHINE: a key with no values, or a key with a string value.
void AddRegistryKey(const std::string& subkey);
void SetRegistryString(const std::string& subkey, const std::string& value,
                       const std::string& text);

// Something that happens the next time the thread's queue is drained
// (a message the user caused).
void QueueMessage(std::function<void()> handler);

// A dialog the logic made, as the user sees it: caption, visibility, the
// texts of its items, the positions of its progress bars, and the selection
// of its edit controls (the platform selects the whole text of an edit box
// that receives the focus when the dialog starts).
struct FakeDialog {
  int templateId = 0;
  void* client = nullptr;  // the platform::dialog::Client
  bool modal = false;
  bool visible = false;
  bool ended = false;
  intptr_t endResult = 0;
  std::string caption;
  std::map<int, std::string> items;
  std::map<int, intptr_t> positions;
  std::map<int, std::pair<size_t, size_t>> selections;
  std::vector<intptr_t> positionHistory;  // every position set, in order, any bar
};
// The last dialog made from `templateId`, or null.
FakeDialog* LastDialog(int templateId);
FakeDialog* DialogOf(void* window);
// What the user does while the next modal showing of `templateId` is open
// (it should end the dialog; a showing the user leaves open ends with 2).
void ScriptModal(int templateId, std::function<void(void* window)> user);
// Delivers a message to a dialog as the platform would (through the glue).
intptr_t SendToDialog(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// The next dialogs cannot be created.
void FailDialogCreation(bool fail);

// What the user picks in the next folder browsers, in order: a path, or
// nothing for a cancelled browser. When none are left the browser is cancelled.
void ScriptBrowse(std::vector<const char*> answers);

// Libraries: a file that exists and starts with "MZ" loads; its exports are
// the functions registered here (the same for every library).
void SetLibraryExport(const std::string& name, void* function);
// Whether a library is loaded now.
int LoadedLibraryCount();
// The process's whole command line (default "olkpatch.exe").
void SetCommandLine(const std::string& commandLine);
// The host folder that a path starting with one backslash (on the root of
// the current drive) lies in; "" (the default) is the host's root.
void SetDriveRoot(const std::string& hostFolder);
// The allocation with new (std::nothrow) of this number, counted from 1 since
// this call, gives null; 0: none fails. Reset() sets 0.
void FailNothrowAllocation(int number);

// Thrown by TerminateSelf, so a test can watch the process end.
struct ProcessTerminated {};

// Views and handles still open: a test checks that the logic released them.
int OpenHandleCount();
int MappedViewCount();

}  // namespace host
}  // namespace platform
