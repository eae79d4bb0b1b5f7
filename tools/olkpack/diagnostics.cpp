#include "diagnostics.h"

#include <stdio.h>
#include <string.h>

#include <memory>

#include "archive/embedded_archive.h"
#include "archive/embedfs_format.h"
#include "archive/signed_program.h"
#include "host_system.h"
#include "platform/platform.h"

int Fail(const std::string& file, const std::string& cause) {
  fprintf(stderr, "olkpack: %s: %s\n", file.c_str(), cause.c_str());
  return 1;
}

namespace {

// The reader only knows that it could not open the file; the system's
// words from a second try tell the user why.
std::string WhyUnopenable(const std::string& path) {
  std::unique_ptr<olk::File> file;
  std::string cause;
  const olk::IoStatus s = host::OpenForReading(path, &file, &cause);
  if (s == olk::IoStatus::kOk) return "cannot open the file";
  return s == olk::IoStatus::kIsDirectory ? cause : "cannot open the file: " + cause;
}

// A file without an archive ends in whatever its last bytes are; one with
// an archive of another version ends in "EmbedFs" and something else. In a
// signed program the archive would end in front of the signature.
std::string WhyNoMagic(const std::string& path) {
  // Where the reader looked: the end of the file, or in a signed program
  // the start of its signature.
  platform::Handle file = platform::file::Open(path.c_str(), platform::kGenericRead, platform::kShareRead,
                                               platform::kOpenExisting, platform::kAttrReadOnly);
  if (file == platform::InvalidHandle()) return "cannot open the file";
  const uint32_t size = platform::file::Size(file);
  const uint32_t end = size == platform::kInvalidSize ? size : ArchiveEnd(file, size);
  platform::file::Close(file);
  if (end == platform::kInvalidSize) return "cannot read the file";

  char tail[embedfs::kMagicSize];
  std::unique_ptr<olk::File> whole;
  std::string cause;
  size_t got = 0;
  bool read = end >= sizeof tail && host::OpenForReading(path, &whole, &cause) == olk::IoStatus::kOk &&
              whole->ReadAt(end - sizeof tail, tail, sizeof tail, &got) == olk::IoStatus::kOk && got == sizeof tail;
  if (read && memcmp(tail, "EmbedFs", 7) == 0)
    return "wrong archive magic \"" + PrintableName(std::string(tail, sizeof tail).c_str()) +
           "\" (expected \"EmbedFs 1.0\" and a NUL byte)";
  if (end != size)
    return "no EmbedFs archive: the file is signed, and its part before the signature does not end in the "
           "\"EmbedFs 1.0\" trailer";
  return "no EmbedFs archive: the file does not end in the \"EmbedFs 1.0\" trailer";
}

}  // namespace

std::string DescribeOpenFailure(const EmbeddedArchive& archive, const std::string& path) {
  using F = ArchiveOpenFailure;
  switch (archive.LastOpenFailure()) {
    case F::kNone:
      return "no error";
    case F::kCannotOpenFile:
      return WhyUnopenable(path);
    case F::kCannotReadFile:
      return "cannot read the file";
    case F::kNoTrailer:
      return "no EmbedFs archive: the file is shorter than the 16-byte trailer";
    case F::kBadMagic:
      return WhyNoMagic(path);
    case F::kBadDirectoryOffset:
      return "truncated archive: the directory offset " + std::to_string(archive.DirectoryOffset()) +
             " lies outside the file";
    case F::kTruncatedDirectory:
      return "truncated directory: its entries run past the end of the file";
    case F::kBadName:
      return "malformed directory: a member name does not end in a NUL byte";
    case F::kDataPastEnd:
      return "truncated archive: the member data runs past the end of the file";
    case F::kOutOfMemory:
      return "out of memory reading the directory";
  }
  return "cannot read the archive";
}

std::string PrintableName(const char* name) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    if (*p < 0x20 || *p == 0x7F) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", *p);
      out += hex;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out;
}
