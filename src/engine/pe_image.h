/*
 * The layout of a Windows executable (PE32 or PE32+): its sections and the
 * 32-bit absolute addresses its base relocation table lists, read from a
 * file that may be anything.
 *
 * The delta encoder uses it to predict how references inside the code move
 * between two builds. The file comes from outside (an old client file on a
 * player's disk, any file an engineer diffs), so every field is checked
 * against the file before it is used: a malformed file is simply "not an
 * image" and the engine falls back to the plain delta.
 *
 * What a parsed image guarantees, so that callers need no checks of their
 * own:
 * - every section's raw data lies inside the file and below 4 GiB;
 * - the sections' address ranges ascend without overlapping, and no two
 *   sections' raw data overlap, so file offsets and RVAs of raw data map
 *   one to one (OffsetToRva() and RvaToOffset() are inverses);
 * - abs32 ascends strictly, and each entry's 4 bytes lie in the raw data
 *   of one section.
 */
#ifndef OLKENG_PE_IMAGE_H
#define OLKENG_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "byte_source.h"

namespace olk {

struct PeSection {
  uint32_t rva = 0;
  /* The size of the section in memory (SizeOfRawData where the header's
   * VirtualSize is 0, as the loader takes it). */
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  /* The bytes of file data the section maps: SizeOfRawData, but no more
   * than virtual_size. The file alignment padding behind the section's
   * data is left out, so that it never maps to the next section's RVAs. */
  uint32_t raw_size = 0;
  bool code = false; /* IMAGE_SCN_CNT_CODE or IMAGE_SCN_MEM_EXECUTE */
};

struct PeImage {
  bool pe32plus = false;
  uint16_t machine = 0;
  uint64_t image_base = 0;
  std::vector<PeSection> sections;  /* in header order; each raw range lies inside the file */
  /* File offsets of the 32-bit absolute addresses the base relocation
   * table lists (type HIGHLOW, 3), ascending, without duplicates, each
   * offset+4 inside the raw data of one section. */
  std::vector<uint32_t> abs32;
  /* Where the base relocation table lies in the file (size 0: none), and
   * its directory entry as the header gives it. */
  uint64_t reloc_offset = 0;
  uint32_t reloc_size = 0;
  uint32_t reloc_rva = 0, reloc_directory_size = 0;

  /* OffsetToRva(): false outside every section's raw data. */
  bool OffsetToRva(uint64_t offset, uint32_t* rva) const;
  /* RvaToOffset(): false where the rva has no raw data (bss, headers, gaps). */
  bool RvaToOffset(uint32_t rva, uint64_t* offset) const;
  /* IsCode(): inside the raw data of a section marked code. */
  bool IsCode(uint64_t offset) const;
};

/* Takes file offsets of HIGHLOW relocations, a batch at a time. */
typedef std::function<void(const uint32_t* offsets, size_t n)> Abs32Visitor;

/* ParsePeImage():
 * Reads the DOS header, PE headers, section table and base relocation
 * table from `src`. The relocation table is read in pieces of 64 KiB, so
 * memory grows only with abs32 itself. `visit`, when given, has each
 * HIGHLOW relocation's file offset as the table is checked (as
 * VisitAbs32() does): a reader that needs them twice reads the table
 * twice, not three times.
 * @return false, with *out cleared, for anything that is not a well-formed
 *         PE image (or when `src` fails to read): every field is checked
 *         against the file's size before it is used, and an image with more
 *         than `max_abs32` relocations of type 3 is refused too (bounds the
 *         applier's memory). */
bool ParsePeImage(ByteSource& src, PeImage* out, size_t max_abs32 = 4u << 20, bool list_abs32 = true,
                  const Abs32Visitor& visit = Abs32Visitor());

/* VisitAbs32():
 * Passes the file offset of every HIGHLOW relocation of an image that
 * ParsePeImage() read (with `list_abs32` false, to keep memory small) to
 * `visit`, in the table's order, repeats included.
 * @return false when reading `src` fails. */
bool VisitAbs32(ByteSource& src, const PeImage& image, size_t max_abs32, const Abs32Visitor& visit);

}  // namespace olk

#endif
