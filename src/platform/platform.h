// The thin layer over the Windows services the installer uses.
//
// Every routine here has two sides: platform/win32 forwards to the Win32 API
// one call each, and platform/host runs the same logic natively on real files
// in a temporary folder, with scripted answers for boxes, windows, registry
// and processes (see platform/host/host_control.h). The installer's logic
// includes this header only, never <windows.h>.
//
// Flags and error codes keep the platform's own values, so a call site reads
// like the Win32 call it stands for.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace platform {

using Handle = void*;  // file, mapping or module handle
using Window = void*;  // window handle

// The platform's INVALID_HANDLE_VALUE; a null handle is "none".
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }

enum Access : uint32_t {
  kGenericRead = 0x80000000u,
  kGenericWrite = 0x40000000u,
  kFileWriteAttributes = 0x100u,
};
enum Share : uint32_t { kShareNone = 0, kShareRead = 1, kShareWrite = 2, kShareDelete = 4 };
enum Disposition : uint32_t { kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4 };
enum Attributes : uint32_t { kAttrReadOnly = 1, kAttrDirectory = 0x10, kAttrNormal = 0x80 };
enum SeekMethod : uint32_t { kFileBegin = 0, kFileCurrent = 1, kFileEnd = 2 };
enum ErrorCode : uint32_t {
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorSharingViolation = 32,
  kErrorFileExists = 80,
  kErrorAlreadyExists = 183,
};
constexpr uint32_t kInvalidSize = 0xFFFFFFFFu;  // failure value of Size and Seek

// Files, as CreateFileA and friends.
namespace file {
// Opens or creates `path`; InvalidHandle() on failure (see LastError()).
Handle Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
            uint32_t attributes);
// Low 32 bits of the size, or kInvalidSize.
uint32_t Size(Handle file);
// Moves by a signed 32-bit distance; the new position or kInvalidSize.
uint32_t Seek(Handle file, int32_t distance, uint32_t method);
bool Read(Handle file, void* buffer, uint32_t count, uint32_t* done);
bool Write(Handle file, const void* buffer, uint32_t count, uint32_t* done);
void Close(Handle handle);  // a file or mapping handle
bool Remove(const char* path);
bool SetAttributes(const char* path, uint32_t attributes);
// The attributes, or kInvalidSize when nothing is at `path`.
uint32_t Attributes(const char* path);
bool CreateFolder(const char* path);
// The full path of `path` (GetFullPathNameA: made absolute against the
// current folder, "." and ".." resolved); its length, or 0 when it cannot be
// made or does not fit `capacity` bytes.
uint32_t FullPath(const char* path, char* buffer, uint32_t capacity);
// Sets creation, access and write time of an open file to the current time.
bool TouchTimes(Handle file);
}  // namespace file

// Read-only file mapping, as CreateFileMappingA / MapViewOfFile.
namespace mapping {
// A read-only mapping of the whole file; null on failure.
Handle CreateReadOnly(Handle file);
// A read-only view of `size` bytes at `offset` (a multiple of the
// granularity; size 0 maps to the end of the file); null on failure.
const void* MapView(Handle mapping, uint32_t offset, uint32_t size);
void UnmapView(const void* base);
uint32_t AllocationGranularity();
}  // namespace mapping

// The running process and the programs it starts.
namespace process {
// Full path of the program's own file (GetModuleFileNameA with no module);
// the length written, 0 on failure. Always terminated.
uint32_t OwnPath(char* buffer, uint32_t capacity);
// CreateProcessA with the given application path and command line (null for
// none); the new process is not waited for and its handles are released.
bool Launch(const char* path, const char* commandLine);
void SleepMs(uint32_t milliseconds);
// Ends the process at once with exit code 0.
[[noreturn]] void TerminateSelf();
// The process's whole command line, the program's own name included
// (GetCommandLineA).
const char* CommandLine();
// An environment variable's value (GetEnvironmentVariableA); false when it
// is not set, empty, or longer than `capacity` - 1 characters.
bool ReadEnvironment(const char* name, char* buffer, uint32_t capacity);
uint32_t LastError();
void SetLastError(uint32_t code);
void DebugOutput(const char* text);
// Loads no DLL from the program's own or the current folder from here on.
void RestrictDllSearchToSystem();
}  // namespace process

// Libraries loaded for one call (the patch engine).
namespace library {
// LoadLibraryA with a full path; null on failure.
Handle Load(const char* path);
// GetProcAddress; null when the library has no such export.
void* Find(Handle library, const char* exportName);
void Free(Handle library);
}  // namespace library

// Windows, message boxes and the thread's message queue.
namespace ui {
enum : uint32_t {
  kMbOk = 0,
  kMbYesNo = 4,
  kMbIconError = 0x10,
  kMbIconExclamation = 0x30,
  kMbIconWarning = 0x30,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };
enum : uint32_t { kWmClose = 0x10 };

int ShowMessageBox(Window owner, const char* text, const char* caption, uint32_t style);
// The first top-level window of the class, or null.
Window FindByClass(const char* className);
intptr_t Send(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Sends a message to another program's window and waits for its answer at
// most `timeoutMs` (less when the window is hung); false when it timed out.
bool SendBounded(Window window, uint32_t message, uint32_t timeoutMs);
bool Destroy(Window window);
// Takes out, translates and dispatches every message waiting in the thread's
// queue, for any window (PeekMessageA with PM_REMOVE until it finds none).
void DrainMessages();
void PostQuit();
// The shell's folder browser (file-system folders only) owned by `owner`;
// true with the chosen folder's path in `path` (260 bytes), false when the
// user cancelled or the item has no file-system path (`path` unchanged).
bool BrowseForFolder(Window owner, const char* title, char* path);
// The thread's message loop, until the quit request arrives.
void RunMessageLoop();
}  // namespace ui

// Dialogs built from the program's dialog templates, bound to an object.
namespace dialog {
enum : uint32_t {
  kWmGetTextLength = 0x000E,
  kWmNcDestroy = 0x0082,
  kWmInitDialog = 0x0110,
  kWmCommand = 0x0111,
  kEmSetSel = 0x00B1,
  kEmScrollCaret = 0x00B7,
  kEmReplaceSel = 0x00C2,
  kPbmSetPos = 0x0402,
};

// The object a dialog window is bound to. The window glue stores the window
// handle in it before the window's first message and routes every message of
// the window to OnMessage, so nothing before WM_INITDIALOG is lost.
class Client {
 public:
  // Handles one message; true when handled, with `result` as its result
  // (for WM_INITDIALOG: whether the platform sets the focus).
  virtual bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam,
                         intptr_t& result) = 0;
  // Called after the window's last message; the handle is already cleared.
  virtual void OnFinalMessage() {}

  Window window = nullptr;

 protected:
  ~Client() = default;
};

// A modeless dialog from template `templateId`, no owner; initialised when
// this returns. Null when it cannot be created.
Window CreateModeless(int templateId, Client* client);
// A modal dialog from `templateId` owned by `owner`; the value given to End,
// or -1 when it cannot be created.
intptr_t ShowModal(int templateId, Window owner, Client* client);
void End(Window dialog, intptr_t result);
void SetText(Window window, const char* text);
void SetItemText(Window dialog, int itemId, const char* text);
// Copies the item's text (cut to capacity - 1, terminated); its length.
uint32_t GetItemText(Window dialog, int itemId, char* buffer, uint32_t capacity);
intptr_t SendItem(Window dialog, int itemId, uint32_t message, uintptr_t wParam, intptr_t lParam);
void Show(Window window);
// The active window of the calling thread, or null.
Window Active();
}  // namespace dialog

// Start and end of the component object services and the dialog framework.
namespace session {
void Begin(void* moduleInstance);
void End();
void* ModuleInstance();
}  // namespace session

// Read-only registry under HKEY_LOCAL_MACHINE.
namespace registry {
enum class ReadResult { kKeyMissing, kValueMissing, kOk };
// Reads a string value into `buffer` (at most `capacity` bytes with the
// terminator). On kValueMissing and kKeyMissing the buffer is unchanged.
ReadResult ReadMachineString(const char* subkey, const char* value, char* buffer,
                             uint32_t capacity);
}  // namespace registry

}  // namespace platform
