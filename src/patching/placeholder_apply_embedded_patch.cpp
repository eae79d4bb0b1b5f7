// PLACEHOLDER until the patch engine and patch application land: it changes
// nothing in the install folder. It checks that the archive carries a patch
// data member and the engine, so that a run without them still fails, and
// otherwise reports success so the rest of a run can be exercised.
#include <string.h>

#include "archive/embedded_archive.h"
#include "patching/apply_embedded_patch.h"
#include "ui/progress_window.h"

bool ApplyEmbeddedPatch(const char* installFolder) {
  (void)installFolder;
  if (!g_embeddedArchive) return false;
  bool hasPatchData = false;
  bool hasEngine = false;
  for (unsigned i = 0;; ++i) {
    const char* name = g_embeddedArchive->MemberName(i);
    if (!name) break;
    if (strstr(name, "olk") || strstr(name, "OLK")) hasPatchData = true;
    if (strcmp(name, "patcheng.dll") == 0) hasEngine = true;
  }
  g_progressWindow->AppendLine("patch application is not built yet: nothing was changed");
  return hasPatchData && hasEngine;
}
