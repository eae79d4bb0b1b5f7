// Layout constants of the EmbedFs archive that is appended behind the
// installer's executable image. The reader and the authoring tool share them,
// so that both sides agree on one definition of the format.
//
//   offset 0          executable image
//   after the image   fill (never read)
//   D                 directory: count, then per entry size, nameLength,
//                     name with its NUL
//   after directory   data area: the members back to back, directory order
//   end - 16          trailer: D, then the 12-byte magic
//
// All integers are unsigned 32-bit little-endian; offsets are absolute.
#pragma once

#include <stdint.h>

namespace embedfs {

// "EmbedFs 1.0" with its NUL: the last 12 bytes of every archive.
constexpr char kMagic[12] = {'E', 'm', 'b', 'e', 'd', 'F', 's', ' ', '1', '.', '0', '\0'};
constexpr uint32_t kMagicSize = 12;
constexpr uint32_t kTrailerSize = 16;  // D, then the magic

constexpr uint32_t kCountSize = 4;        // entry count at D
constexpr uint32_t kEntryHeaderSize = 8;  // size, nameLength
// The smallest entry: its header and the NUL of an empty name. Bounds how
// many entries a directory of a given length can hold.
constexpr uint32_t kMinEntrySize = kEntryHeaderSize + 1;

// D is moved to as a signed 32-bit distance from the start of the file.
constexpr uint32_t kMaxDirectoryOffset = 0x7FFFFFFFu;

// The packer puts the directory on the next boundary of this size after the
// image, as the shipped installers have it. The reader does not care.
constexpr uint32_t kDirectoryAlignment = 65536;

}  // namespace embedfs
