// Writes one seed file for a fuzz target's corpus.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace olkfuzz {

inline bool WriteSeed(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

}  // namespace olkfuzz
