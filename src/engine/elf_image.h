/*
 * The layout of an x86 Linux executable or shared library (ELF32 or
 * ELF64, little-endian, i386 or x86-64): its loadable segments, read from
 * a file that may be anything.
 *
 * Like the PE parser (pe_image.h), it serves the delta encoder's
 * prediction of how references in code move between two builds, and the
 * file comes from outside: every field is checked against the file before
 * it is used, and a malformed file is simply "not an image".
 *
 * Only the program headers are read (section headers are often stripped).
 * What a parsed image guarantees:
 * - between 1 and kMaxImageSections loadable segments, in header order;
 * - every segment's file data (offset, file_size) lies inside the file.
 */
#ifndef OLKENG_ELF_IMAGE_H
#define OLKENG_ELF_IMAGE_H

#include <cstdint>
#include <vector>

namespace olk {

class ByteSource;
struct ImageLayout;

/* One PT_LOAD program header, as the file gives it. */
struct ElfSegment {
  uint64_t vaddr = 0, memory_size = 0; /* in memory */
  uint64_t offset = 0, file_size = 0;  /* in the file */
  bool executable = false;             /* PF_X */
};

struct ElfImage {
  bool elf64 = false;
  uint16_t machine = 0; /* 3 (i386) or 62 (x86-64) */
  std::vector<ElfSegment> segments;
};

/* ParseElfImage():
 * Reads the ELF header and the program header table from `src`.
 * @return false, with *out cleared, for anything that is not a well-formed
 *         little-endian x86 executable or shared library with at most
 *         kMaxImageSections loadable segments (or when `src` fails to
 *         read). */
bool ParseElfImage(ByteSource& src, ElfImage* out);

/* ElfLayout():
 * The image as the predictor sees it: addresses relative to the lowest
 * segment's page, one section per loadable segment (in the same order, so
 * that two builds' sections pair up), code where the segment is
 * executable. Where segments share file bytes, the earlier segment keeps
 * them and the later one is cut back, so that every file offset belongs
 * to one section and offsets and addresses map one to one.
 * @return false, with *out cleared, when the image spans more than 4 GiB
 *         of addresses or its file data reaches past 4 GiB. */
bool ElfLayout(const ElfImage& image, ImageLayout* out);

/* ReadElfLayout(): ParseElfImage() and ElfLayout() in one. */
bool ReadElfLayout(ByteSource& src, ImageLayout* out);

}  // namespace olk

#endif
