// olkpack extract FILE.exe NAME -o OUT: one member to a file, looked up as
// the installer looks it up (first match, ASCII case ignored).
#include <string.h>

#include <string>

#include "archive/embedded_archive.h"
#include "atomic_output.h"
#include "commands.h"
#include "diagnostics.h"

int RunExtract(int argc, char** argv) {
  std::string output;
  std::string positional[2];
  int positionals = 0;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "-o") == 0 && i + 1 < argc && output.empty()) {
      output = argv[++i];
    } else if (argv[i][0] == '-' || positionals == 2) {
      return Usage("extract");
    } else {
      positional[positionals++] = argv[i];
    }
  }
  if (positionals != 2 || output.empty()) return Usage("extract");
  const std::string& path = positional[0];
  const std::string& name = positional[1];

  EmbeddedArchive archive(path.c_str());
  if (!archive.Open()) return Fail(path, DescribeOpenFailure(archive, path));
  uint32_t size = 0;
  const void* member = archive.MapMember(name.c_str(), size);
  if (!member) {
    for (uint32_t i = 0; i < archive.EntryCount(); ++i)
      if (strcasecmp(archive.Entry(i).name, name.c_str()) == 0)
        return Fail(path, "cannot map member \"" + name + "\"");
    return Fail(path, "no member named \"" + name + "\"");
  }

  AtomicOutput out(output);
  bool written = out.Create() && out.Write(member, size) && out.Finish() && out.Commit();
  archive.UnmapMember(member);
  if (!written) return Fail(output, out.Error());
  return 0;
}
