// Writes the executable deltas between a little program and two relinked
// versions of it as seeds for executable_delta_fuzz:
// executable_delta_fuzz_seeds OUT_DIR
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bytes.h"
#include "delta.h"
#include "parallel.h"
#include "seed_file.h"
#include "synthetic_pe.h"
#include "x86_refs.h"

namespace {

bool WriteDeltaSeed(const std::string& path, const std::vector<uint8_t>& from, const std::vector<uint8_t>& to) {
  olk::ExecutablePair pair;
  olk::CoreBudget budget(0);
  olk::DeltaStreams s;
  if (!olk::ReadExecutablePair(from.data(), from.size(), to.data(), to.size(), &pair) ||
      !olk::ComputeDelta(from.data(), from.size(), to.data(), to.size(), &budget, &s, &pair))
    return false;
  std::vector<uint8_t> seed;
  olk::PutLE(&seed, to.size(), 4);
  olk::PutLE(&seed, s.control.size(), 4);
  olk::PutLE(&seed, s.diff.size(), 4);
  for (const std::vector<uint8_t>* st : {&s.control, &s.diff, &s.extra}) seed.insert(seed.end(), st->begin(), st->end());
  return olkfuzz::WriteSeed(path, seed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: executable_delta_fuzz_seeds OUT_DIR\n");
    return 2;
  }
  const std::string out = argv[1];
  mkdir(out.c_str(), 0755);
  const std::vector<uint8_t> old_program = olktest::LinkedProgram(1);
  const bool ok = WriteDeltaSeed(out + "/seed-grown", old_program, olktest::LinkedProgram(1, 200, 13)) &&
                  WriteDeltaSeed(out + "/seed-moved-data", old_program, olktest::LinkedProgram(1, 3, 5000));
  if (!ok) fprintf(stderr, "executable_delta_fuzz_seeds: cannot write the seeds into %s\n", out.c_str());
  return ok ? 0 : 1;
}
