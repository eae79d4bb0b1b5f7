#include "driver/client_guard.h"
#include "platform/platform.h"

namespace {
const int kPauseSteps = 10;
const unsigned kPauseStepMs = 300;
}  // namespace

void PauseWithMessages() {
  for (int step = 0; step < kPauseSteps; ++step) {
    platform::process::SleepMs(kPauseStepMs);
    platform::ui::DrainMessages();
  }
}
