// olkpack check: would this patch apply to this folder? The engine's
// pre-flight alone, read-only, for support staff looking at a player's
// folder.
#include <stdio.h>

#include <memory>
#include <string>

#include "command_line.h"
#include "engine_commands.h"
#include "host_system.h"
#include "json_report.h"
#include "olkeng/engine.h"

namespace {

// The callback has no context argument; the engine's own lines are
// repeated only on request.
bool g_verbose = false;

const char* Notify(uint32_t id, const void* param) {
  if (g_verbose && (id == olk::kNotifyInfo || id == olk::kNotifyWarning || id == olk::kNotifyDetail))
    fprintf(stderr, "%s\n", static_cast<const char*>(param));
  return "";
}

}  // namespace

int RunCheck(int argc, char** argv) {
  CommandLine cli("check");
  std::string dir, patchPath;
  bool json = false;
  cli.app().add_option("DIR", dir, "the client folder to check")->required();
  cli.app().add_option("PATCH.pat", patchPath, "the patch data")->required();
  cli.app().add_flag("--json", json, "one JSON object with the result code and every finding on stdout");
  cli.app().add_flag("--verbose", g_verbose, "also show the engine's other log lines on stderr");
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

  olk::CheckReport report;
  std::unique_ptr<olk::File> patch;
  olk::IoStatus s = olk::OpenNativeFile(host::NativePath(patchPath), &patch);
  if (s != olk::IoStatus::kOk) {
    report.result = olk::Result::kCannotOpenPatch;
    report.findings.push_back({report.result, "", patchPath + ": " + olk::IoStatusName(s)});
  } else {
    std::unique_ptr<olk::FileSystem> fs = olk::NewNativeFileSystem(host::NativePath(dir));
    olk::CheckPatch(*fs, *patch, Notify, &report);
    if (report.result != olk::Result::kOk && report.findings.empty())
      report.findings.push_back({report.result, "", olk::ResultName(report.result)});
  }

  if (json) {
    nlohmann::json findings = nlohmann::json::array();
    for (const olk::CheckFinding& f : report.findings)
      findings.push_back({{"path", f.path}, {"result", olk::ResultCode(f.result)}, {"text", f.text}});
    PrintJson({{"command", "check"},
               {"result", olk::ResultCode(report.result)},
               {"result_name", olk::ResultName(report.result)},
               {"files", {{"to_write", report.files_to_write}, {"to_remove", report.files_to_remove}}},
               {"findings", findings}});
  } else {
    for (const olk::CheckFinding& f : report.findings)
      printf("%-3d %s\n", olk::ResultCode(f.result), f.text.c_str());
    if (report.result == olk::Result::kOk)
      printf("ok: the patch applies (%llu files to write, %llu to remove)\n",
             static_cast<unsigned long long>(report.files_to_write),
             static_cast<unsigned long long>(report.files_to_remove));
    else
      printf("the patch would stop with %d (%s)\n", olk::ResultCode(report.result), olk::ResultName(report.result));
  }
  return olk::ResultCode(report.result);
}
