// olkpack installer --from 3550 --to 3551 OLD_DIR NEW_DIR -o OUT.exe
//                   [--stub STUB.exe] [--engine patcheng.dll] [--threads N]
//
// One command from two client builds to a ready installer: the patch data
// (as `diff` makes it), the version-info member and the engine, packed onto
// the stub (as `pack` does), then listed to check it. The stub and the
// engine default to the ones built beside this tool (build/win32).
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "diagnostics.h"
#include "engine_commands.h"

namespace fs = std::filesystem;

namespace {

// A build number as the installer reads it: decimal digits, an optional sign.
bool IsBuildNumber(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// build/win32/NAME beside build/native/olkpack.
std::string BesideTool(const char* name) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return name;
  return (self.parent_path().parent_path() / "win32" / name).string();
}

int RunWith(int (*command)(int, char**), std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return command(static_cast<int>(args.size()), argv.data());
}

// The temporary folder of one run, removed on every way out.
struct ScratchFolder {
  fs::path path;
  ~ScratchFolder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

}  // namespace

int RunInstaller(int argc, char** argv) {
  std::string from, to, output, stub, engine, threads;
  std::vector<std::string> trees;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc || !into.empty()) return false;
      into = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == "--from") ok = value(from);
    else if (arg == "--to") ok = value(to);
    else if (arg == "-o") ok = value(output);
    else if (arg == "--stub") ok = value(stub);
    else if (arg == "--engine") ok = value(engine);
    else if (arg == "--threads") ok = value(threads);
    else if (!arg.empty() && arg[0] == '-') ok = false;
    else trees.push_back(arg);
    if (!ok) return Usage("installer");
  }
  if (from.empty() || to.empty() || output.empty() || trees.size() != 2) return Usage("installer");
  if (!IsBuildNumber(from)) return Fail("--from " + from, "not a build number");
  if (!IsBuildNumber(to)) return Fail("--to " + to, "not a build number");
  if (atol(from.c_str()) == atol(to.c_str()))
    return Fail("--from " + from + " --to " + to, "the builds are equal: there is nothing to patch");
  for (const std::string& tree : trees) {
    std::error_code ec;
    if (!fs::is_directory(tree, ec)) return Fail(tree, "not a readable folder");
  }
  if (stub.empty()) stub = BesideTool("olkpatch.exe");
  if (engine.empty()) engine = BesideTool("patcheng.dll");
  for (const std::string& input : {stub, engine}) {
    std::ifstream probe(input, std::ios::binary);
    if (!probe) return Fail(input, "cannot be read (build it, or name another with --stub/--engine)");
  }

  // Scratch space beside the output, so the members are on its volume.
  ScratchFolder scratch;
  fs::path outDir = fs::absolute(output).parent_path();
  std::string pattern = (outDir / ".olkpack-installer-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) return Fail(outDir.string(), "cannot make a scratch folder there");
  scratch.path = buffer.data();

  fs::path versionInfo = scratch.path / "versionInfoFile.txt";
  {
    std::ofstream out(versionInfo, std::ios::binary);
    out << from << "\r\n" << to << "\r\n";
    if (!out) return Fail(versionInfo.string(), "cannot be written");
  }
  fs::path engineMember = scratch.path / "patcheng.dll";
  std::error_code ec;
  fs::copy_file(engine, engineMember, ec);
  if (ec) return Fail(engine, "cannot be copied: " + ec.message());
  // The installer finds its patch data by the "OLK" in the member's name.
  fs::path patchData = scratch.path / ("OLK." + from + "-" + to + ".pat");

  std::vector<std::string> diff = {trees[0], trees[1], "-o", patchData.string()};
  if (!threads.empty()) diff.insert(diff.end(), {"--threads", threads});
  if (int status = RunWith(RunDiff, diff)) return status;
  if (int status = RunWith(RunPack, {"--stub", stub, "-o", output, versionInfo.string(),
                                     engineMember.string(), patchData.string()}))
    return status;
  return RunWith(RunList, {output});
}
