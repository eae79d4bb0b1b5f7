// The platform layer's files, mappings and own path for the authoring tool
// on 64-bit Windows (olkpack.exe), which reads installers with the
// installer's own archive reader. Unlike the installer's ANSI calls
// (platform_win32.cpp), paths here are UTF-8 and reach the system through
// the wide calls in their long form (the engine's FullNativePath()), so
// that an installer under any name and any depth can be read.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "olkeng/file_layer.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace platform {

namespace file {
Handle Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
            uint32_t attributes) {
  std::wstring native, full;
  if (!path || !olk::NativeFromUtf8(path, &native) || native.empty() || !olk::FullNativePath(native, &full)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return InvalidHandle();
  }
  return CreateFileW(full.c_str(), access, share, nullptr, disposition, attributes, nullptr);
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
}  // namespace file

namespace mapping {
Handle CreateReadOnly(Handle file) {
  return CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
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
  buffer[0] = '\0';
  wchar_t wide[32768];
  DWORD n = GetModuleFileNameW(nullptr, wide, 32768);
  std::string utf8;
  if (n == 0 || n >= 32768 || !olk::Utf8FromNative(std::wstring(wide, n), &utf8)) return 0;
  return text::Copy(buffer, capacity, utf8.c_str()) ? static_cast<uint32_t>(utf8.size()) : 0;
}
uint32_t LastError() { return GetLastError(); }
void SetLastError(uint32_t code) { ::SetLastError(code); }
}  // namespace process

}  // namespace platform
