/*
 * Which section of an image holds a position, in a few steps instead of a
 * pass over every section.
 *
 * The predictor asks this several times for each reference of an
 * executable, millions of times for a large one. The sections' bounds cut
 * the axis (file offsets or addresses) into pieces; each piece keeps the
 * section a look-up in list order finds there, so that the answer is the
 * same as that look-up's even where a hostile layout makes sections
 * overlap.
 */
#ifndef OLKENG_SECTION_INDEX_H
#define OLKENG_SECTION_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace olk {

struct ImageLayout;

class SectionIndex {
 public:
  /* What a section covers on the axis. */
  enum class Axis {
    kFile,     /* its file data: [offset, offset + size) */
    kCodeFile, /* the same, for code sections only */
    kRaw,      /* the addresses of its file data: [rva, rva + size) */
    kMemory,   /* its addresses in memory: [rva, rva + virtual_size) */
  };

  SectionIndex() = default;
  /* Throws std::bad_alloc. */
  SectionIndex(const ImageLayout& layout, Axis axis);

  /* Find(): the index of the first section that covers `x`, or -1; in
   * *end, where the answer may next change (above x). Look-ups in a row
   * mostly land in the piece of the last one, which is tried first. */
  int Find(uint64_t x, uint64_t* end) const {
    const Piece& last = pieces_[last_];
    if (x >= last.start && x < last.end) {
      *end = last.end;
      return last.section;
    }
    return Search(x, end);
  }
  int Find(uint64_t x) const {
    uint64_t end;
    return Find(x, &end);
  }

 private:
  struct Piece {
    uint64_t start, end; /* end: the next piece's start (~0 for the last) */
    int section;
  };
  int Search(uint64_t x, uint64_t* end) const;

  std::vector<Piece> pieces_{Piece{0, ~0ull, -1}}; /* by start, from 0 on */
  mutable size_t last_ = 0;
};

}  // namespace olk

#endif
