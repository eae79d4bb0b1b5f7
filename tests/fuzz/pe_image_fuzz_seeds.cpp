// Writes a few small hand-made executables as seeds for pe_image_fuzz:
// pe_image_fuzz_seeds OUT_DIR
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "seed_file.h"
#include "synthetic_pe.h"

using olkfuzz::WriteSeed;

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pe_image_fuzz_seeds OUT_DIR\n");
    return 2;
  }
  const std::string out = argv[1];
  mkdir(out.c_str(), 0755);
  olktest::PeLayout no_relocs = olktest::SamplePe();
  no_relocs.directory_count = 5;
  no_relocs.sections.pop_back();
  no_relocs.file_size = 0x600;
  const bool ok = WriteSeed(out + "/seed-pe32", olktest::BuildPe(olktest::SamplePe(false))) &&
                  WriteSeed(out + "/seed-pe32plus", olktest::BuildPe(olktest::SamplePe(true))) &&
                  WriteSeed(out + "/seed-no-relocations", olktest::BuildPe(no_relocs));
  if (!ok) fprintf(stderr, "pe_image_fuzz_seeds: cannot write the seeds into %s\n", out.c_str());
  return ok ? 0 : 1;
}
