#include "driver/client_guard.h"

#include "platform/platform.h"

namespace {
const char kClientWindowClass[] = "pluvoScreen";
const int kCloseAttempts = 3;
const unsigned kWaitAfterCloseMs = 100;
}  // namespace

bool CloseRunningClient() {
  using namespace platform;
  for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
    Window client = ui::FindByClass(kClientWindowClass);
    if (!client) return true;
    // Returns when the client's own thread has handled the request.
    ui::Send(client, ui::kWmClose, 0, 0);
    process::SleepMs(kWaitAfterCloseMs);
    ui::Destroy(client);
  }
  return ui::FindByClass(kClientWindowClass) == nullptr;
}
