// olkpack diff: patch data from two folder trees.
#include <stdio.h>

#include <chrono>
#include <memory>
#include <string>

#include "atomic_output.h"
#include "command_line.h"
#include "diagnostics.h"
#include "engine_commands.h"
#include "json_report.h"
#include "olkeng/engine.h"
#include "progress.h"
#include "tree_options.h"

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

// With --json a failure is an object too, besides the error line.
int Failed(bool json, const std::string& file, const std::string& cause) {
  if (json) PrintJson({{"command", "diff"}, {"result", 1}, {"error", file + ": " + cause}});
  return Fail(file, cause);
}

}  // namespace

int RunDiff(int argc, char** argv) {
  CommandLine cli("diff");
  std::string oldDir, newDir, outPath;
  unsigned threads = 0;
  bool quiet = false, json = false;
  TreeChoice choice;
  cli.app().add_option("OLD_DIR", oldDir, "the build the players have")->required();
  cli.app().add_option("NEW_DIR", newDir, "the build to patch them to")->required();
  cli.app().add_option("-o,--output", outPath, "the patch data to write")->required()->type_name("OUT.pat");
  cli.app().add_option("--threads", threads, "threads to encode with (default: one per core)")
      ->check(CLI::Range(1u, 1024u));
  unsigned format_version = 0;
  cli.app()
      .add_option("--format-version", format_version,
                   "patch data format to write (default: the latest; 2 for installers that read no later)")
      ->check(CLI::Range(1u, 65535u));
  choice.Add(cli.app());
  cli.app().add_flag("--quiet", quiet, "no progress and no summary on stderr");
  cli.app().add_flag("--json", json, "one JSON object with counts, sizes and timing on stdout");
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

  const auto start = std::chrono::steady_clock::now();
  olk::BuildOptions options;
  options.threads = threads;
  options.format_version = static_cast<uint16_t>(format_version);
  std::string file, cause;
  if (!choice.Apply(options, file, cause)) return Failed(json, file, cause);
  std::unique_ptr<olk::FileSystem> oldTree = choice.OpenTree(oldDir);
  std::unique_ptr<olk::FileSystem> newTree = choice.OpenTree(newDir);
  olk::EntryInfo info;
  if (oldTree->Stat("", &info) != olk::IoStatus::kOk || info.type != olk::EntryType::kDirectory)
    return Failed(json, oldDir, "not a folder");
  if (newTree->Stat("", &info) != olk::IoStatus::kOk || info.type != olk::EntryType::kDirectory)
    return Failed(json, newDir, "not a folder");

  AtomicOutput out(outPath);
  if (!out.Create()) return Failed(json, outPath, out.Error());
  AtomicFile patch(&out);

  ProgressDisplay progress("diff", ChooseProgressForm(quiet));
  progress.Stage("comparing " + oldDir + " and " + newDir);
  bool encoding = false;
  options.progress = [&](const olk::BuildProgress& p) {
    if (!encoding) {
      encoding = true;
      progress.Stage("encoding " + std::to_string(p.files_total) + " files (" + HumanBytes(p.bytes_total) + ")");
    }
    progress.Update(p.files_done, p.files_total, p.bytes_done, p.bytes_total);
    // What remains (the index, the layout, the writing) has no count.
    if (p.files_done == p.files_total) progress.Stage("writing the patch data");
  };
  olk::BuildStats stats;
  std::string error;
  olk::Result r = olk::BuildPatch(*oldTree, *newTree, patch, options, &stats, &error);
  progress.Clear();
  if (r != olk::Result::kOk) return Failed(json, outPath, error.empty() ? olk::ResultName(r) : error);
  if (!out.Finish() || !out.Commit()) return Failed(json, outPath, out.Error());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  progress.Note(std::to_string(stats.files_added) + " added, " + std::to_string(stats.files_removed) +
                " removed, " + std::to_string(stats.files_changed) + " changed, " +
                std::to_string(stats.files_unchanged) + " unchanged files; " + std::to_string(stats.folders_added) +
                " folders added, " + std::to_string(stats.folders_removed) + " removed");
  progress.Note("old " + HumanBytes(stats.old_bytes) + ", new " + HumanBytes(stats.new_bytes) + ", patch " +
                HumanBytes(stats.patch_bytes));
  if (json) {
    nlohmann::json report = {
        {"command", "diff"},
        {"result", 0},
        {"output", outPath},
        {"files",
         {{"added", stats.files_added},
          {"removed", stats.files_removed},
          {"changed", stats.files_changed},
          {"unchanged", stats.files_unchanged}}},
        {"folders", {{"added", stats.folders_added}, {"removed", stats.folders_removed}}},
        {"bytes", {{"old", stats.old_bytes}, {"new", stats.new_bytes}, {"patch", stats.patch_bytes}}},
        {"seconds", seconds},
    };
    if (!PrintJson(report)) return Fail(outPath, "cannot write the report");
  }
  return 0;
}
