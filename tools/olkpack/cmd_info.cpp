// olkpack info: what a patch data file holds.
#include <stdio.h>

#include <memory>

#include "commands.h"
#include "engine_commands.h"
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
  }
  return "?";
}

}  // namespace

int RunInfo(int argc, char** argv) {
  if (argc != 1) return Usage("info");
  std::unique_ptr<olk::File> patch;
  olk::IoStatus s = olk::OpenNativeFile(argv[0], &patch);
  if (s != olk::IoStatus::kOk) {
    fprintf(stderr, "olkpack: %s: %s\n", argv[0], olk::IoStatusName(s));
    return olk::ResultCode(olk::Result::kCannotOpenPatch);
  }
  olk::PatchInfo info;
  olk::Result r = olk::ReadPatch(*patch, &info);
  if (r != olk::Result::kOk) {
    fprintf(stderr, "olkpack: %s: %s (%d)\n", argv[0], olk::ResultName(r), olk::ResultCode(r));
    return olk::ResultCode(r);
  }
  printf("format version %u, %llu bytes, %zu entries\n", info.version,
         static_cast<unsigned long long>(info.total_size), info.entries.size());
  printf("%-13s %-6s %12s %12s %12s  %s\n", "kind", "coding", "old size", "new size", "payload", "path");
  for (const olk::PatchEntry& e : info.entries) {
    const bool has_old = e.kind == olk::EntryKind::kChangeFile || e.kind == olk::EntryKind::kRemoveFile;
    const bool has_new = e.kind == olk::EntryKind::kChangeFile || e.kind == olk::EntryKind::kAddFile;
    char old_size[24] = "-", new_size[24] = "-", payload[24] = "-";
    if (has_old) snprintf(old_size, sizeof old_size, "%llu", static_cast<unsigned long long>(e.old_size));
    if (has_new) {
      snprintf(new_size, sizeof new_size, "%llu", static_cast<unsigned long long>(e.new_size));
      snprintf(payload, sizeof payload, "%llu", static_cast<unsigned long long>(e.payload_size));
    }
    printf("%-13s %-6s %12s %12s %12s  %s\n", KindName(e.kind), EncodingName(e.encoding), old_size, new_size, payload,
           e.path.c_str());
  }
  return 0;
}
