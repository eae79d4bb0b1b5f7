// Test control of the host side of the platform layer: what the logic did
// (every call that reaches the user, a window or another program is
// recorded) and what the world answers (scripted boxes, fake windows,
// registry values, queued messages).
#pragma once

#include <stdint.h>

#include <functional>
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

// Thrown by TerminateSelf, so a test can watch the process end.
struct ProcessTerminated {};

// Views and handles still open: a test checks that the logic released them.
int OpenHandleCount();
int MappedViewCount();

}  // namespace host
}  // namespace platform
