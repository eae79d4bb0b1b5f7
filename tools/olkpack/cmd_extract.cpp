// olkpack extract FILE.exe NAME -o OUT: one member to a file, looked up as
// the installer looks it up (first match, ASCII case ignored).
#include <string.h>

#include <string>

#include "archive/embedded_archive.h"
#include "atomic_output.h"
#include "command_line.h"
#include "commands.h"
#include "diagnostics.h"

int RunExtract(int argc, char** argv) {
  CommandLine cli("extract");
  std::string path, name, output;
  cli.app().add_option("FILE.exe", path, "the installer")->required();
  cli.app().add_option("NAME", name, "the member, found as the installer finds it (ASCII case ignored)")
      ->required();
  cli.app().add_option("-o,--output", output, "the file to write")->required();
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

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
