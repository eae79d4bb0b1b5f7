#include "archive/embedded_archive.h"
#include "archive/member_extraction.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "ui/progress_window.h"

namespace {
using namespace platform;

const uint32_t kChunkSize = 65536;
// A write that reports success but wrote nothing is a device that stopped
// taking data; it is reported like a failed write (ERROR_WRITE_FAULT).
const uint32_t kErrorWriteFault = 29;

int32_t PercentWritten(uint32_t written, uint32_t size) {
  return static_cast<int32_t>(static_cast<double>(written) / static_cast<double>(size) * 100.0);
}
}  // namespace

bool ExtractMember(const char* name, const char* path) {
  uint32_t size = 0;
  const uint8_t* member = g_embeddedArchive
                              ? static_cast<const uint8_t*>(g_embeddedArchive->MapMember(name, size))
                              : nullptr;
  if (!member) {
    char message[128];
    text::Format(message, sizeof message, "can't extract %s from this patchfile", name);
    LogLine(message);
    return false;
  }

  Handle out = file::Open(path, kGenericWrite, kShareNone, kCreateAlways, kAttrNormal);
  if (out == InvalidHandle()) {
    char message[128];
    text::Format(message, sizeof message, "Error calling CreateFile(%s) error=%d", path,
                 static_cast<int>(process::LastError()));
    LogLine(message);
    g_embeddedArchive->UnmapMember(member);
    return false;
  }

  uint32_t written = 0;
  while (written < size) {
    uint32_t remaining = size - written;
    uint32_t chunk = remaining < kChunkSize ? remaining : kChunkSize;
    // Written straight from the view: a page that cannot be read in then
    // fails the write instead of faulting the process.
    uint32_t done = 0;
    bool ok = file::Write(out, member + written, chunk, &done);
    if (ok && (done == 0 || done > chunk)) {
      ok = false;
      process::SetLastError(kErrorWriteFault);
    }
    if (!ok) {
      char message[256];
      text::Format(message, sizeof message, "Error writing %s WriteFile failed with error %d",
                   name, static_cast<int>(process::LastError()));
      LogLine(message);
      file::Close(out);
      g_embeddedArchive->UnmapMember(member);
      return false;
    }
    written += done;
    if (g_progressWindow) g_progressWindow->SetItemProgress(PercentWritten(written, size));
  }

  if (g_progressWindow) g_progressWindow->SetItemProgress(0);
  file::Close(out);
  g_embeddedArchive->UnmapMember(member);
  return true;
}
