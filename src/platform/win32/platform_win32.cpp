// Win32 side of the platform layer: one API call per routine, nothing more.
#include <windows.h>
#include <stdio.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/win32/system_functions.h"

namespace platform {

namespace file {
Handle Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
            uint32_t attributes) {
  return CreateFileA(path, access, share, nullptr, disposition, attributes, nullptr);
}
uint32_t Size(Handle file) { return GetFileSize(file, nullptr); }
uint32_t Seek(Handle file, int32_t distance, uint32_t method) {
  return SetFilePointer(file, distance, nullptr, method);
}
bool Read(Handle file, void* buffer, uint32_t count, uint32_t* done) {
  DWORD got = 0;
  BOOL ok = ReadFile(file, buffer, count, &got, nullptr);
  if (done) *done = got;
  return ok != 0;
}
bool Write(Handle file, const void* buffer, uint32_t count, uint32_t* done) {
  DWORD put = 0;
  BOOL ok = WriteFile(file, buffer, count, &put, nullptr);
  if (done) *done = put;
  return ok != 0;
}
void Close(Handle handle) { CloseHandle(handle); }
bool Remove(const char* path) { return DeleteFileA(path) != 0; }
bool SetAttributes(const char* path, uint32_t attributes) {
  return SetFileAttributesA(path, attributes) != 0;
}
uint32_t Attributes(const char* path) { return GetFileAttributesA(path); }
bool CreateFolder(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }
uint32_t FullPath(const char* path, char* buffer, uint32_t capacity) {
  DWORD n = GetFullPathNameA(path, capacity, buffer, nullptr);
  return n < capacity ? n : 0;  // >= capacity: the size it would need
}
bool TouchTimes(Handle file) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return SetFileTime(file, &now, &now, &now) != 0;
}
}  // namespace file

namespace mapping {
Handle CreateReadOnly(Handle file) {
  return CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
}
const void* MapView(Handle mapping, uint32_t offset, uint32_t size) {
  return MapViewOfFile(mapping, FILE_MAP_READ, 0, offset, size);
}
void UnmapView(const void* base) { UnmapViewOfFile(base); }
uint32_t AllocationGranularity() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwAllocationGranularity;
}
}  // namespace mapping

namespace process {
uint32_t OwnPath(char* buffer, uint32_t capacity) {
  if (capacity == 0) return 0;
  DWORD n = GetModuleFileNameA(nullptr, buffer, capacity);
  // XP-era systems leave a cut name unterminated.
  buffer[capacity - 1] = '\0';
  return n >= capacity ? 0 : n;
}
bool Launch(const char* path, const char* commandLine) {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;  // 68
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  // CreateProcessA may write into the command line, so hand it a copy, of
  // the whole text (a cut command line must never be started).
  char* line = nullptr;
  if (commandLine) {
    line = text::Duplicate(commandLine);
    if (!line) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
  }
  BOOL created = CreateProcessA(path, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &info);
  delete[] line;
  if (!created) return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}
void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }
void TerminateSelf() {
  TerminateProcess(GetCurrentProcess(), 0);
  for (;;) ExitProcess(0);  // not reached; keeps [[noreturn]] honest
}
const char* CommandLine() { return GetCommandLineA(); }
bool ReadEnvironment(const char* name, char* buffer, uint32_t capacity) {
  if (capacity == 0) return false;
  DWORD n = GetEnvironmentVariableA(name, buffer, capacity);
  return n > 0 && n < capacity;  // 0: not set or empty; >= capacity: the size it needs
}
uint32_t LastError() { return GetLastError(); }
void SetLastError(uint32_t code) { ::SetLastError(code); }
void DebugOutput(const char* text) { OutputDebugStringA(text); }
void RestrictDllSearchToSystem() {
  // SetDefaultDllDirectories exists from Windows 7 (KB2533623) on; look it up
  // so the program still starts where it does not.
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  SetDefaultDllDirectoriesFn setDirs =
      kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                   reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
             : nullptr;
  if (setDirs) setDirs(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
  SetDllDirectoryA("");  // drops the current folder from the search
}
}  // namespace process

namespace library {
Handle Load(const char* path) { return LoadLibraryA(path); }
void* Find(Handle library, const char* exportName) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), exportName));
}
void Free(Handle library) { FreeLibrary(static_cast<HMODULE>(library)); }
}  // namespace library

namespace ui {
int ShowMessageBox(Window owner, const char* text, const char* caption, uint32_t style) {
  return MessageBoxA(static_cast<HWND>(owner), text, caption, style);
}
Window FindByClass(const char* className) { return FindWindowA(className, nullptr); }
intptr_t Send(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}
bool SendBounded(Window window, uint32_t message, uint32_t timeoutMs) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(static_cast<HWND>(window), message, 0, 0,
                             SMTO_NORMAL | SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}
bool Destroy(Window window) { return DestroyWindow(static_cast<HWND>(window)) != 0; }
void DrainMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}
void PostQuit() { PostQuitMessage(0); }
bool BrowseForFolder(Window owner, const char* title, char* path) {
  BROWSEINFOA info;
  ZeroMemory(&info, sizeof info);
  info.hwndOwner = static_cast<HWND>(owner);
  info.lpszTitle = title;
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  SYSTEM_FUNCTION(browse, "shell32.dll", SHBrowseForFolderA);
  SYSTEM_FUNCTION(pathOf, "shell32.dll", SHGetPathFromIDListA);
  SYSTEM_FUNCTION(freeItem, "ole32.dll", CoTaskMemFree);
  if (!browse || !pathOf || !freeItem) return false;
  LPITEMIDLIST item = browse(&info);
  if (!item) return false;
  // Converted into scratch first: a failed conversion leaves `path` as it was.
  char chosen[MAX_PATH];
  BOOL ok = pathOf(item, chosen);
  freeItem(item);
  if (!ok) return false;
  lstrcpynA(path, chosen, MAX_PATH);
  return true;
}
void RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}
}  // namespace ui

namespace session {
static void* g_moduleInstance;
void Begin(void* moduleInstance) {
  SYSTEM_FUNCTION(comInitialize, "ole32.dll", CoInitialize);
  SYSTEM_FUNCTION(initControls, "comctl32.dll", InitCommonControlsEx);
  if (comInitialize) comInitialize(nullptr);
  // The progress bars of the dialogs are common controls: register them.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  if (initControls) initControls(&controls);
  g_moduleInstance = moduleInstance;
}
void End() {
  g_moduleInstance = nullptr;
  SYSTEM_FUNCTION(comUninitialize, "ole32.dll", CoUninitialize);
  if (comUninitialize) comUninitialize();
}
void* ModuleInstance() { return g_moduleInstance; }
}  // namespace session

namespace registry {
ReadResult ReadMachineString(const char* subkey, const char* value, char* buffer,
                             uint32_t capacity) {
  SYSTEM_FUNCTION(openKey, "advapi32.dll", RegOpenKeyExA);
  SYSTEM_FUNCTION(queryValue, "advapi32.dll", RegQueryValueExA);
  SYSTEM_FUNCTION(closeKey, "advapi32.dll", RegCloseKey);
  HKEY key;
  if (!openKey || !queryValue || !closeKey ||
      openKey(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return ReadResult::kKeyMissing;
  // Read into scratch, so that a failed or oversized read leaves the
  // caller's text as it was.
  char scratch[1024];
  DWORD size = capacity < sizeof scratch ? capacity : sizeof scratch;
  DWORD type = 0;
  LONG rc = queryValue(key, value, nullptr, &type, reinterpret_cast<BYTE*>(scratch), &size);
  closeKey(key);
  if (rc != ERROR_SUCCESS || capacity == 0) return ReadResult::kValueMissing;
  // The data need not be terminated; take it up to its first NUL.
  uint32_t n = 0;
  while (n < size && n + 1 < capacity && scratch[n] != '\0') ++n;
  for (uint32_t i = 0; i < n; ++i) buffer[i] = scratch[i];
  buffer[n] = '\0';
  return ReadResult::kOk;
}
}  // namespace registry

}  // namespace platform
