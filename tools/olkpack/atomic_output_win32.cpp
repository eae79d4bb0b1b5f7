// Win32 side of atomic_output.h: the temporary file is created exclusively
// beside the target under a fresh name, and moved over the target with
// MoveFileEx, all through wide calls on long-form paths.
#include "atomic_output.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <utility>

#include "host_system.h"

namespace {

HANDLE AsHandle(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

AtomicOutput::~AtomicOutput() {
  if (file_ != -1) CloseHandle(AsHandle(file_));
  if (!committed_ && !temp_.empty()) DeleteFileW(host::LongPath(temp_).c_str());
}

bool AtomicOutput::Fail(const char* what) {
  error_ = std::string(what) + ": " + host::LastErrorText();
  return false;
}

bool AtomicOutput::Create() {
  // Beside the target, so that the final move stays on one volume.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = target_ + ".olkpack-" + host::FreshSuffix();
    const std::wstring full = host::LongPath(name);
    if (full.empty()) {
      SetLastError(ERROR_INVALID_NAME);
      break;
    }
    HANDLE h = CreateFileW(full.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      file_ = reinterpret_cast<intptr_t>(h);
      temp_ = name;
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  return Fail("cannot create the output file");
}

bool AtomicOutput::Write(const void* bytes, size_t count) {
  const char* p = static_cast<const char*>(bytes);
  while (count > 0) {
    const DWORD chunk = static_cast<DWORD>(count > (1u << 30) ? (1u << 30) : count);
    DWORD written = 0;
    if (!WriteFile(AsHandle(file_), p, chunk, &written, nullptr) || written == 0) {
      if (written == 0 && GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_DISK_FULL);
      return Fail("cannot write the output file");
    }
    p += written;
    count -= written;
  }
  return true;
}

bool AtomicOutput::Finish() {
  if (!FlushFileBuffers(AsHandle(file_))) return Fail("cannot flush the output file");
  HANDLE h = AsHandle(file_);
  file_ = -1;
  if (!CloseHandle(h)) return Fail("cannot close the output file");
  return true;
}

bool AtomicOutput::Commit() {
  if (!MoveFileExW(host::LongPath(temp_).c_str(), host::LongPath(target_).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return Fail("cannot replace the output file");
  committed_ = true;
  return true;
}
