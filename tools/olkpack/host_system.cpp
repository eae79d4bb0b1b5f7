// The routines of host_system.h that the engine's file layer does alike on
// every system.
#include "host_system.h"

namespace host {

// The system's words for the failure just reported as `status`.
std::string SystemErrorText(olk::IoStatus status);

olk::NativeString NativePath(const std::string& path) {
  olk::NativeString native;
  if (!olk::NativeFromUtf8(path, &native)) native.clear();
  return native;
}

olk::IoStatus OpenForReading(const std::string& path, std::unique_ptr<olk::File>* file, std::string* cause) {
  const olk::NativeString native = NativePath(path);
  if (native.empty()) {
    *cause = "not a valid name";
    return olk::IoStatus::kBadName;
  }
  const olk::IoStatus s = olk::OpenNativeFile(native, file);
  if (s == olk::IoStatus::kIsDirectory)
    *cause = "is a folder, not a file";
  else if (s != olk::IoStatus::kOk)
    *cause = SystemErrorText(s);
  return s;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* cause) {
  std::unique_ptr<olk::File> file;
  if (OpenForReading(path, &file, cause) != olk::IoStatus::kOk) return false;
  bytes->assign(static_cast<size_t>(file->Size()), '\0');
  size_t got = 0;
  const olk::IoStatus s = bytes->empty() ? olk::IoStatus::kOk : file->ReadAt(0, &(*bytes)[0], bytes->size(), &got);
  if (s != olk::IoStatus::kOk) {
    *cause = SystemErrorText(s);
    return false;
  }
  bytes->resize(got);
  return true;
}

bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* cause) {
  std::unique_ptr<olk::File> file;
  olk::IoStatus s = olk::CreateNativeFile(NativePath(path), &file);
  if (s == olk::IoStatus::kOk) s = file->Write(bytes.data(), bytes.size());
  if (s == olk::IoStatus::kOk) s = file->Close();
  if (s != olk::IoStatus::kOk) {
    *cause = SystemErrorText(s);
    return false;
  }
  return true;
}

bool IsFolder(const std::string& path) {
  const olk::NativeString native = NativePath(path);
  if (native.empty()) return false;
  std::unique_ptr<olk::FileSystem> folder = olk::NewNativeFileSystem(native);
  olk::EntryInfo info;
  return folder && folder->Stat("", &info) == olk::IoStatus::kOk && info.type == olk::EntryType::kDirectory;
}

}  // namespace host
