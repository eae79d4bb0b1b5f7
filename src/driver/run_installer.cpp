#include "archive/embedded_archive.h"
#include "driver/patch_driver.h"
#include "platform/platform.h"

int RunInstaller(void* moduleInstance, const char* commandLine) {
  // First of all: a self-extracting program usually runs from a downloads
  // folder, where a planted DLL must never be loaded in place of a system one.
  platform::process::RestrictDllSearchToSystem();
  platform::session::Begin(moduleInstance);
  g_embeddedArchive = new EmbeddedArchive();  // null when it cannot be made
  {
    PatchDriver driver;
    driver.Run(commandLine);
    // The quit request is already posted: this only drains what is queued.
    platform::ui::RunMessageLoop();
    delete g_embeddedArchive;
    g_embeddedArchive = nullptr;
    platform::session::End();
  }
  return 0;
}
