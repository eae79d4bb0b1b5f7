// Installer files for the tests above the archive reader: a small image,
// zero fill up to the next 64 KiB boundary, then the archive.
#pragma once

#include <string>
#include <vector>

#include "archive_image.h"

using Members = std::vector<archive_image::Member>;

inline std::string InstallerBytes(const Members& members, size_t imageSize = 4096) {
  std::string image = "MZ";
  image.resize(imageSize, '\x90');
  uint32_t directory = static_cast<uint32_t>((imageSize + 0xFFFF) & ~size_t(0xFFFF));
  return archive_image::Program(image, directory, members);
}

// The three members of a shipped installer, 3550 to 3551.
inline Members ShippedMembers() {
  return {{"versionInfoFile.txt", "3550\r\n3551\r\n"},
          {"patcheng.dll", std::string("MZ") + std::string(1000, 'e')},
          {"OLK.2.06.3550-2.06.3551.pat", std::string(3000, 'p')}};
}
