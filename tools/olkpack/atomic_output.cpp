// The parts of AtomicOutput that need no system call; the rest is in
// atomic_output_posix.cpp and atomic_output_win32.cpp.
#include "atomic_output.h"

#include <utility>

AtomicOutput::AtomicOutput(std::string target) : target_(std::move(target)) {}

bool AtomicOutput::WriteZeros(size_t count) {
  static const char kZeros[65536] = {};
  while (count > 0) {
    size_t chunk = count < sizeof kZeros ? count : sizeof kZeros;
    if (!Write(kZeros, chunk)) return false;
    count -= chunk;
  }
  return true;
}
