#include "x86_refs.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "elf_image.h"
#include "pe_image.h"

namespace olk {

bool ImageLayout::OffsetToRva(uint64_t offset, uint32_t* rva) const {
  for (const ImageSection& s : sections)
    if (offset >= s.offset && offset - s.offset < s.size) {
      *rva = static_cast<uint32_t>(s.rva + (offset - s.offset));
      return true;
    }
  return false;
}

bool ImageLayout::RvaToOffset(uint32_t rva, uint64_t* offset) const {
  for (const ImageSection& s : sections)
    if (rva >= s.rva && rva - s.rva < s.size) {
      *offset = static_cast<uint64_t>(s.offset) + (rva - s.rva);
      return true;
    }
  return false;
}

int ImageLayout::SectionOfRva(uint32_t rva) const {
  for (size_t i = 0; i < sections.size(); ++i)
    if (rva >= sections[i].rva && rva - sections[i].rva < sections[i].virtual_size) return static_cast<int>(i);
  return -1;
}

bool ImageLayout::IsCode(uint64_t offset) const {
  for (const ImageSection& s : sections)
    if (s.code && offset >= s.offset && offset - s.offset < s.size) return true;
  return false;
}

bool ImageLayout::CodeAround(uint64_t offset, uint64_t* boundary) const {
  bool in_code = false;
  *boundary = ~0ull;
  for (const ImageSection& s : sections) {
    if (!s.code || s.size == 0) continue;
    const uint64_t start = s.offset, end = start + s.size;
    if (offset >= start && offset < end) {
      in_code = true;
      *boundary = std::min(*boundary, end);
    } else if (start > offset) {
      *boundary = std::min(*boundary, start);
    }
  }
  return in_code;
}

void AppendLayout(const ImageLayout& layout, std::vector<uint8_t>* out) {
  PutVarint(out, layout.image_base);
  PutU8(out, layout.x64 ? 1 : 0);
  PutVarint(out, layout.sections.size());
  for (const ImageSection& s : layout.sections) {
    PutVarint(out, s.rva);
    PutVarint(out, s.virtual_size);
    PutVarint(out, s.offset);
    PutVarint(out, s.size);
    PutU8(out, s.code ? 1 : 0);
  }
}

bool ReadLayout(const uint8_t** p, const uint8_t* end, ImageLayout* out) {
  ByteReader in(*p, static_cast<size_t>(end - *p));
  uint64_t count;
  *out = ImageLayout();
  uint8_t x64;
  if (!in.Varint(&out->image_base) || !in.U8(&x64) || x64 > 1 || !in.Varint(&count) || count > kMaxImageSections)
    return false;
  out->x64 = x64 == 1;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t v[4];
    uint8_t code;
    for (uint64_t& x : v)
      if (!in.Varint(&x) || x > 0xffffffffu) return false;
    if (!in.U8(&code) || code > 1) return false;
    ImageSection s;
    s.rva = static_cast<uint32_t>(v[0]);
    s.virtual_size = static_cast<uint32_t>(v[1]);
    s.offset = static_cast<uint32_t>(v[2]);
    s.size = static_cast<uint32_t>(v[3]);
    s.code = code == 1;
    out->sections.push_back(s);
  }
  *p += in.Consumed(*p);
  return true;
}

namespace {

/* The layout the predictor uses, from a parsed image. */
ImageLayout LayoutOf(const PeImage& image) {
  ImageLayout out;
  out.image_base = image.image_base;
  out.x64 = image.machine == 0x8664;
  for (const PeSection& s : image.sections) {
    ImageSection x;
    x.rva = s.rva;
    x.virtual_size = s.virtual_size;
    x.offset = s.raw_offset;
    x.size = s.raw_size;
    x.code = s.code;
    out.sections.push_back(x);
  }
  return out;
}

bool IsX86(const PeImage& image) {
  constexpr uint16_t kI386 = 0x14c, kAmd64 = 0x8664;
  return image.machine == kI386 || image.machine == kAmd64;
}

bool StartsLikeElf(const uint8_t* data, size_t size) {
  return size >= 4 && std::memcmp(data, "\x7f" "ELF", 4) == 0;
}

}  // namespace

bool ReadOldImage(ByteSource& old_file, OldImage* out) {
  /* ELF lists no 32-bit absolute addresses worth predicting. */
  if (ReadElfLayout(old_file, &out->layout)) {
    out->abs32 = OffsetSet();
    return true;
  }
  PeImage image;
  if (!ParsePeImage(old_file, &image, kMaxImageRelocations, false) || !IsX86(image)) return false;
  out->layout = LayoutOf(image);
  /* Two passes over the relocation table: count, then place. */
  out->abs32.Begin();
  if (!VisitAbs32(old_file, image, kMaxImageRelocations, [&](uint32_t at) { out->abs32.Count(at); })) return false;
  out->abs32.Allocate();
  if (!VisitAbs32(old_file, image, kMaxImageRelocations, [&](uint32_t at) { out->abs32.Place(at); })) return false;
  out->abs32.Finish();
  return true;
}

bool ReadExecutablePair(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                        ExecutablePair* out) {
  MemorySource old_source(old_data, old_size), new_source(new_data, new_size);
  PeImage new_image;
  if (!ReadOldImage(old_source, &out->old_image)) return false;
  /* Both ELF or both PE: references predicted across kinds are noise. */
  const bool old_elf = StartsLikeElf(old_data, old_size);
  if (ReadElfLayout(new_source, &out->new_layout)) return old_elf;
  if (old_elf || !ParsePeImage(new_source, &new_image, kMaxImageRelocations, false) || !IsX86(new_image))
    return false;
  out->new_layout = LayoutOf(new_image);
  out->new_table_offset = new_image.reloc_offset;
  out->new_table_size = new_image.reloc_size;
  return true;
}

void OffsetMap::Add(uint64_t old_pos, uint64_t new_pos, uint64_t len) {
  if (len > 0) pieces_.push_back(Piece{old_pos, old_pos + len, new_pos});
}

void OffsetMap::Finish() {
  std::sort(pieces_.begin(), pieces_.end(), [](const Piece& a, const Piece& b) {
    if (a.old_start != b.old_start) return a.old_start < b.old_start;
    if (a.old_end != b.old_end) return a.old_end > b.old_end;
    return a.new_start < b.new_start;
  });
  /* Cut the pieces apart so that each old byte has one place. */
  std::vector<Piece> cut;
  uint64_t covered = 0;
  for (const Piece& p : pieces_) {
    const uint64_t from = std::max(p.old_start, covered);
    if (from >= p.old_end) continue;
    cut.push_back(Piece{from, p.old_end, p.new_start + (from - p.old_start)});
    covered = p.old_end;
  }
  pieces_.swap(cut);
  const uint64_t pages = pieces_.empty() ? 0 : (pieces_.back().old_end >> 12) + 1;
  page_first_.assign(static_cast<size_t>(pages), 0);
  size_t k = 0;
  for (uint64_t page = 0; page < pages; ++page) {
    while (k < pieces_.size() && pieces_[k].old_end <= page << 12) ++k;
    page_first_[static_cast<size_t>(page)] = static_cast<uint32_t>(k);
  }
}

bool OffsetMap::Map(uint64_t old_pos, uint64_t* new_pos) const {
  if ((old_pos >> 12) >= page_first_.size()) return false;
  /* The pieces are apart and in order: the first that ends after old_pos
   * holds it, if any does. */
  size_t k = page_first_[static_cast<size_t>(old_pos >> 12)];
  while (k < pieces_.size() && pieces_[k].old_end <= old_pos) ++k;
  if (k == pieces_.size() || pieces_[k].old_start > old_pos) return false;
  *new_pos = pieces_[k].new_start + (old_pos - pieces_[k].old_start);
  return true;
}

void PredictRelocationTable(const OldImage& old_image, const ImageLayout& new_layout, const OffsetMap& map,
                            RelocationTable* out) {
  /* Two passes over the old addresses at their new places: count, then
   * place. */
  auto each_new_rva = [&](auto use) {
    for (OffsetSet::Cursor c = old_image.abs32.First(); !old_image.abs32.AtEnd(c); old_image.abs32.Next(&c)) {
      uint64_t moved;
      uint32_t rva;
      if (map.Map(old_image.abs32.Value(c), &moved) && new_layout.OffsetToRva(moved, &rva)) use(rva);
    }
  };
  OffsetSet rvas;
  rvas.Begin();
  each_new_rva([&](uint32_t rva) { rvas.Count(rva); });
  rvas.Allocate();
  each_new_rva([&](uint32_t rva) { rvas.Place(rva); });
  rvas.Finish();
  out->Build(std::move(rvas));
}

void RefPredictor::StartCopy(uint64_t old_pos, uint64_t new_pos, uint64_t len) {
  pos_ = old_pos;
  end_ = old_pos + len;
  shift_ = static_cast<int64_t>(new_pos - old_pos);
  pending_end_ = old_pos;
  abs_next_ = old_pos > 0xffffffffu ? OffsetSet::Cursor{old_.abs32.size(), OffsetSet::kWindows}
                                    : old_.abs32.LowerBound(static_cast<uint32_t>(old_pos));
}

namespace {

void PutWord(uint32_t v, uint8_t out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

/* A call (E8), a jump (E9) or a conditional jump (0F 80-8F) whose 32-bit
 * displacement starts at `at`. */
bool BranchBefore(const uint8_t* at, uint64_t p) {
  if (p >= 1 && (at[-1] == 0xE8 || at[-1] == 0xE9)) return true;
  return p >= 2 && at[-2] == 0x0F && (at[-1] & 0xF0) == 0x80;
}

/* The bytes that may end a branch opcode, for a quick first look: true
 * for E8, E9 and 80-8F (a displacement starts after them). */
struct BranchEndTable {
  bool at[256] = {};
  constexpr BranchEndTable() {
    at[0xE8] = at[0xE9] = true;
    for (int b = 0x80; b <= 0x8F; ++b) at[b] = true;
  }
};
constexpr BranchEndTable kBranchEnds;

/* Finds, in i386 code, the next place where a branch's displacement may
 * start (BranchBefore()), with memchr over the opcode bytes instead of a
 * test of every byte: where each of E8, E9 and 0F next occurs is kept, so
 * that every byte of a window is searched at most once for each. */
class BranchFinder {
 public:
  /* Next(): the first q in [from, end) with BranchBefore(), else `end`.
   * Calls within one window ask from places that never go back. */
  uint64_t Next(const uint8_t* window, uint64_t window_start, uint64_t from, uint64_t end) {
    uint64_t best = end;
    for (int k = 0; k < 3; ++k) {
      /* The opcode's first byte sits one (E8, E9) or two (0F 8x) before q. */
      const uint64_t back = k == 2 ? 2 : 1;
      if (end <= back) continue;
      const uint64_t hi = end - back; /* opcode bytes at [lo, hi) */
      uint64_t lo = std::max(from, back) - back;
      for (;;) {
        Found& f = found_[k];
        if (!f.valid || (f.at != kNone && f.at < lo) || (f.at == kNone && f.searched < hi)) {
          /* Search on from what is known to hold none. */
          const uint64_t start = f.valid && f.at == kNone && f.searched > lo ? f.searched : lo;
          f.valid = true;
          const void* hit =
              start < hi ? std::memchr(window + (start - window_start), kOpcodes[k], static_cast<size_t>(hi - start))
                         : nullptr;
          if (hit) {
            f.at = window_start + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - window);
          } else {
            f.at = kNone;
            f.searched = hi;
          }
        }
        if (f.at == kNone || f.at >= hi) break;
        /* 0F only with 80-8F after it; else look on from the next byte. */
        if (k == 2 && (window[f.at + 1 - window_start] & 0xF0) != 0x80) {
          lo = f.at + 1;
          f.valid = false;
          continue;
        }
        best = std::min(best, f.at + back);
        break;
      }
    }
    return best;
  }

 private:
  static constexpr uint64_t kNone = ~0ull;
  static constexpr uint8_t kOpcodes[3] = {0xE8, 0xE9, 0x0F};
  struct Found {
    bool valid = false;
    uint64_t at = 0;       /* the next one found (kNone: none up to `searched`) */
    uint64_t searched = 0;
  };
  Found found_[3];
};

/* Instructions whose ModRM byte may name a RIP-relative operand (a 32-bit
 * displacement from the next instruction, x86-64 only): mov, lea, the
 * arithmetic and compare forms, test, movsxd, and the call, jump and push
 * through memory (FF). */
struct RipOpcodeTable {
  bool at[256] = {};
  constexpr RipOpcodeTable() {
    for (int op : {0x01, 0x03, 0x09, 0x0B, 0x21, 0x23, 0x29, 0x2B, 0x31, 0x33, 0x39, 0x3B, 0x63, 0x85, 0x87, 0x89,
                   0x8B, 0x8D, 0xFF})
      at[op] = true;
  }
};
constexpr RipOpcodeTable kRipOpcodes;

/* A ModRM byte that names [rip + disp32]: mod 00, r/m 101. */
constexpr bool RipModRm(uint8_t b) { return (b & 0xC7) == 0x05; }

/* The displacement at `at` belongs to a RIP-relative operand. */
bool RipRelativeBefore(const uint8_t* at, uint64_t p) {
  return p >= 2 && RipModRm(at[-1]) && kRipOpcodes.at[at[-2]];
}

/* The bytes that may come right before a reference: E8, E9 and 80-8F
 * (branches) and, in x86-64 code, ModRM bytes of a RIP-relative operand. */
struct CandidateTable {
  bool at[256] = {};
  constexpr CandidateTable() {
    for (int b = 0; b < 256; ++b) at[b] = kBranchEnds.at[b] || RipModRm(static_cast<uint8_t>(b));
  }
};
constexpr CandidateTable kCandidatesX64;

}  // namespace

/* The new place of old address `rva`: where the copies took its byte, or,
 * where no copy took it (a table without file data, say), the same place
 * in the same section of the new image. */
static bool NewRva(const ImageLayout& old_layout, const ImageLayout& new_layout, const OffsetMap& map, uint32_t rva,
                   uint32_t* out) {
  uint64_t off, moved;
  if (old_layout.RvaToOffset(rva, &off) && map.Map(off, &moved) && new_layout.OffsetToRva(moved, out)) return true;
  const int s = old_layout.SectionOfRva(rva);
  if (s < 0 || static_cast<size_t>(s) >= new_layout.sections.size()) return false;
  *out = new_layout.sections[static_cast<size_t>(s)].rva + (rva - old_layout.sections[static_cast<size_t>(s)].rva);
  return true;
}

bool RefPredictor::PredictRelative(const uint8_t* at, uint64_t p, uint8_t out[4], bool to_code) const {
  uint32_t site, site_new, target_new;
  if (!old_.layout.OffsetToRva(p, &site)) return false;
  const uint32_t target = site + 4 + static_cast<uint32_t>(GetLE(at, 4));
  uint64_t target_off;
  if (to_code) {
    /* A branch lands in code; anything else was not one. */
    if (!old_.layout.RvaToOffset(target, &target_off) || !old_.layout.IsCode(target_off)) return false;
  } else if (old_.layout.SectionOfRva(target) < 0) {
    return false; /* an operand points into the image */
  }
  if (!new_.OffsetToRva(static_cast<uint64_t>(static_cast<int64_t>(p) + shift_), &site_new)) return false;
  if (!NewRva(old_.layout, new_, map_, target, &target_new)) return false;
  PutWord(target_new - (site_new + 4), out);
  return true;
}

bool RefPredictor::PredictAbsolute(const uint8_t* at, uint8_t out[4]) const {
  const uint32_t rva = static_cast<uint32_t>(GetLE(at, 4) - old_.layout.image_base);
  uint32_t rva_new;
  if (!NewRva(old_.layout, new_, map_, rva, &rva_new)) return false;
  PutWord(static_cast<uint32_t>(new_.image_base + rva_new), out);
  return true;
}

void RefPredictor::Fill(const uint8_t* window, uint64_t window_start, size_t n, uint8_t* base) {
  const OffsetSet& abs32 = old_.abs32;
  const bool* candidates = old_.layout.x64 ? kCandidatesX64.at : kBranchEnds.at;
  BranchFinder branches;
  size_t i = 0;
  while (i < n) {
    if (pos_ < pending_end_) { /* the rest of the last reference */
      base[i++] = pending_[4 - (pending_end_ - pos_)];
      ++pos_;
      continue;
    }
    /* Old bytes as they are up to the next place where a reference may
     * start: a listed address, or the end of a branch opcode in code. */
    while (!abs32.AtEnd(abs_next_) && abs32.Value(abs_next_) < pos_) abs32.Next(&abs_next_);
    const uint64_t next_abs = abs32.AtEnd(abs_next_) ? ~0ull : abs32.Value(abs_next_);
    uint64_t stop = std::min<uint64_t>(pos_ + (n - i), next_abs);
    uint64_t code_end;
    if (old_.layout.CodeAround(pos_, &code_end)) {
      const uint64_t scan_end = std::min(stop, code_end);
      if (old_.layout.x64) {
        for (uint64_t q = pos_; q < scan_end; ++q) {
          const uint8_t* at = window + (q - window_start);
          if (q >= 1 && candidates[at[-1]] && (BranchBefore(at, q) || RipRelativeBefore(at, q))) {
            stop = q;
            break;
          }
        }
      } else {
        stop = std::min(stop, branches.Next(window, window_start, pos_, scan_end));
      }
    }
    stop = std::min(stop, code_end);
    const size_t run = static_cast<size_t>(stop - pos_);
    std::memcpy(base + i, window + (pos_ - window_start), run);
    i += run;
    pos_ = stop;
    if (i == n) break;
    /* A place where a reference may start (or where code starts or ends). */
    const uint8_t* at = window + (pos_ - window_start);
    bool found = false;
    if (pos_ + 4 <= end_) {
      if (next_abs == pos_) {
        found = PredictAbsolute(at, pending_);
      } else if (BranchBefore(at, pos_) && old_.layout.IsCode(pos_)) {
        found = PredictRelative(at, pos_, pending_, true);
      } else if (old_.layout.x64 && RipRelativeBefore(at, pos_) && old_.layout.IsCode(pos_)) {
        found = PredictRelative(at, pos_, pending_, false);
      }
    }
    if (found) {
      pending_end_ = pos_ + 4;
      base[i] = pending_[0];
    } else {
      base[i] = *at;
    }
    ++i;
    ++pos_;
  }
}

}  // namespace olk
