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

  /* OffsetToRva(): on a kFile index, ImageLayout::OffsetToRva(). */
  bool OffsetToRva(uint64_t offset, uint32_t* rva) const {
    if (Find(offset) < 0) return false;
    *rva = static_cast<uint32_t>(offset) + pieces_[last_].to_rva; /* Find() left last_ on its piece */
    return true;
  }

 private:
  struct Piece {
    uint64_t start, end; /* end: the next piece's start (~0 for the last) */
    int section;
    /* On the file axes, the section's address minus its offset (modulo
     * 2^32): a look-up turns an offset into an address without it. */
    uint32_t to_rva;
  };
  int Search(uint64_t x, uint64_t* end) const;

  std::vector<Piece> pieces_{Piece{0, ~0ull, -1, 0}}; /* by start, from 0 on */
  mutable size_t last_ = 0;
};

/* What the predictor asks of the address a reference points at, in one
 * look-up instead of four: the section whose file data holds it (kRaw),
 * the one whose memory holds it (kMemory), and whether its byte in the
 * file lies in code (kCodeFile at that offset). The answers are those of
 * the SectionIndex look-ups, whatever the layout. */
class AddressIndex {
 public:
  struct Facts {
    int raw = -1;    /* kRaw's answer */
    int memory = -1; /* kMemory's answer */
    bool code = false;
    bool operator==(const Facts& o) const { return raw == o.raw && memory == o.memory && code == o.code; }
  };

  /* Throws std::bad_alloc. */
  explicit AddressIndex(const ImageLayout& layout);

  const Facts& Find(uint32_t rva) const;

 private:
  /* Between two starts, every answer stays: the sections' bounds, and
   * where a code section's file data begins or ends as seen through the
   * section that gives an address its offset. */
  std::vector<uint64_t> starts_; /* from 0 on */
  std::vector<Facts> facts_;
};

}  // namespace olk

#endif
