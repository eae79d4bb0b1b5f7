#include "driver/client_guard.h"

#include "platform/platform.h"

namespace {
const char kClientWindowClass[] = "pluvoScreen";
const int kCloseAttempts = 3;
const unsigned kWaitAfterCloseMs = 100;
// A client that does not answer the close request within this time is
// treated like one that ignores it, so a hung client cannot hang the
// installer: after three requests the user is told it is still running.
const unsigned kCloseAnswerTimeoutMs = 10000;
}  // namespace

bool CloseRunningClient() {
  using namespace platform;
  for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
    Window client = ui::FindByClass(kClientWindowClass);
    if (!client) return true;
    // Returns when the client's own thread has handled the request.
    ui::SendBounded(client, ui::kWmClose, kCloseAnswerTimeoutMs);
    process::SleepMs(kWaitAfterCloseMs);
    ui::Destroy(client);
  }
  return ui::FindByClass(kClientWindowClass) == nullptr;
}
