#include "olkeng/file_layer.h"
#include "olkeng/result.h"

namespace olk {

const char* ResultName(Result r) {
  switch (r) {
    case Result::kOk: return "ok";
    case Result::kNoMemory: return "not enough memory";
    case Result::kCannotOpenPatch: return "cannot open the patch data";
    case Result::kBadPatch: return "invalid patch data";
    case Result::kOldFileMissing: return "a file to update is missing";
    case Result::kCannotCreate: return "a file or folder cannot be created";
    case Result::kDiskFull: return "not enough disk space";
    case Result::kOldFileMismatch: return "a file to update has unexpected contents";
    case Result::kFileInUse: return "a file is in use or not writable";
  }
  return "unknown";
}

const char* IoStatusName(IoStatus s) {
  switch (s) {
    case IoStatus::kOk: return "ok";
    case IoStatus::kNotFound: return "not found";
    case IoStatus::kExists: return "already exists";
    case IoStatus::kInUse: return "in use";
    case IoStatus::kAccessDenied: return "access denied";
    case IoStatus::kDiskFull: return "disk full";
    case IoStatus::kNoMemory: return "out of memory";
    case IoStatus::kIsDirectory: return "is a folder";
    case IoStatus::kNotDirectory: return "is not a folder";
    case IoStatus::kNotEmpty: return "folder not empty";
    case IoStatus::kBadName: return "name not allowed";
    case IoStatus::kIoError: return "i/o error";
    case IoStatus::kLink: return "is a link or junction";
  }
  return "unknown";
}

}  // namespace olk
