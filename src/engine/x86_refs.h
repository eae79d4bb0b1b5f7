/*
 * References in x86 code, predicted across two builds of an executable.
 *
 * Where a delta copies a stretch of an executable (a Windows or Linux
 * image, i386 or x86-64) from the old file, the 32-bit references inside
 * it (relative call and jump targets, RIP-relative operands of x86-64
 * code, absolute addresses that a PE relocation table lists) mostly point
 * at things that moved as well, so their bytes differ although nothing
 * about them changed. The copies of the delta say where the old bytes went. So, for a
 * reference found in the old bytes of a copy, the predictor follows its
 * old target to its new place and writes the reference the new build
 * would hold; the difference stream then carries only what the prediction
 * got wrong, which for most references is nothing. The new image's own
 * relocation table is copied from the one the copies predict.
 * docs/patch-format.md gives every rule.
 *
 * The encoder and the applier run this same code on the same old bytes and
 * the same records, so they agree on every prediction without the patch
 * data carrying any of them. Nothing here trusts the old file or the patch
 * data: a wrong layout or a hostile reference only makes a prediction
 * wrong, and the difference stream still decides every byte.
 */
#ifndef OLKENG_X86_REFS_H
#define OLKENG_X86_REFS_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "offset_set.h"
#include "relocation_table.h"
#include "section_index.h"

namespace olk {

class ByteSource;
struct PeImage;

/* Where an image's sections lie in its file and in memory. */
struct ImageSection {
  uint32_t rva = 0, virtual_size = 0; /* in memory */
  uint32_t offset = 0, size = 0;      /* in the file (size at most the virtual size) */
  bool code = false;
};

/* The look-ups below are the plain rules, a pass over the sections in
 * order; the predictor asks the same through SectionIndex. */
struct ImageLayout {
  uint64_t image_base = 0;
  /* x86-64 code, whose memory operands may be relative to the next
   * instruction (RIP-relative). */
  bool x64 = false;
  std::vector<ImageSection> sections; /* at most kMaxImageSections */

  /* OffsetToRva(): false outside every section's file data. */
  bool OffsetToRva(uint64_t offset, uint32_t* rva) const;
  /* RvaToOffset(): false where the address has no file data. */
  bool RvaToOffset(uint32_t rva, uint64_t* offset) const;
  /* SectionOfRva(): index of the section whose memory holds `rva`, or -1. */
  int SectionOfRva(uint32_t rva) const;
  /* IsCode(): inside the file data of a code section. */
  bool IsCode(uint64_t offset) const;
};

constexpr size_t kMaxImageSections = 96;
/* The most bytes a layout takes in the patch data, and the most
 * relocations an image may list to be read as one (each costs the applier
 * four bytes of memory). */
constexpr size_t kMaxLayoutBytes = 4096;
constexpr size_t kMaxImageRelocations = 2u << 20;
/* The most copies an executable delta may hold: the applier keeps them
 * all (24 bytes each) to know where every old byte went. */
constexpr uint64_t kMaxExecutableCopies = 256u << 10;
/* The longest predicted relocation table: a block header per page and two
 * bytes per relocation, padding included. */
constexpr uint64_t kMaxPredictedTable = 12ull * kMaxImageRelocations;

/* AppendLayout() / ReadLayout(): the layout as the patch data carries it
 * (see docs/patch-format.md). ReadLayout() takes bytes from `*p` up to
 * `end` and returns false on anything malformed. */
void AppendLayout(const ImageLayout& layout, std::vector<uint8_t>* out);
bool ReadLayout(const uint8_t** p, const uint8_t* end, ImageLayout* out);

/* What the predictor knows of the old file, from its own headers. */
struct OldImage {
  ImageLayout layout;
  OffsetSet abs32; /* file offsets of 32-bit absolute addresses */
};

/* Both sides of an executable delta: what the applier finds in the old
 * file itself, and what the patch data tells it of the new one. */
struct ExecutablePair {
  OldImage old_image;
  ImageLayout new_layout;
  /* Where the new file's relocation table lies (the encoder's business
   * only: the copies say where the predicted table goes). */
  uint64_t new_table_offset = 0, new_table_size = 0;
};

/* ReadOldImage():
 * What the predictor takes from the old file's own headers, read in
 * little memory (its relocations cost two bytes each). False when the file
 * is not an image that reads well. Throws std::bad_alloc. */
bool ReadOldImage(ByteSource& old_file, OldImage* out);

/* ReadExecutablePair():
 * True, with *out filled in, when both files are x86 images of the same
 * kind (PE32 or PE32+, or ELF, for i386 or x86-64) that read well: then an
 * executable delta is worth making. */
bool ReadExecutablePair(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                        ExecutablePair* out);

/* Where each old byte went: built from the copies of a delta. */
class OffsetMap {
 public:
  /* Add(): a copy of old[old_pos, old_pos+len) to new_pos. */
  void Add(uint64_t old_pos, uint64_t new_pos, uint64_t len);
  /* Finish(): call once after the last Add(). Where copies overlap in the
   * old file, the one that starts first (then the longest, then the first
   * in the new file) decides. */
  void Finish();
  /* Map(): the new place of old byte `old_pos`; false where no copy took it. */
  bool Map(uint64_t old_pos, uint64_t* new_pos) const;

 private:
  struct Piece {
    uint64_t old_start, old_end, new_start;
  };
  std::vector<Piece> pieces_;
  /* For each 4 KiB page of the old file, the first piece that ends after
   * its start: a look-up starts there instead of searching; and where one
   * piece takes the whole page, how far it moved, so that most look-ups
   * touch nothing else. */
  struct Page {
    static constexpr int32_t kMixed = INT32_MIN;
    uint32_t first = 0;
    int32_t shift = kMixed;
  };
  std::vector<Page> pages_;
};

/* PredictRelocationTable():
 * The base relocation table of the new image as the copies predict it:
 * the old image's absolute addresses at their new places. Placed right
 * after the end of the old file, it is what the copies of the new table
 * take their bytes from (empty when the old image lists none). Throws
 * std::bad_alloc. */
void PredictRelocationTable(const OldImage& old_image, const ImageLayout& new_layout, const OffsetMap& map,
                            RelocationTable* out);

/* The scan for references in code, as the predictor runs it (exposed for
 * its tests). ReferenceMayStartAt(): the rule, at old offset q, whose byte
 * is at[0] (at[-2] readable where q >= 2): the bytes before q end a call,
 * a jump or a conditional jump, or, in x86-64 code, an instruction with a
 * RIP-relative operand. FindReference(): the first q in [from, end) where
 * the rule holds, else `end`; `window` holds the old file from
 * `window_start` on, from two bytes before `from` (as far as the file has
 * them) up to `end`. It looks at many places at once, and must find what
 * the rule finds one place at a time. */
bool ReferenceMayStartAt(const uint8_t* at, uint64_t q, bool x64);
uint64_t FindReference(const uint8_t* window, uint64_t window_start, uint64_t from, uint64_t end, bool x64);

/* Fills in the bytes a copy starts from: the old bytes, with each
 * reference they hold replaced by its predicted new value. */
class RefPredictor {
 public:
  /* Throws std::bad_alloc. */
  RefPredictor(const OldImage& old_image, const ImageLayout& new_layout, const OffsetMap& map);

  /* StartCopy(): a copy of old[old_pos, old_pos+len) to new_pos begins. */
  void StartCopy(uint64_t old_pos, uint64_t new_pos, uint64_t len);

  /* Fill():
   * The base of the copy's next `n` bytes into `base`. `window` holds the
   * old file's bytes from `window_start` on, at least two bytes before and
   * three bytes after those n (as far as the file has them). */
  void Fill(const uint8_t* window, uint64_t window_start, size_t n, uint8_t* base);

  /* CanCutAt():
   * True when no reference can start in the three bytes before old offset
   * `b` (whose byte is at[0]; at[-5] must be readable): then a copy
   * started at b (StartCopy() with the rest of it) gives the same bytes
   * from b on as one started before, so a long copy can be filled in
   * pieces, by different predictors, in any order. */
  bool CanCutAt(const uint8_t* at, uint64_t b) const;

  /* How far a window must reach before and after the bytes filled. */
  static constexpr size_t kLookBehind = 2, kLookAhead = 3;

 private:
  bool PredictRelative(const uint8_t* at, uint64_t p, uint8_t out[4], bool to_code) const;
  bool PredictAbsolute(const uint8_t* at, uint8_t out[4]) const;
  struct Target {
    uint32_t rva = 0, rva_new = 0;
    bool known = false, in_code = false, in_image = false, moved = false;
  };
  const Target& TargetOf(uint32_t rva) const;
  /* ImageLayout's look-ups, through the indexes below. */
  bool OldOffsetToRva(uint64_t offset, uint32_t* rva) const;
  bool NewOffsetToRva(uint64_t offset, uint32_t* rva) const;

  const OldImage& old_;
  const ImageLayout& new_;
  const OffsetMap& map_;
  SectionIndex old_file_, old_code_;
  AddressIndex old_addresses_;
  /* The new file's sections twice: its references' sites come in order
   * and mostly hit the piece of the last look-up, their targets do not. */
  SectionIndex new_file_, new_targets_;
  static constexpr unsigned kTargetMemoBits = 12;
  mutable std::vector<Target> targets_ = std::vector<Target>(size_t{1} << kTargetMemoBits);
  uint64_t pos_ = 0, end_ = 0;
  int64_t shift_ = 0;          /* new position minus old position within the copy */
  uint64_t pending_end_ = 0;   /* the last reference's bytes reach up to here */
  uint8_t pending_[4] = {};    /* ...and are these */
  OffsetSet::Cursor abs_next_; /* first entry of abs32 at or after pos_ */
};

}  // namespace olk

#endif
