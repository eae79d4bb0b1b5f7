// olkpack diff: patch data from two folder trees.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "atomic_output.h"
#include "commands.h"
#include "diagnostics.h"
#include "engine_commands.h"
#include "olkeng/engine.h"

namespace {

// The engine writes through its File interface; this one feeds the
// all-or-nothing output file.
class AtomicFile : public olk::File {
 public:
  explicit AtomicFile(AtomicOutput* out) : out_(out) {}
  olk::IoStatus ReadAt(uint64_t, void*, size_t, size_t* got) override {
    *got = 0;
    return olk::IoStatus::kIoError;
  }
  olk::IoStatus Write(const void* buf, size_t n) override {
    if (!out_->Write(buf, n)) return olk::IoStatus::kIoError;
    size_ += n;
    return olk::IoStatus::kOk;
  }
  olk::IoStatus Flush() override { return olk::IoStatus::kOk; }
  olk::IoStatus Close() override { return olk::IoStatus::kOk; }
  uint64_t Size() const override { return size_; }

 private:
  AtomicOutput* out_;
  uint64_t size_ = 0;
};

std::string Bytes(uint64_t n) {
  char buf[64];
  if (n >= 10ull << 20)
    snprintf(buf, sizeof buf, "%.1f MiB", n / 1048576.0);
  else if (n >= 10ull << 10)
    snprintf(buf, sizeof buf, "%.1f KiB", n / 1024.0);
  else
    snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(n));
  return buf;
}

}  // namespace

int RunDiff(int argc, char** argv) {
  const char* old_dir = nullptr;
  const char* new_dir = nullptr;
  const char* out_path = nullptr;
  unsigned threads = 0;
  bool quiet = false;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      out_path = argv[++i];
    } else if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = static_cast<unsigned>(atoi(argv[++i]));
    } else if (strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (argv[i][0] == '-') {
      return Usage("diff");
    } else if (!old_dir) {
      old_dir = argv[i];
    } else if (!new_dir) {
      new_dir = argv[i];
    } else {
      return Usage("diff");
    }
  }
  if (!old_dir || !new_dir || !out_path) return Usage("diff");

  std::unique_ptr<olk::FileSystem> old_fs = olk::NewNativeFileSystem(old_dir);
  std::unique_ptr<olk::FileSystem> new_fs = olk::NewNativeFileSystem(new_dir);
  olk::EntryInfo info;
  if (old_fs->Stat("", &info) != olk::IoStatus::kOk || info.type != olk::EntryType::kDirectory)
    return Fail(old_dir, "not a folder");
  if (new_fs->Stat("", &info) != olk::IoStatus::kOk || info.type != olk::EntryType::kDirectory)
    return Fail(new_dir, "not a folder");

  AtomicOutput out(out_path);
  if (!out.Create()) return Fail(out_path, out.Error());
  AtomicFile file(&out);

  olk::BuildOptions options;
  options.threads = threads;
  const bool show = !quiet && isatty(STDERR_FILENO);
  if (show) {
    options.progress = [](const olk::BuildProgress& p) {
      unsigned pct = p.bytes_total ? static_cast<unsigned>(p.bytes_done * 100 / p.bytes_total) : 100;
      fprintf(stderr, "\rolkpack diff: %3u%%  %llu/%llu files", pct, static_cast<unsigned long long>(p.files_done),
              static_cast<unsigned long long>(p.files_total));
      fflush(stderr);
    };
  }
  olk::BuildStats stats;
  std::string error;
  olk::Result r = olk::BuildPatch(*old_fs, *new_fs, file, options, &stats, &error);
  if (show) fprintf(stderr, "\r\033[K");
  if (r != olk::Result::kOk) return Fail(out_path, error.empty() ? olk::ResultName(r) : error);
  if (!out.Finish() || !out.Commit()) return Fail(out_path, out.Error());
  if (!quiet) {
    fprintf(stderr,
            "olkpack diff: %llu added, %llu removed, %llu changed, %llu unchanged files; "
            "%llu folders added, %llu removed\n"
            "olkpack diff: old %s, new %s, patch %s\n",
            static_cast<unsigned long long>(stats.files_added), static_cast<unsigned long long>(stats.files_removed),
            static_cast<unsigned long long>(stats.files_changed),
            static_cast<unsigned long long>(stats.files_unchanged),
            static_cast<unsigned long long>(stats.folders_added),
            static_cast<unsigned long long>(stats.folders_removed), Bytes(stats.old_bytes).c_str(),
            Bytes(stats.new_bytes).c_str(), Bytes(stats.patch_bytes).c_str());
  }
  return 0;
}
