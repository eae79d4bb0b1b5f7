#include "patching/apply_embedded_patch.h"

#include <string.h>

#include <new>

#include "archive/embedded_archive.h"
#include "archive/member_extraction.h"
#include "patching/patch_engine_callback.h"
#include "patching/patch_engine_contract.h"
#include "patching/temp_folder.h"
#include "platform/path.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "ui/progress_window.h"

namespace {
using namespace platform;

const char kEngineMember[] = "patcheng.dll";
const char kScriptBundle[] = "script\\quandrel.code";
const char kApplyErrorCaption[] = "Error applying patch";
const size_t kEngineCommandCapacity = 520;

struct EngineResultText {
  int32_t code;
  const char* text;
};
const EngineResultText kEngineResults[] = {
    {kEngineOutOfMemory, "Not enough memory to complete the operation"},
    {kEngineCannotOpenPatch, "Error opening patch file, could be caused by a disk error"},
    {kEngineInvalidPatch, "Invalid patch file, the patch file has been corrupted"},
    {kEngineOldFileMissing,
     "Old file not found, the patcher did not find the file it was trying to update"},
    {kEngineCannotCreateFile,
     "PATCH was unable to open the named file. It was attempting to open this file to "
     "\t\t\t\t\tcreate a file for the updated version of the system. This can be caused by a "
     "disk\t\t\t\t\tor network error or if a directory exists by the same name as the file "
     "that PATCH is trying to open."},
    {kEngineDiskFull, "Insufficient Disk Space to Apply Patch "},
    {kEngineOldFileMismatch,
     "Could not patch the file because the size or checksum of the file is invalid"},
    {kEngineFileInUse,
     "This error is usually caused by a write permission error. This file may be locked or in "
     "use."},
};

void Fail(const char* logLine, const char* boxText, const char* caption) {
  LogLine(logLine);
  if (boxText) ui::ShowMessageBox(nullptr, boxText, caption, ui::kMbOk | ui::kMbIconError);
}

// A path or command line that does not fit its buffer is refused, never cut.
bool RefuseTooLong(const char* what) {
  char message[128];
  text::Format(message, sizeof message, "Error, the %s is too long", what);
  Fail(message, message, "Error extracting file");
  return false;
}

// Replaces the start-up archive with a fresh reader, which reads the
// directory afresh on first use; the old one is released.
bool RenewArchive() {
  EmbeddedArchive* fresh = new (std::nothrow) EmbeddedArchive();
  if (!fresh) return false;
  delete g_embeddedArchive;
  g_embeddedArchive = fresh;
  return true;
}

// The first member whose name holds "olk" or "OLK" (case-sensitive).
const char* FindPatchDataMember() {
  for (uint32_t index = 0;; ++index) {
    const char* name = g_embeddedArchive->MemberName(index);
    if (!name) return nullptr;
    process::DebugOutput(name);
    if (strstr(name, "olk") || strstr(name, "OLK")) return name;
  }
}

// The engine file as extracted must be the one loaded: it is held open
// against writing and deleting, and compared with the archive member, until
// the library is loaded. Null when the file is not the member.
Handle HoldEngineFile(const char* path) {
  Handle held = file::Open(path, kGenericRead, kShareRead, kOpenExisting, 0);
  if (held == InvalidHandle()) return nullptr;
  uint32_t size = 0;
  const uint8_t* member =
      static_cast<const uint8_t*>(g_embeddedArchive->MapMember(kEngineMember, size));
  const uint32_t kChunk = 65536;
  uint8_t* chunk = new (std::nothrow) uint8_t[kChunk];
  bool same = member && chunk && file::Size(held) == size;
  for (uint32_t offset = 0; same && offset < size;) {
    uint32_t got = 0;
    uint32_t want = size - offset < kChunk ? size - offset : kChunk;
    same = file::Read(held, chunk, want, &got) && got == want &&
           memcmp(chunk, member + offset, want) == 0;
    offset += got;
  }
  delete[] chunk;
  if (member) g_embeddedArchive->UnmapMember(member);
  if (!same) {
    file::Close(held);
    return nullptr;
  }
  return held;
}

void ReportEngineResult(int32_t result) {
  for (const EngineResultText& known : kEngineResults) {
    if (static_cast<uint32_t>(result) == static_cast<uint32_t>(known.code)) {
      ShowApplyError(known.text);
      return;
    }
  }
  char message[128];
  text::Format(message, sizeof message, "Error applying patch: %d", result);
  Fail(message, message, kApplyErrorCaption);
}

}  // namespace

bool ApplyEmbeddedPatch(const char* installFolder) {
  if (!RenewArchive()) {
    ShowApplyError("Not enough memory to complete the operation");
    return false;
  }
  LogLine("Extracting embedded files");

  const char* patchMember = FindPatchDataMember();
  if (!patchMember) {
    Fail("Error, invalid path file, there is no embedded patch file",
         "Error, corrupt patch file, the embedded patch file is missing", "invalid patch file");
    return false;
  }

  char tempFolder[kPathCapacity];
  if (!FindTempFolder(tempFolder, sizeof tempFolder)) {
    Fail("Error, no temporary folder could be found (check TMP)",
         "Error, no temporary folder could be found (check TMP)", "Error extracting file");
    return false;
  }
  char patchPath[kPathCapacity];
  char enginePath[kPathCapacity];
  if (!text::Copy(patchPath, sizeof patchPath, tempFolder) ||
      !text::Append(patchPath, sizeof patchPath, patchMember))
    return RefuseTooLong("patch data path");
  if (!text::Copy(enginePath, sizeof enginePath, tempFolder) ||
      !text::Append(enginePath, sizeof enginePath, kEngineMember))
    return RefuseTooLong("patch engine path");

  // Leftovers of an earlier run that ended before cleaning up.
  ForceDeleteFile(patchPath);
  ForceDeleteFile(enginePath);

  if (!ExtractMember(patchMember, patchPath)) {
    Fail("error extracting embedded patch file",
         "Error extracting embedded patch file\n\rcheck if there is enough free space on drive",
         "Error extracting file");
    return false;
  }
  ExtractMember(kEngineMember, enginePath);  // the load below is its test

  LogLine("loading .dll");
  Handle held = HoldEngineFile(enginePath);
  Handle engine = held ? library::Load(enginePath) : nullptr;
  if (held) file::Close(held);
  if (!engine) {
    Fail("Could not load the patch dll.", "Error loading patcheng.dll",
         "Could not load the patch dll.");
    return false;
  }

  PatchApplyFn apply = reinterpret_cast<PatchApplyFn>(library::Find(engine, OLK_ENGINE_EXPORT_NAME));
  if (!apply) {
    char message[128];
    text::Format(message, sizeof message, "Error binding to dll, %d",
                 static_cast<int>(process::LastError()));
    LogLine(message);
    library::Free(engine);
    return false;
  }

  LogLine("patching... ");
  char commandLine[kEngineCommandCapacity];
  bool fits = text::Copy(commandLine, sizeof commandLine, "\"") &&
              text::Append(commandLine, sizeof commandLine, installFolder) &&
              text::Append(commandLine, sizeof commandLine, "\" \"") &&
              text::Append(commandLine, sizeof commandLine, patchPath) &&
              text::Append(commandLine, sizeof commandLine, "\"");
  if (!fits) {
    library::Free(engine);
    ForceDeleteFile(enginePath);
    ForceDeleteFile(patchPath);
    return RefuseTooLong("patch engine's command line");
  }
  process::DebugOutput(commandLine);
  LogLine(commandLine);

  int32_t result = apply(commandLine, PatchEngineCallback, OLK_ENGINE_FLAG);

  library::Free(engine);
  ForceDeleteFile(enginePath);
  ForceDeleteFile(patchPath);

  char message[128];
  text::Format(message, sizeof message, "PatchApply returned %d", result);
  LogLine(message);

  if (result != kEngineOk) {
    ReportEngineResult(result);
    return false;
  }
  LogLine("updating timestamp on quandrel.code");
  char bundle[kPathCapacity];
  if (JoinPath(bundle, sizeof bundle, installFolder, kScriptBundle))
    TouchFile(bundle);
  else
    LogLine("unable to open script\\quandrel.code: the path is too long");
  LogLine("done");
  return true;
}
