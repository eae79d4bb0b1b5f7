/*
 * Result codes of the patch engine.
 *
 * The numeric values are part of the engine's external contract: the
 * installer shows a fixed message for each of them, and `olkpack apply`
 * exits with the same number. Never renumber an existing code.
 */
#ifndef OLKENG_RESULT_H
#define OLKENG_RESULT_H

#include <cstdint>

namespace olk {

enum class Result : int32_t {
  kOk = 0,                /* every new file is in place and verified */
  kNoMemory = 2,          /* an allocation failed */
  kCannotOpenPatch = 7,   /* the patch data file cannot be opened or read */
  kBadPatch = 9,          /* checksum, structure, version or a path in the patch is wrong */
  kOldFileMissing = 15,   /* a file to change is not in the install folder */
  kCannotCreate = 18,     /* a file or folder cannot be created (e.g. a folder has its name) */
  kDiskFull = 29,         /* not enough free space for the staged files */
  kOldFileMismatch = 36,  /* a file to change has neither its old nor its new size and hash */
  kFileInUse = 38,        /* a file is locked, in use, or not writable */
};

/* ResultName():
 * Returns a short constant English name for `r` ("ok", "bad patch", ...),
 * or "unknown" for a value outside the enum. Never returns NULL. */
const char* ResultName(Result r);

/* ResultCode():
 * Returns the numeric code of `r`, as returned by the DLL entry point and
 * used as the exit status of `olkpack apply`. */
inline int32_t ResultCode(Result r) { return static_cast<int32_t>(r); }

}  // namespace olk

#endif
