// olkpack apply: the engine applied natively, with a progress bar.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "commands.h"
#include "engine_commands.h"
#include "olkeng/engine.h"

namespace {

// The callback has no context argument (its shape is fixed by the DLL's
// contract), so the bar's state lives here; one apply runs per process.
struct BarState {
  bool tty = false;
  bool quiet = false;
  bool bar_shown = false;
  std::string item;
  uint32_t items = 0;
  uint32_t done = 0;
} g_bar;

void ClearBar() {
  if (g_bar.bar_shown) {
    fputs("\r\033[K", stderr);
    g_bar.bar_shown = false;
  }
}

void DrawBar(uint32_t value) {
  if (!g_bar.tty || g_bar.quiet) return;
  unsigned pct = (value & 0xFFFF) * 100 / olk::kProgressWhole;
  if (pct > 100) pct = 100;
  const int width = 30;
  int filled = static_cast<int>(pct * width / 100);
  std::string name = g_bar.item.size() > 40 ? "..." + g_bar.item.substr(g_bar.item.size() - 37) : g_bar.item;
  fprintf(stderr, "\r\033[K[%.*s%.*s] %3u%% (%u/%u) %s", filled, "##############################", width - filled,
          "..............................", pct, g_bar.done, g_bar.items, name.c_str());
  fflush(stderr);
  g_bar.bar_shown = true;
}

const char* Notify(uint32_t id, const void* param) {
  switch (id) {
    case olk::kNotifyInfo:
    case olk::kNotifyWarning:
    case olk::kNotifyError:
      ClearBar();
      if (!g_bar.quiet || id == olk::kNotifyError)
        fprintf(stderr, "%s%s\n", id == olk::kNotifyWarning ? "warning: " : id == olk::kNotifyError ? "error: " : "",
                static_cast<const char*>(param));
      break;
    case olk::kNotifyDetail:
      break;
    case olk::kNotifyItemCount:
      g_bar.items = *static_cast<const uint32_t*>(param);
      break;
    case olk::kNotifyItemStart:
      g_bar.item = static_cast<const char*>(param);
      DrawBar(0);
      break;
    case olk::kNotifyItemProgress:
      DrawBar(*static_cast<const uint32_t*>(param));
      break;
    case olk::kNotifyItemEnd:
      ++g_bar.done;
      DrawBar(olk::kProgressWhole);
      break;
    default:
      break;
  }
  return "";
}

}  // namespace

int RunApply(int argc, char** argv) {
  const char* dir = nullptr;
  const char* patch_path = nullptr;
  bool durable = true;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--quiet") == 0) {
      g_bar.quiet = true;
    } else if (strcmp(argv[i], "--no-sync") == 0) {
      durable = false;
    } else if (argv[i][0] == '-') {
      return Usage("apply");
    } else if (!dir) {
      dir = argv[i];
    } else if (!patch_path) {
      patch_path = argv[i];
    } else {
      return Usage("apply");
    }
  }
  if (!dir || !patch_path) return Usage("apply");
  g_bar.tty = isatty(STDERR_FILENO);

  std::unique_ptr<olk::File> patch;
  olk::IoStatus s = olk::OpenNativeFile(patch_path, &patch);
  if (s != olk::IoStatus::kOk) {
    fprintf(stderr, "olkpack: %s: %s\n", patch_path, olk::IoStatusName(s));
    return olk::ResultCode(olk::Result::kCannotOpenPatch);
  }
  std::unique_ptr<olk::FileSystem> fs = olk::NewNativeFileSystem(dir);
  olk::ApplyOptions options;
  options.callback = Notify;
  options.durable = durable;
  olk::Result r = olk::ApplyPatch(*fs, *patch, options);
  ClearBar();
  if (r != olk::Result::kOk) fprintf(stderr, "olkpack: apply failed: %s (%d)\n", olk::ResultName(r), olk::ResultCode(r));
  return olk::ResultCode(r);
}
