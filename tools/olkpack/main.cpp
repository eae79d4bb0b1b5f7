// olkpack: the authoring tool for the installer's appended archive.
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "engine_commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* usage;
};

// One row per subcommand; new ones only add a row.
const Command kCommands[] = {
    {"pack", RunPack, "pack --stub STUB.exe -o OUT.exe MEMBER_FILE..."},
    {"list", RunList, "list FILE.exe"},
    {"extract", RunExtract, "extract FILE.exe NAME -o OUT"},
    {"diff", RunDiff, "diff OLD_DIR NEW_DIR -o OUT.pat [--threads N] [--quiet]"},
    {"apply", RunApply, "apply DIR PATCH.pat [--quiet] [--no-sync]"},
    {"info", RunInfo, "info PATCH.pat"},
    {"installer", RunInstaller,
     "installer --from BUILD --to BUILD OLD_DIR NEW_DIR -o OUT.exe [--stub STUB.exe] "
     "[--engine patcheng.dll] [--threads N]"},
};

void PrintAllUsages(FILE* out) {
  for (const Command& c : kCommands) fprintf(out, "usage: olkpack %s\n", c.usage);
}

}  // namespace

int Usage(const char* command) {
  for (const Command& c : kCommands)
    if (strcmp(c.name, command) == 0) fprintf(stderr, "olkpack %s: usage: olkpack %s\n", c.name, c.usage);
  return 1;
}

int main(int argc, char** argv) {
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0)) {
    PrintAllUsages(stdout);
    return 0;
  }
  if (argc >= 2) {
    for (const Command& c : kCommands)
      if (strcmp(c.name, argv[1]) == 0) return c.run(argc - 2, argv + 2);
    fprintf(stderr, "olkpack: unknown command \"%s\" (try olkpack --help)\n", argv[1]);
    return 1;
  }
  fprintf(stderr, "olkpack: no command given (try olkpack --help)\n");
  return 1;
}
