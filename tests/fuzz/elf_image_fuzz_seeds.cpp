// Writes a few small hand-made executables as seeds for elf_image_fuzz:
// elf_image_fuzz_seeds OUT_DIR
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "seed_file.h"
#include "synthetic_elf.h"

using olkfuzz::WriteSeed;

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: elf_image_fuzz_seeds OUT_DIR\n");
    return 2;
  }
  const std::string out = argv[1];
  mkdir(out.c_str(), 0755);
  // Segments that share file bytes, as headers and code often do.
  olktest::ElfPlan shared = olktest::SampleElf();
  shared.segments[1].file_size = shared.segments[1].memory_size = 0x300;
  const bool ok = WriteSeed(out + "/seed-elf32", olktest::BuildElf(olktest::SampleElf(false))) &&
                  WriteSeed(out + "/seed-elf64", olktest::BuildElf(olktest::SampleElf(true))) &&
                  WriteSeed(out + "/seed-shared-bytes", olktest::BuildElf(shared));
  if (!ok) fprintf(stderr, "elf_image_fuzz_seeds: cannot write the seeds into %s\n", out.c_str());
  return ok ? 0 : 1;
}
