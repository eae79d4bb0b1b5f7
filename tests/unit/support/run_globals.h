// The installer's two process-wide objects as a run has them once the target
// folder is accepted: the archive reader on the program's own file and the
// progress window on the client folder. A real run never destroys them (the
// process ends with them); tests replace and release them.
#pragma once

#include <filesystem>

#include "archive/embedded_archive.h"
#include "platform/host/host_control.h"
#include "ui/progress_window.h"

inline void CloseRunGlobals() {
  delete g_embeddedArchive;
  g_embeddedArchive = nullptr;
  delete g_progressWindow;
  g_progressWindow = nullptr;
}

// Replaces both objects with fresh ones; the progress window as the user
// sees it.
inline platform::host::FakeDialog* OpenRunGlobals(const std::filesystem::path& clientFolder) {
  CloseRunGlobals();
  g_embeddedArchive = new EmbeddedArchive();
  g_progressWindow = new ProgressWindow();
  g_progressWindow->Create(clientFolder.c_str());
  return platform::host::DialogOf(g_progressWindow->window);
}
