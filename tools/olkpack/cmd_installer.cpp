// olkpack installer --from 3550 --to 3551 OLD_DIR NEW_DIR -o OUT.exe
//                   [--stub STUB.exe] [--engine patcheng.dll] [--threads N]
//                   [tree options] [--sign CERT.pfx ...] [--quiet]
//
// One command from two client builds to a ready installer: the patch data
// (as `diff` makes it), the version-info member and the engine, packed onto
// the stub (as `pack` does), then listed to check it. The stub and the
// engine default to the ones beside this tool, or else to those of the
// Windows build beside its build (build/win32). With --sign the installer
// is signed before it appears at the output.
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "authenticode.h"
#include "command_line.h"
#include "commands.h"
#include "diagnostics.h"
#include "engine_commands.h"
#include "host_system.h"
#include "progress.h"
#include "tree_options.h"

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

// NAME in this tool's own folder (as olkpack.exe is shipped), or else
// build/win32/NAME beside build/native/olkpack (or build/win64/olkpack.exe).
std::string BesideTool(const char* name) {
  const std::string self = host::OwnProgramPath();
  if (self.empty()) return name;
  const std::string folder = host::FolderOf(self);
  const std::string own = host::JoinPath(folder, name);
  std::unique_ptr<olk::File> probe;
  std::string cause;
  if (host::OpenForReading(own, &probe, &cause) == olk::IoStatus::kOk) return own;
  return host::JoinPath(host::JoinPath(host::FolderOf(folder), "win32"), name);
}

int RunWith(int (*command)(int, char**), std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return command(static_cast<int>(args.size()), argv.data());
}

// The temporary folder of one run, removed on every way out.
struct ScratchFolder {
  std::string path;
  ~ScratchFolder() {
    if (!path.empty()) host::RemoveScratchFolder(path);
  }
};

}  // namespace

int RunInstaller(int argc, char** argv) {
  CommandLine cli("installer");
  std::string from, to, oldDir, newDir, output, stub, engine, threads;
  SigningKey key;
  TreeChoice choice;
  bool quiet = false;
  CLI::App& app = cli.app();
  app.add_option("--from", from, "the client build the installer patches")->required()->type_name("BUILD");
  app.add_option("--to", to, "the client build it makes")->required()->type_name("BUILD");
  app.add_option("OLD_DIR", oldDir, "the build the players have")->required();
  app.add_option("NEW_DIR", newDir, "the build to patch them to")->required();
  app.add_option("-o,--output", output, "the installer to write")->required()->type_name("OUT.exe");
  app.add_option("--stub", stub, "the installer program (default: olkpatch.exe of the build beside this tool)");
  app.add_option("--engine", engine, "the patch engine (default: patcheng.dll of the build beside this tool)");
  app.add_option("--threads", threads, "threads to encode with (default: one per core)");
  choice.Add(app);
  CLI::Option* sign = app.add_option("--sign", key.certificate, "sign the installer with the key and "
                                     "certificates of this PKCS#12 file (osslsigncode)")->type_name("CERT.pfx");
  app.add_option("--sign-password-file", key.passwordFile, "the first line of FILE is the password of CERT.pfx")
      ->needs(sign)->type_name("FILE");
  app.add_option("--timestamp-url", key.timestampUrl, "have the signature time-stamped by this RFC 3161 server")
      ->needs(sign)->type_name("URL");
  app.add_flag("--quiet", quiet, "no progress on stderr");
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

  if (!IsBuildNumber(from)) return Fail("--from " + from, "not a build number");
  if (!IsBuildNumber(to)) return Fail("--to " + to, "not a build number");
  if (atol(from.c_str()) == atol(to.c_str()))
    return Fail("--from " + from + " --to " + to, "the builds are equal: there is nothing to patch");
  for (const std::string& tree : {oldDir, newDir})
    if (!host::IsFolder(tree)) return Fail(tree, "not a readable folder");
  if (stub.empty()) stub = BesideTool("olkpatch.exe");
  if (engine.empty()) engine = BesideTool("patcheng.dll");
  std::string engineBytes, cause;
  for (const std::string& input : {stub, engine}) {
    std::unique_ptr<olk::File> probe;
    if (host::OpenForReading(input, &probe, &cause) != olk::IoStatus::kOk)
      return Fail(input, "cannot be read (build it, or name another with --stub/--engine)");
  }
  const bool signing = !key.certificate.empty();
  if (signing) {
    std::string file;
    if (!CheckSigningKey(key, file, cause)) return Fail(file, cause);
  }

  // Scratch space beside the output, so the members are on its volume.
  ScratchFolder scratch;
  const std::string outDir = host::FolderOf(output);
  if (!host::MakeScratchFolder(outDir, ".olkpack-installer-", &scratch.path, &cause))
    return Fail(outDir, "cannot make a scratch folder there");

  ProgressDisplay progress("installer", ChooseProgressForm(quiet));
  const std::string versionInfo = host::JoinPath(scratch.path, "versionInfoFile.txt");
  if (!host::WriteNewFile(versionInfo, from + "\r\n" + to + "\r\n", &cause))
    return Fail(versionInfo, "cannot be written: " + cause);
  const std::string engineMember = host::JoinPath(scratch.path, "patcheng.dll");
  if (!host::ReadWholeFile(engine, &engineBytes, &cause) || !host::WriteNewFile(engineMember, engineBytes, &cause))
    return Fail(engine, "cannot be copied: " + cause);
  // The installer finds its patch data by the "OLK" in the member's name.
  const std::string patchData = host::JoinPath(scratch.path, "OLK." + from + "-" + to + ".pat");

  progress.Stage("patch data from " + oldDir + " to " + newDir);
  progress.Clear();
  std::vector<std::string> diff = {oldDir, newDir, "-o", patchData};
  if (!threads.empty()) diff.insert(diff.end(), {"--threads", threads});
  const std::vector<std::string> rules = choice.Arguments();
  diff.insert(diff.end(), rules.begin(), rules.end());
  if (quiet) diff.push_back("--quiet");
  if (int status = RunWith(RunDiff, diff)) return status;
  // A signed installer is packed in the scratch folder and appears at the
  // output only once signed.
  const std::string packed = signing ? host::JoinPath(scratch.path, "unsigned.exe") : output;
  progress.Stage("packing onto " + stub);
  if (int status = RunWith(RunPack, {"--stub", stub, "-o", packed, versionInfo, engineMember, patchData}))
    return status;
  if (signing) {
    progress.Stage("signing with " + key.certificate);
    if (!SignProgram(key, packed, output, cause)) return Fail(output, cause);
  }
  progress.Clear();
  return RunWith(RunList, {output});
}
