// olkpack info: what a patch data file holds.
#include <stdio.h>

#include <memory>
#include <string>

#include "command_line.h"
#include "engine_commands.h"
#include "host_system.h"
#include "json_report.h"
#include "olkeng/engine.h"

namespace {

const char* KindName(olk::EntryKind k) {
  switch (k) {
    case olk::EntryKind::kAddFolder: return "add-folder";
    case olk::EntryKind::kRemoveFolder: return "remove-folder";
    case olk::EntryKind::kAddFile: return "add";
    case olk::EntryKind::kRemoveFile: return "remove";
    case olk::EntryKind::kChangeFile: return "change";
  }
  return "?";
}

const char* EncodingName(olk::Encoding e) {
  switch (e) {
    case olk::Encoding::kNone: return "-";
    case olk::Encoding::kStored: return "stored";
    case olk::Encoding::kZstd: return "zstd";
    case olk::Encoding::kLzma2: return "lzma2";
    case olk::Encoding::kDelta: return "delta";
    case olk::Encoding::kCopy: return "copy";
    case olk::Encoding::kExecutableDelta: return "x86 delta";
    case olk::Encoding::kWindowedLz: return "windowed lz";
  }
  return "?";
}

bool HasOld(const olk::PatchEntry& e) {
  return e.kind == olk::EntryKind::kChangeFile || e.kind == olk::EntryKind::kRemoveFile;
}
bool HasNew(const olk::PatchEntry& e) {
  return e.kind == olk::EntryKind::kChangeFile || e.kind == olk::EntryKind::kAddFile;
}

}  // namespace

int RunInfo(int argc, char** argv) {
  CommandLine cli("info");
  std::string path;
  bool json = false;
  cli.app().add_option("PATCH.pat", path, "the patch data")->required();
  cli.app().add_flag("--json", json, "one JSON object with the entries on stdout instead of the table");
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

  auto refuse = [&](olk::Result r, const std::string& why) {
    fprintf(stderr, "olkpack: %s: %s\n", path.c_str(), why.c_str());
    if (json) PrintJson({{"command", "info"}, {"result", olk::ResultCode(r)}, {"error", path + ": " + why}});
    return olk::ResultCode(r);
  };
  std::unique_ptr<olk::File> patch;
  olk::IoStatus s = olk::OpenNativeFile(host::NativePath(path), &patch);
  if (s != olk::IoStatus::kOk) return refuse(olk::Result::kCannotOpenPatch, olk::IoStatusName(s));
  olk::PatchInfo info;
  olk::Result r = olk::ReadPatch(*patch, &info);
  if (r != olk::Result::kOk)
    return refuse(r, std::string(olk::ResultName(r)) + " (" + std::to_string(olk::ResultCode(r)) + ")");

  if (json) {
    nlohmann::json entries = nlohmann::json::array();
    for (const olk::PatchEntry& e : info.entries) {
      nlohmann::json entry = {{"kind", KindName(e.kind)}, {"path", e.path}};
      if (HasOld(e) || !e.source.empty()) entry["old_size"] = e.old_size;
      if (!e.source.empty()) entry["source"] = e.source;
      if (HasNew(e)) {
        entry["new_size"] = e.new_size;
        entry["coding"] = EncodingName(e.encoding);
        entry["payload"] = e.payload_size;
      }
      entries.push_back(entry);
    }
    PrintJson({{"command", "info"},
               {"result", 0},
               {"format_version", info.version},
               {"bytes", info.total_size},
               {"entries", entries}});
    return 0;
  }
  printf("format version %u, %llu bytes, %zu entries\n", info.version,
         static_cast<unsigned long long>(info.total_size), info.entries.size());
  printf("%-13s %-6s %12s %12s %12s  %s\n", "kind", "coding", "old size", "new size", "payload", "path");
  for (const olk::PatchEntry& e : info.entries) {
    char old_size[24] = "-", new_size[24] = "-", payload[24] = "-";
    if (HasOld(e) || !e.source.empty()) snprintf(old_size, sizeof old_size, "%llu", static_cast<unsigned long long>(e.old_size));
    if (HasNew(e)) {
      snprintf(new_size, sizeof new_size, "%llu", static_cast<unsigned long long>(e.new_size));
      snprintf(payload, sizeof payload, "%llu", static_cast<unsigned long long>(e.payload_size));
    }
    printf("%-13s %-6s %12s %12s %12s  %s%s%s\n", KindName(e.kind), EncodingName(e.encoding), old_size, new_size,
           payload, e.path.c_str(), e.source.empty() ? "" : "  <- ", e.source.c_str());
  }
  return 0;
}
