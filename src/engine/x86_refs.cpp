#include "x86_refs.h"

#include <algorithm>

#include "bytes.h"
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

void AppendLayout(const ImageLayout& layout, std::vector<uint8_t>* out) {
  PutVarint(out, layout.image_base);
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
  if (!in.Varint(&out->image_base) || !in.Varint(&count) || count > kMaxImageSections) return false;
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

OldImage OldImageOf(const PeImage& image) {
  OldImage out;
  out.layout.image_base = image.image_base;
  for (const PeSection& s : image.sections) {
    ImageSection x;
    x.rva = s.rva;
    x.virtual_size = s.virtual_size;
    x.offset = s.raw_offset;
    x.size = s.raw_size;
    x.code = s.code;
    out.layout.sections.push_back(x);
  }
  out.abs32 = image.abs32;
  return out;
}

bool ReadExecutablePair(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                        ExecutablePair* out) {
  constexpr uint16_t kI386 = 0x14c, kAmd64 = 0x8664;
  PeImage old_image, new_image;
  MemorySource old_source(old_data, old_size), new_source(new_data, new_size);
  if (!ParsePeImage(old_source, &old_image, kMaxImageRelocations) ||
      !ParsePeImage(new_source, &new_image, kMaxImageRelocations))
    return false;
  for (const PeImage* image : {&old_image, &new_image})
    if (image->machine != kI386 && image->machine != kAmd64) return false;
  out->old_image = OldImageOf(old_image);
  out->new_layout = OldImageOf(new_image).layout;
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
}

bool OffsetMap::Map(uint64_t old_pos, uint64_t* new_pos) const {
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), old_pos,
                             [](uint64_t v, const Piece& p) { return v < p.old_start; });
  if (it == pieces_.begin()) return false;
  --it;
  if (old_pos >= it->old_end) return false;
  *new_pos = it->new_start + (old_pos - it->old_start);
  return true;
}

std::vector<uint8_t> PredictRelocationTable(const OldImage& old_image, const ImageLayout& new_layout,
                                            const OffsetMap& map) {
  std::vector<uint32_t> rvas;
  rvas.reserve(old_image.abs32.size());
  for (uint32_t at : old_image.abs32) {
    uint64_t moved;
    uint32_t rva;
    if (map.Map(at, &moved) && new_layout.OffsetToRva(moved, &rva)) rvas.push_back(rva);
  }
  std::sort(rvas.begin(), rvas.end());
  rvas.erase(std::unique(rvas.begin(), rvas.end()), rvas.end());
  std::vector<uint8_t> table;
  for (size_t i = 0; i < rvas.size();) {
    const uint32_t page = rvas[i] & ~0xfffu;
    size_t j = i;
    while (j < rvas.size() && (rvas[j] & ~0xfffu) == page) ++j;
    const size_t entries = (j - i + 1) & ~size_t{1}; /* blocks keep four-byte alignment */
    PutLE(&table, page, 4);
    PutLE(&table, 8 + 2 * entries, 4);
    for (size_t k = i; k < j; ++k) PutLE(&table, 0x3000 | (rvas[k] & 0xfff), 2);
    if (entries > j - i) PutLE(&table, 0, 2);
    i = j;
  }
  return table;
}

void RefPredictor::StartCopy(uint64_t old_pos, uint64_t new_pos, uint64_t len) {
  pos_ = old_pos;
  end_ = old_pos + len;
  shift_ = static_cast<int64_t>(new_pos - old_pos);
  pending_end_ = old_pos;
  abs_next_ = static_cast<size_t>(std::lower_bound(old_.abs32.begin(), old_.abs32.end(), old_pos) - old_.abs32.begin());
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

bool RefPredictor::PredictRelative(const uint8_t* at, uint64_t p, uint8_t out[4]) const {
  uint32_t site, site_new, target_new;
  if (!old_.layout.OffsetToRva(p, &site)) return false;
  const uint32_t target = site + 4 + static_cast<uint32_t>(GetLE(at, 4));
  uint64_t target_off;
  /* A branch lands in code; anything else was not one. */
  if (!old_.layout.RvaToOffset(target, &target_off) || !old_.layout.IsCode(target_off)) return false;
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

void RefPredictor::Fill(const uint8_t* window, uint64_t window_start, size_t window_len, size_t n, uint8_t* base) {
  (void)window_len;
  for (size_t i = 0; i < n; ++i, ++pos_) {
    const uint8_t* at = window + (pos_ - window_start);
    if (pos_ < pending_end_) {
      base[i] = pending_[4 - (pending_end_ - pos_)];
      continue;
    }
    base[i] = *at;
    if (pos_ + 4 > end_) continue;
    while (abs_next_ < old_.abs32.size() && old_.abs32[abs_next_] < pos_) ++abs_next_;
    bool found = false;
    if (abs_next_ < old_.abs32.size() && old_.abs32[abs_next_] == pos_) {
      found = PredictAbsolute(at, pending_);
    } else if (BranchBefore(at, pos_) && old_.layout.IsCode(pos_)) {
      found = PredictRelative(at, pos_, pending_);
    }
    if (found) {
      pending_end_ = pos_ + 4;
      base[i] = pending_[0];
    }
  }
}

}  // namespace olk
