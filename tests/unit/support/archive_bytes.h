// Builds the bytes of an installer file for tests: a small image, zero fill
// up to the next 64 KiB boundary, then the archive directory, the members'
// data and the trailer.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

using Members = std::vector<std::pair<std::string, std::string>>;

inline void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline std::string InstallerBytes(const Members& members, size_t imageSize = 4096) {
  std::string out = "MZ";
  out.resize(imageSize, '\x90');
  size_t directory = (out.size() + 0xFFFF) & ~size_t(0xFFFF);
  out.resize(directory, '\0');
  PutU32(out, static_cast<uint32_t>(members.size()));
  for (const auto& m : members) {
    PutU32(out, static_cast<uint32_t>(m.second.size()));
    PutU32(out, static_cast<uint32_t>(m.first.size()));
    out += m.first;
    out.push_back('\0');
  }
  for (const auto& m : members) out += m.second;
  PutU32(out, static_cast<uint32_t>(directory));
  out.append("EmbedFs 1.0", 11);
  out.push_back('\0');
  return out;
}

// The three members of a shipped installer, 3550 to 3551.
inline Members ShippedMembers() {
  return {{"versionInfoFile.txt", "3550\r\n3551\r\n"},
          {"patcheng.dll", std::string("MZ") + std::string(1000, 'e')},
          {"OLK.2.06.3550-2.06.3551.pat", std::string(3000, 'p')}};
}
