// olkpack: the authoring tool for the installer and its patch data.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "engine_commands.h"
#include "host_system.h"

#ifndef OLKPACK_VERSION
#define OLKPACK_VERSION "unknown"
#endif

namespace {

// One row per subcommand; new ones only add a row.
const CommandInfo kCommands[] = {
    {"diff", RunDiff,
     "diff OLD_DIR NEW_DIR -o OUT.pat [--threads N] [--format-version N] [--exclude PATTERN]... [--exclude-from FILE] "
     "[--links refuse|skip|follow] [--quiet] [--json]",
     "Builds patch data that turns the folder tree OLD_DIR into NEW_DIR."},
    {"installer", RunInstaller,
     "installer --from BUILD --to BUILD OLD_DIR NEW_DIR -o OUT.exe [--stub STUB.exe] "
     "[--engine patcheng.dll] [--threads N] [--exclude PATTERN]... [--exclude-from FILE] "
     "[--links refuse|skip|follow] [--sign CERT.pfx [--sign-password-file FILE] "
     "[--timestamp-url URL]] [--quiet]",
     "Makes a ready installer from two client builds: patch data, version info and engine on the "
     "stub, signed on request."},
    {"apply", RunApply, "apply DIR PATCH.pat [--quiet] [--json] [--no-sync]",
     "Applies patch data to a client folder, as the installer does."},
    {"check", RunCheck, "check DIR PATCH.pat [--json] [--verbose]",
     "Tells, without changing anything, whether patch data would apply to a client folder, and lists "
     "every file that stands in the way."},
    {"info", RunInfo, "info PATCH.pat [--json]", "Checks patch data and lists its entries."},
    {"sign", RunSign,
     "sign FILE.exe --cert CERT.pfx [--password-file FILE] [--timestamp-url URL] [-o OUT.exe]",
     "Signs a program (an installer) with Authenticode, in place or into OUT.exe."},
    {"pack", RunPack, "pack --stub STUB.exe -o OUT.exe MEMBER_FILE...",
     "Appends an archive of the member files to the stub."},
    {"list", RunList, "list FILE.exe", "Lists the members of an installer's archive."},
    {"extract", RunExtract, "extract FILE.exe NAME -o OUT",
     "Copies one member of an installer's archive to a file."},
};

const char kExitStatus[] =
    "exit status:\n"
    "  0    success (and after --help or --version)\n"
    "  1    a mistake on the command line, or a failure, told in one line on stderr\n"
    "  apply, check and info end with the engine's result code instead of 1 when the engine refuses:\n"
    "  2 out of memory, 7 the patch data cannot be read, 9 invalid patch data,\n"
    "  15 a file to update is missing, 18 a file or folder cannot be created,\n"
    "  29 not enough disk space, 36 a file to update has unexpected contents,\n"
    "  38 a file is in use or not writable\n";

void PrintHelp() {
  printf("olkpack %s: makes and checks the installer and its patch data.\n\ncommands:\n", OLKPACK_VERSION);
  for (const CommandInfo& c : kCommands) printf("  %-10s %s\n", c.name, c.summary);
  printf("\nolkpack help CMD (or olkpack CMD --help) tells more of one command.\n\n%s", kExitStatus);
}

}  // namespace

const CommandInfo* FindCommand(const std::string& name) {
  for (const CommandInfo& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

namespace {

int Run(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "olkpack: no command given (try olkpack --help)\n");
    return 1;
  }
  const std::string first = argv[1];
  if (first == "--version" || first == "-V") {
    if (argc != 2) {
      fprintf(stderr, "olkpack: --version takes no arguments\n");
      return 1;
    }
    printf("olkpack %s\n", OLKPACK_VERSION);
    return 0;
  }
  if (first == "--help" || first == "-h" || (first == "help" && argc == 2)) {
    PrintHelp();
    return 0;
  }
  if (first == "help") {
    const CommandInfo* c = argc == 3 ? FindCommand(argv[2]) : nullptr;
    if (!c) {
      fprintf(stderr, "olkpack: help: %s (try olkpack --help)\n",
              argc == 3 ? ("unknown command \"" + std::string(argv[2]) + "\"").c_str() : "name one command");
      return 1;
    }
    char help[] = "--help";
    char* args[] = {help, nullptr};
    return c->run(1, args);
  }
  if (const CommandInfo* c = FindCommand(first)) return c->run(argc - 2, argv + 2);
  fprintf(stderr, "olkpack: unknown command \"%s\" (try olkpack --help)\n", argv[1]);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  host::PrepareConsole();
  // UTF-8 arguments on every system (on Windows, argv is in the ANSI code
  // page and cannot carry every name).
  std::vector<std::string> args = host::ProgramArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(&a[0]);
  pointers.push_back(nullptr);
  return Run(static_cast<int>(args.size()), pointers.data());
}
