#include <new>

#include "archive/embedded_archive.h"
#include "driver/command_line.h"
#include "driver/patch_driver.h"
#include "platform/platform.h"

int RunInstaller(void* moduleInstance) {
  // First of all: a self-extracting program usually runs from a downloads
  // folder, where a planted DLL must never be loaded in place of a system one.
  platform::process::RestrictDllSearchToSystem();
  platform::session::Begin(moduleInstance);
  // Null when memory runs out: the version-info read then fails and says so.
  g_embeddedArchive = new (std::nothrow) EmbeddedArchive();
  {
    PatchDriver driver;
    driver.Run(SkipProgramName(platform::process::CommandLine()));
    // The quit request is already posted: this only drains what is queued.
    platform::ui::RunMessageLoop();
    delete g_embeddedArchive;
    g_embeddedArchive = nullptr;
    platform::session::End();
  }
  return 0;
}
