#include "x86_refs.h"

#include <algorithm>
#include <climits>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "bytes.h"
#include "elf_image.h"
#include "pe_image.h"
#include "section_index.h"

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
  /* Two passes over the relocation table: count (as the parser checks
   * it), then place. */
  out->abs32.Begin();
  if (!ParsePeImage(old_file, &image, kMaxImageRelocations, false,
                    [&](const uint32_t* at, size_t n) {
                      for (size_t i = 0; i < n; ++i) out->abs32.Count(at[i]);
                    }) ||
      !IsX86(image))
    return false;
  out->layout = LayoutOf(image);
  out->abs32.Allocate();
  if (!VisitAbs32(old_file, image, kMaxImageRelocations, [&](const uint32_t* at, size_t n) {
        for (size_t i = 0; i < n; ++i) out->abs32.Place(at[i]);
      }))
    return false;
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
  pages_.assign(static_cast<size_t>(pages), Page());
  size_t k = 0;
  for (uint64_t page = 0; page < pages; ++page) {
    while (k < pieces_.size() && pieces_[k].old_end <= page << 12) ++k;
    Page& e = pages_[static_cast<size_t>(page)];
    e.first = static_cast<uint32_t>(k);
    if (k < pieces_.size() && pieces_[k].old_start <= page << 12 && pieces_[k].old_end >= (page + 1) << 12) {
      const int64_t shift = static_cast<int64_t>(pieces_[k].new_start - pieces_[k].old_start);
      if (shift > INT32_MIN && shift <= INT32_MAX) e.shift = static_cast<int32_t>(shift);
    }
  }
}

bool OffsetMap::Map(uint64_t old_pos, uint64_t* new_pos) const {
  if ((old_pos >> 12) >= pages_.size()) return false;
  const Page& e = pages_[static_cast<size_t>(old_pos >> 12)];
  if (e.shift != Page::kMixed) {
    *new_pos = static_cast<uint64_t>(static_cast<int64_t>(old_pos) + e.shift);
    return true;
  }
  /* The pieces are apart and in order: the first that ends after old_pos
   * holds it, if any does. */
  size_t k = e.first;
  while (k < pieces_.size() && pieces_[k].old_end <= old_pos) ++k;
  if (k == pieces_.size() || pieces_[k].old_start > old_pos) return false;
  *new_pos = pieces_[k].new_start + (old_pos - pieces_[k].old_start);
  return true;
}

void PredictRelocationTable(const OldImage& old_image, const ImageLayout& new_layout, const OffsetMap& map,
                            RelocationTable* out) {
  /* Two passes over the old addresses at their new places: count, then
   * place. */
  const SectionIndex new_file(new_layout, SectionIndex::Axis::kFile);
  auto each_new_rva = [&](auto use) {
    for (OffsetSet::Cursor c = old_image.abs32.First(); !old_image.abs32.AtEnd(c); old_image.abs32.Next(&c)) {
      uint64_t moved;
      uint32_t rva;
      if (map.Map(old_image.abs32.Value(c), &moved) && new_file.OffsetToRva(moved, &rva)) use(rva);
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
inline bool BranchBefore(const uint8_t* at, uint64_t p) {
  if (p >= 1 && (at[-1] == 0xE8 || at[-1] == 0xE9)) return true;
  return p >= 2 && at[-2] == 0x0F && (at[-1] & 0xF0) == 0x80;
}

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
inline bool RipRelativeBefore(const uint8_t* at, uint64_t p) {
  return p >= 2 && RipModRm(at[-1]) && kRipOpcodes.at[at[-2]];
}

/* A reference may start at q: a branch's displacement, or in x86-64 code
 * a RIP-relative one. */
inline bool ReferenceBefore(const uint8_t* at, uint64_t q, bool x64) {
  return BranchBefore(at, q) || (x64 && RipRelativeBefore(at, q));
}

/* Eight bytes from `p`, the first in the lowest byte. */
uint64_t Load8(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

/* The top bit of each byte of `v` that equals the same byte of `pattern`
 * (exact: no carry crosses a byte). */
uint64_t EqualBytes(uint64_t v, uint64_t pattern) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t t = v ^ pattern;
  return ~(((t & kLow7) + kLow7) | t) & ~kLow7;
}

constexpr uint64_t Repeat(uint8_t b) { return 0x0101010101010101ull * b; }

}  // namespace

bool ReferenceMayStartAt(const uint8_t* at, uint64_t q, bool x64) { return ReferenceBefore(at, q, x64); }

/* Code is dense with the bytes that end a branch opcode (80-8F are common
 * opcodes of their own), so sixteen or eight places are looked at
 * together: a place is a candidate when the byte before it is E8 or E9,
 * or 8x after 0F, or (x86-64) a ModRM byte naming [rip + disp32]; each
 * candidate is then checked. */
uint64_t FindReference(const uint8_t* window, uint64_t window_start, uint64_t from, uint64_t end, bool x64) {
  uint64_t q = from;
  const uint64_t block_from = std::max<uint64_t>(2, window_start + 2);
  for (; q < end && q < block_from; ++q)
    if (ReferenceBefore(window + (q - window_start), q, x64)) return q;
#ifdef __SSE2__
  /* Sixteen at a time where the processor compares that many at once. */
  const __m128i e8 = _mm_set1_epi8(static_cast<char>(0xE8)), fe = _mm_set1_epi8(static_cast<char>(0xFE)),
                x0f = _mm_set1_epi8(0x0F), f0 = _mm_set1_epi8(static_cast<char>(0xF0)),
                x80 = _mm_set1_epi8(static_cast<char>(0x80)), c7 = _mm_set1_epi8(static_cast<char>(0xC7)),
                x05 = _mm_set1_epi8(0x05);
  for (; q + 16 <= end; q += 16) {
    const uint8_t* at = window + (q - window_start);
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at - 1));
    const __m128i two_before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at - 2));
    __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(before, fe), e8),
                                _mm_and_si128(_mm_cmpeq_epi8(two_before, x0f),
                                              _mm_cmpeq_epi8(_mm_and_si128(before, f0), x80)));
    if (x64) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(_mm_and_si128(before, c7), x05));
    for (unsigned candidates = static_cast<unsigned>(_mm_movemask_epi8(hits)); candidates != 0;
         candidates &= candidates - 1) {
      const unsigned k = static_cast<unsigned>(__builtin_ctz(candidates));
      if (ReferenceBefore(at + k, q + k, x64)) return q + k;
    }
  }
#endif
  for (; q + 8 <= end; q += 8) {
    const uint8_t* at = window + (q - window_start);
    const uint64_t before = Load8(at - 1), two_before = Load8(at - 2);
    uint64_t candidates = EqualBytes(before & Repeat(0xFE), Repeat(0xE8)) |
                          (EqualBytes(two_before, Repeat(0x0F)) & EqualBytes(before & Repeat(0xF0), Repeat(0x80)));
    if (x64) candidates |= EqualBytes(before & Repeat(0xC7), Repeat(0x05));
    for (; candidates != 0; candidates &= candidates - 1) {
      const unsigned k = static_cast<unsigned>(__builtin_ctzll(candidates)) / 8;
      if (ReferenceBefore(at + k, q + k, x64)) return q + k;
    }
  }
  for (; q < end; ++q)
    if (ReferenceBefore(window + (q - window_start), q, x64)) return q;
  return end;
}

RefPredictor::RefPredictor(const OldImage& old_image, const ImageLayout& new_layout, const OffsetMap& map)
    : old_(old_image),
      new_(new_layout),
      map_(map),
      old_file_(old_image.layout, SectionIndex::Axis::kFile),
      old_code_(old_image.layout, SectionIndex::Axis::kCodeFile),
      old_addresses_(old_image.layout),
      new_file_(new_layout, SectionIndex::Axis::kFile),
      new_targets_(new_layout, SectionIndex::Axis::kFile) {}

bool RefPredictor::OldOffsetToRva(uint64_t offset, uint32_t* rva) const {
  return old_file_.OffsetToRva(offset, rva);
}

bool RefPredictor::NewOffsetToRva(uint64_t offset, uint32_t* rva) const {
  return new_file_.OffsetToRva(offset, rva);
}

/* What a reference to old address `rva` needs to know of it: memoized,
 * since many references share a target (a function called from
 * everywhere). Its new place is where the copies took its byte, or, where
 * no copy took it (a table without file data, say), the same place in the
 * same section of the new image. */
const RefPredictor::Target& RefPredictor::TargetOf(uint32_t rva) const {
  Target& t = targets_[(rva * 0x9E3779B1u) >> (32 - kTargetMemoBits)];
  if (t.known && t.rva == rva) return t;
  t.known = true;
  t.rva = rva;
  const AddressIndex::Facts& facts = old_addresses_.Find(rva);
  t.in_code = facts.code;
  t.in_image = facts.memory >= 0;
  t.moved = false;
  uint64_t moved;
  if (facts.raw >= 0) {
    const ImageSection& section = old_.layout.sections[static_cast<size_t>(facts.raw)];
    t.moved = map_.Map(static_cast<uint64_t>(section.offset) + (rva - section.rva), &moved) &&
              new_targets_.OffsetToRva(moved, &t.rva_new);
  }
  if (!t.moved && facts.memory >= 0 && static_cast<size_t>(facts.memory) < new_.sections.size()) {
    const size_t s = static_cast<size_t>(facts.memory);
    t.rva_new = new_.sections[s].rva + (rva - old_.layout.sections[s].rva);
    t.moved = true;
  }
  return t;
}

bool RefPredictor::PredictRelative(const uint8_t* at, uint64_t p, uint8_t out[4], bool to_code) const {
  uint32_t site, site_new;
  if (!OldOffsetToRva(p, &site)) return false;
  const Target& target = TargetOf(site + 4 + Le32(at));
  /* A branch lands in code, an operand inside the image; anything else
   * was not one. */
  if (!(to_code ? target.in_code : target.in_image) || !target.moved) return false;
  if (!NewOffsetToRva(static_cast<uint64_t>(static_cast<int64_t>(p) + shift_), &site_new)) return false;
  PutWord(target.rva_new - (site_new + 4), out);
  return true;
}

bool RefPredictor::PredictAbsolute(const uint8_t* at, uint8_t out[4]) const {
  const Target& target = TargetOf(static_cast<uint32_t>(Le32(at) - old_.layout.image_base));
  if (!target.moved) return false;
  PutWord(static_cast<uint32_t>(new_.image_base + target.rva_new), out);
  return true;
}

bool RefPredictor::CanCutAt(const uint8_t* at, uint64_t b) const {
  if (b < 5) return false;
  const OffsetSet& abs32 = old_.abs32;
  if (b - 3 <= 0xffffffffu) {
    const OffsetSet::Cursor c = abs32.LowerBound(static_cast<uint32_t>(b - 3));
    if (!abs32.AtEnd(c) && abs32.Value(c) < b) return false;
  }
  for (uint64_t p = b - 3; p < b; ++p)
    if (ReferenceBefore(at - (b - p), p, old_.layout.x64)) return false;
  return true;
}

void RefPredictor::Fill(const uint8_t* window, uint64_t window_start, size_t n, uint8_t* base) {
  /* The old bytes as they are, then each reference overwritten. */
  const uint64_t piece_start = pos_, piece_end = pos_ + n;
  std::memcpy(base, window + (pos_ - window_start), n);
  for (; pos_ < pending_end_ && pos_ < piece_end; ++pos_) /* the rest of one begun in the last piece */
    base[pos_ - piece_start] = pending_[4 - (pending_end_ - pos_)];
  const OffsetSet& abs32 = old_.abs32;
  const bool x64 = old_.layout.x64;
  while (pos_ < piece_end) {
    /* The next place where a reference may start: a listed address, or
     * the end of a branch opcode in code (or where code starts or ends). */
    while (!abs32.AtEnd(abs_next_) && abs32.Value(abs_next_) < pos_) abs32.Next(&abs_next_);
    const uint64_t next_abs = abs32.AtEnd(abs_next_) ? ~0ull : abs32.Value(abs_next_);
    uint64_t stop = std::min(piece_end, next_abs);
    uint64_t code_end;
    if (old_code_.Find(pos_, &code_end) >= 0)
      stop = FindReference(window, window_start, pos_, std::min(stop, code_end), x64);
    pos_ = std::min(stop, code_end);
    if (pos_ >= piece_end) break;
    const uint8_t* at = window + (pos_ - window_start);
    bool found = false;
    if (pos_ + 4 <= end_) {
      if (next_abs == pos_) {
        found = PredictAbsolute(at, pending_);
      } else if (ReferenceBefore(at, pos_, x64) && old_code_.Find(pos_) >= 0) {
        found = PredictRelative(at, pos_, pending_, BranchBefore(at, pos_));
      }
    }
    if (!found) {
      ++pos_;
      continue;
    }
    /* As many of its bytes as this piece holds; the rest start the next. */
    const uint64_t now = std::min<uint64_t>(4, piece_end - pos_);
    if (now == 4)
      std::memcpy(base + (pos_ - piece_start), pending_, 4);
    else
      std::memcpy(base + (pos_ - piece_start), pending_, static_cast<size_t>(now));
    pending_end_ = pos_ + 4;
    pos_ += now;
  }
}

}  // namespace olk
