// olkpack apply: the engine applied natively, with its progress on stderr.
#include <stdio.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "command_line.h"
#include "engine_commands.h"
#include "host_system.h"
#include "json_report.h"
#include "olkeng/engine.h"
#include "progress.h"

namespace {

// The callback has no context argument (its shape is fixed by the DLL's
// contract), so the run's state lives here; one apply runs per process.
struct ApplyRun {
  ProgressDisplay* display = nullptr;
  bool quiet = false;
  std::map<std::string, uint64_t> fileSizes;  // new size of each file the patch writes
  uint64_t filesTotal = 0, bytesTotal = 0;
  uint64_t filesDone = 0, bytesDone = 0;
  uint64_t itemBytes = 0;  // of the item under way
  bool writing = false;    // past the check of the installed files
  bool inItem = false;
} g_run;

void ShowItem(uint32_t value) {
  const uint64_t part = g_run.itemBytes * (value & 0xFFFF) / olk::kProgressWhole;
  if (g_run.writing)
    g_run.display->Update(g_run.filesDone, g_run.filesTotal, g_run.bytesDone + part, g_run.bytesTotal);
  else
    g_run.display->Update(0, 0, part, g_run.itemBytes);
}

const char* Notify(uint32_t id, const void* param) {
  switch (id) {
    case olk::kNotifyInfo:
    case olk::kNotifyWarning:
    case olk::kNotifyError:
      g_run.display->Clear();
      if (!g_run.quiet || id == olk::kNotifyError)
        fprintf(stderr, "%s%s\n", id == olk::kNotifyWarning ? "warning: " : id == olk::kNotifyError ? "error: " : "",
                static_cast<const char*>(param));
      break;
    case olk::kNotifyItemStart: {
      const std::string name = static_cast<const char*>(param);
      auto it = g_run.fileSizes.find(name);
      if (it != g_run.fileSizes.end()) {
        if (!g_run.writing)
          g_run.display->Stage("writing " + std::to_string(g_run.filesTotal) + " files (" +
                               HumanBytes(g_run.bytesTotal) + ")");
        g_run.writing = true;
        g_run.itemBytes = it->second;
      } else {
        g_run.display->Stage(name);  // the check of the installed files
      }
      g_run.inItem = true;
      ShowItem(0);
      break;
    }
    case olk::kNotifyItemProgress:
      if (g_run.inItem) ShowItem(*static_cast<const uint32_t*>(param));
      break;
    case olk::kNotifyItemEnd:
      if (g_run.writing) {
        ++g_run.filesDone;
        g_run.bytesDone += g_run.itemBytes;
      }
      ShowItem(olk::kProgressWhole);
      g_run.inItem = false;
      break;
    default:
      break;
  }
  return "";
}

}  // namespace

int RunApply(int argc, char** argv) {
  CommandLine cli("apply");
  std::string dir, patchPath;
  bool quiet = false, json = false, noSync = false;
  cli.app().add_option("DIR", dir, "the client folder to patch")->required();
  cli.app().add_option("PATCH.pat", patchPath, "the patch data")->required();
  cli.app().add_flag("--quiet", quiet, "no progress on stderr (errors are still shown)");
  cli.app().add_flag("--json", json, "one JSON object with the result code, counts and timing on stdout");
  cli.app().add_flag("--no-sync", noSync,
                     "skip flushing the new files to disk before the commit (scratch folders and "
                     "measurements only; the installer always flushes)");
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

  const auto start = std::chrono::steady_clock::now();
  ProgressDisplay display("apply", ChooseProgressForm(quiet));
  g_run.display = &display;
  g_run.quiet = quiet;
  auto finish = [&](olk::Result r, const std::string& error) {
    display.Clear();
    if (!error.empty()) fprintf(stderr, "olkpack: %s\n", error.c_str());
    if (json) {
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      PrintJson({{"command", "apply"},
                 {"result", olk::ResultCode(r)},
                 {"result_name", olk::ResultName(r)},
                 {"files", {{"written", g_run.filesDone}, {"to_write", g_run.filesTotal}}},
                 {"bytes", {{"written", g_run.bytesDone}, {"to_write", g_run.bytesTotal}}},
                 {"seconds", seconds}});
    }
    return olk::ResultCode(r);
  };

  std::unique_ptr<olk::File> patch;
  olk::IoStatus s = olk::OpenNativeFile(host::NativePath(patchPath), &patch);
  if (s != olk::IoStatus::kOk)
    return finish(olk::Result::kCannotOpenPatch, patchPath + ": " + olk::IoStatusName(s));
  std::unique_ptr<olk::FileSystem> fs = olk::NewNativeFileSystem(host::NativePath(dir));
  olk::ApplyOptions options;
  options.callback = Notify;
  options.durable = !noSync;
  // The sizes of the files to write, for the progress in bytes, from the
  // manifest the engine has just checked.
  options.on_manifest = [](const olk::PatchInfo& info) {
    for (const olk::PatchEntry& e : info.entries) {
      if (e.kind != olk::EntryKind::kAddFile && e.kind != olk::EntryKind::kChangeFile) continue;
      g_run.fileSizes[e.path] = e.new_size;
      ++g_run.filesTotal;
      g_run.bytesTotal += e.new_size;
    }
  };
  display.Stage("reading " + patchPath);
  olk::Result r = olk::ApplyPatch(*fs, *patch, options);
  if (r != olk::Result::kOk)
    return finish(r, std::string("apply failed: ") + olk::ResultName(r) + " (" + std::to_string(olk::ResultCode(r)) + ")");
  display.Note("done: " + std::to_string(g_run.filesDone) + " files written (" + HumanBytes(g_run.bytesDone) + ")");
  return finish(r, "");
}
