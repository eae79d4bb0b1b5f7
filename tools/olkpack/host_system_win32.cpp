// Win32 side of host_system.h: wide-character calls on long-form paths.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "host_system.h"

namespace host {

namespace {

std::string Utf8(const std::wstring& wide) {
  std::string text;
  if (!olk::Utf8FromNative(wide, &text)) text.clear();
  return text;
}

std::string ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring words = n && text ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  while (!words.empty() && (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ' || words.back() == L'.'))
    words.pop_back();
  return words.empty() ? "error " + std::to_string(code) : Utf8(words);
}

}  // namespace

std::wstring LongPath(const std::string& path) {
  std::wstring full;
  if (!olk::FullNativePath(NativePath(path), &full)) full.clear();
  return full;
}

std::string LastErrorText() { return ErrorText(GetLastError()); }

std::string FreshSuffix() {
  // Seeded once from the clock and the process id, then a linear
  // congruential step per name: unique enough for names tried with
  // CREATE_NEW (a clash only means another try).
  static unsigned long long state = [] {
    LARGE_INTEGER tick;
    QueryPerformanceCounter(&tick);
    return static_cast<unsigned long long>(tick.QuadPart) ^ (GetCurrentProcessId() * 2654435761ull);
  }();
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  char suffix[16];
  snprintf(suffix, sizeof suffix, "%06llx", (state >> 40) & 0xFFFFFF);
  return suffix;
}

std::string SystemErrorText(olk::IoStatus status) {
  const DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? ErrorText(code) : olk::IoStatusName(status);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return args;
}

namespace {
// The console belongs to the user's shell: what olkpack changes in it is
// put back when olkpack ends.
UINT g_shellCodePage = 0;
DWORD g_shellErrorMode = 0;
bool g_errorModeChanged = false;

void RestoreConsole() {
  if (g_shellCodePage) SetConsoleOutputCP(g_shellCodePage);
  if (g_errorModeChanged) SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), g_shellErrorMode);
}
}  // namespace

void PrepareConsole() {
  g_shellCodePage = GetConsoleOutputCP();
  if (g_shellCodePage) SetConsoleOutputCP(CP_UTF8);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (GetConsoleMode(err, &g_shellErrorMode))
    g_errorModeChanged = SetConsoleMode(err, g_shellErrorMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  atexit(RestoreConsole);
}

bool StderrIsTerminal() {
  // A console that redraws in place: one that took the control sequences.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
  return folder + "\\" + name;
}

std::string OwnProgramPath() {
  std::wstring path(512, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      return Utf8(path);
    }
    path.resize(path.size() * 2);
  }
}

std::string FolderOf(const std::string& path) {
  std::wstring full = LongPath(path);
  const size_t cut = full.find_last_of(L'\\');
  // Keep the root's separator: "\\?\C:\".
  if (cut != std::wstring::npos) full.resize(full[cut - 1] == L':' ? cut + 1 : cut);
  // Shown to the user and joined to other names: the ordinary form (the
  // wide calls take it long again).
  if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0) return Utf8(L"\\" + full.substr(7));
  if (full.compare(0, 4, L"\\\\?\\") == 0) return Utf8(full.substr(4));
  return Utf8(full);
}

bool MakeScratchFolder(const std::string& parent, const std::string& prefix, std::string* folder,
                       std::string* cause) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = JoinPath(parent, prefix + FreshSuffix());
    if (CreateDirectoryW(LongPath(name).c_str(), nullptr)) {
      *folder = name;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  *cause = ErrorText(GetLastError());
  return false;
}

namespace {
void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = folder + L"\\" + name;
      // A link inside is removed, never followed.
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(full);
      } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(full.c_str());
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(h, &found));
    FindClose(h);
  }
  RemoveDirectoryW(folder.c_str());
}
}  // namespace

void RemoveScratchFolder(const std::string& folder) {
  const std::wstring full = LongPath(folder);
  if (!full.empty()) RemoveTree(full);
}

bool RenameOver(const std::string& from, const std::string& to, const std::string&, std::string* cause) {
  if (MoveFileExW(LongPath(from).c_str(), LongPath(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  *cause = ErrorText(GetLastError());
  return false;
}

bool IsPlainFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

namespace {

// One argument as the C runtime's parser reads it back (backslashes are
// literal except before a quote).
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace

bool RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* errors,
                std::string* cause) {
  cause->clear();
  const std::wstring name = NativePath(program);
  wchar_t found[MAX_PATH];
  if (!SearchPathW(nullptr, name.c_str(), L".exe", MAX_PATH, found, nullptr)) {
    *cause = "not found";
    return false;
  }
  std::wstring line = Quoted(name);
  for (const std::string& a : args) line += L" " + Quoted(NativePath(a));

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    *cause = ErrorText(GetLastError());
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    return false;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = nul;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(found, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                      &startup, &process);
  const DWORD startError = GetLastError();
  CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    CloseHandle(readEnd);
    *cause = ErrorText(startError);
    return false;
  }
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) errors->append(buffer, n);
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status == 0;
}

}  // namespace host
