#include "patching/patch_engine_callback.h"

#include "platform/platform.h"
#include "ui/progress_window.h"

const char* OLK_ENGINE_CALL PatchEngineCallback(uint32_t id, const void* param) {
  static const char kEmpty[] = "";
  platform::ui::DrainMessages();
  ProgressWindow* window = g_progressWindow;
  if (!window) return kEmpty;
  const char* text = static_cast<const char*>(param);
  switch (id) {
    case 1: case 2: case 3: case 4: case 10: case 11: case 12:
      window->AppendLine(text);
      break;
    case 5:
      if (param) {
        uint32_t progress = *static_cast<const uint32_t*>(param) & 0xFFFF;
        window->SetItemProgress(static_cast<int32_t>(progress * 100 / 32768));
      }
      break;
    case 6:
      if (param) window->SetTotalSteps(*static_cast<const int32_t*>(param));
      break;
    case 7:
      window->AppendLine(text);
      if (text) window->SetItemText(text);
      break;
    case 8:
      window->SetItemProgress(0);
      window->StepOverall();
      break;
    case 22:
      window->AppendLine("Searching for Systems to Update...");
      break;
    default:
      break;
  }
  return kEmpty;
}
