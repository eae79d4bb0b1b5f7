// olkpack list FILE.exe: the directory offset, then one line per member:
// index, name, size and data offset, separated by tabs.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "archive/embedded_archive.h"
#include "command_line.h"
#include "commands.h"
#include "diagnostics.h"

int RunList(int argc, char** argv) {
  CommandLine cli("list");
  std::string path;
  cli.app().add_option("FILE.exe", path, "the installer")->required();
  if (int status = cli.Parse(argc, argv); status >= 0) return status;

  EmbeddedArchive archive(path.c_str());
  if (!archive.Open()) return Fail(path, DescribeOpenFailure(archive, path));

  printf("directory at %u, %u members\n", archive.DirectoryOffset(), archive.EntryCount());
  // Open() checked that every member ends before the trailer, so the
  // offsets stay within 32 bits.
  uint32_t offset = archive.DataStart();
  for (uint32_t i = 0; i < archive.EntryCount(); ++i) {
    const ArchiveEntry& entry = archive.Entry(i);
    printf("%u\t%s\t%u\t%u\n", i, PrintableName(entry.name).c_str(), entry.size, offset);
    offset += entry.size;
  }
  if (fflush(stdout) != 0) return Fail(path, "cannot write the listing");
  return 0;
}
