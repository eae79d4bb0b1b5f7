#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "bytes.h"

namespace olk {
namespace {

constexpr uint64_t k4GiB = 1ull << 32;

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kLfanewAt = 0x3c;
constexpr size_t kSignatureAndFileHeaderSize = 4 + 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kMaxSections = 96;
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint32_t kBaseRelocDirectory = 5;
constexpr size_t kDirectoryEntrySize = 8;
constexpr uint32_t kScnCntCode = 0x00000020;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr unsigned kRelHighLow = 3;
constexpr size_t kRelocChunk = 64 * 1024;


// Reads a range of the source front to back in windows of kRelocChunk
// bytes, so that a relocation table of any size costs one window.
class WindowReader {
 public:
  WindowReader(ByteSource& src, uint64_t end) : src_(src), end_(end), window_(kRelocChunk) {}

  // Get(): the n (at most 8) bytes at `pos`, which the caller has checked
  // lie before the end; nullptr when reading fails.
  const uint8_t* Get(uint64_t pos, size_t n) {
    if (pos < start_ || pos + n > start_ + length_) {
      start_ = pos;
      length_ = static_cast<size_t>(std::min<uint64_t>(kRelocChunk, end_ - pos));
      if (length_ < n || !ReadRange(src_, start_, window_.data(), length_)) {
        length_ = 0;
        return nullptr;
      }
    }
    return window_.data() + (pos - start_);
  }

  // GetRun(): like Get(pos, 2), and in *got how many bytes (even, at most
  // `want`) follow there in the window.
  const uint8_t* GetRun(uint64_t pos, size_t want, size_t* got) {
    const uint8_t* p = Get(pos, 2);
    if (!p) return nullptr;
    *got = std::min<size_t>(want, static_cast<size_t>(start_ + length_ - pos)) & ~size_t{1};
    return p;
  }

 private:
  ByteSource& src_;
  uint64_t end_;
  std::vector<uint8_t> window_;
  uint64_t start_ = 0;
  size_t length_ = 0;
};

// The section whose raw data holds the `n` (> 0) bytes at `rva`, or
// nullptr. The sections ascend by rva without overlapping (ReadSections()
// refuses others), so the only candidate is the last one starting at or
// below `rva`: a binary search, also for a relocation table that jumps
// between many sections.
const PeSection* SectionWithRawRvas(const std::vector<PeSection>& sections, uint64_t rva, uint64_t n) {
  auto after = std::upper_bound(sections.begin(), sections.end(), rva,
                                [](uint64_t r, const PeSection& s) { return r < s.rva; });
  if (after == sections.begin() || n == 0) return nullptr;
  const PeSection& s = *(after - 1);
  const uint64_t into = rva - s.rva;
  return into <= s.raw_size && n <= s.raw_size - into ? &s : nullptr;
}

// The section SectionWithRawRvas() finds for the four bytes at every
// address a relocation block for `page` can name (page + 0 to 0xfff), when
// it is one and the same; else nullptr (then each is looked up alone).
const PeSection* SectionForPage(const std::vector<PeSection>& sections, uint64_t page) {
  constexpr uint64_t kReach = 0x1000 + 3;
  auto after = std::upper_bound(sections.begin(), sections.end(), page,
                                [](uint64_t r, const PeSection& s) { return r < s.rva; });
  if (after == sections.begin()) return nullptr;
  const PeSection& s = *(after - 1);
  const uint64_t into = page - s.rva;
  if (into > s.raw_size || kReach > s.raw_size - into) return nullptr;
  /* No later section may start among those addresses. */
  if (after != sections.end() && after->rva < page + kReach) return nullptr;
  return &s;
}

bool Overlap(uint64_t a, uint64_t a_size, uint64_t b, uint64_t b_size) {
  return a_size != 0 && b_size != 0 && a < b + b_size && b < a + a_size;
}

// Reads the section table; checks each section against the file and the
// 32-bit address space, and that the sections do not overlap.
bool ReadSections(ByteSource& src, uint64_t table_at, size_t count, std::vector<PeSection>* sections) {
  uint8_t table[kMaxSections * kSectionHeaderSize];
  if (!ReadRange(src, table_at, table, count * kSectionHeaderSize)) return false;
  uint64_t previous_end = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* h = table + i * kSectionHeaderSize;
    const uint32_t virtual_size = Le32(h + 8), rva = Le32(h + 12), raw_size = Le32(h + 16),
                   raw_offset = Le32(h + 20), characteristics = Le32(h + 36);
    PeSection s;
    s.rva = rva;
    s.virtual_size = virtual_size != 0 ? virtual_size : raw_size;
    s.raw_offset = raw_offset;
    s.raw_size = std::min(raw_size, s.virtual_size);
    s.code = (characteristics & (kScnCntCode | kScnMemExecute)) != 0;
    const uint64_t raw_end = static_cast<uint64_t>(raw_offset) + raw_size;
    if (raw_end > src.Size() || raw_end > k4GiB) return false;
    const uint64_t virtual_end = static_cast<uint64_t>(rva) + s.virtual_size;
    if (virtual_end > k4GiB || rva < previous_end) return false;  // the loader wants them ascending
    previous_end = virtual_end;
    for (const PeSection& other : *sections)
      if (Overlap(s.raw_offset, s.raw_size, other.raw_offset, other.raw_size)) return false;
    sections->push_back(s);
  }
  return true;
}

// Passes the file offsets of the HIGHLOW entries of the base relocation
// table at [dir_rva, dir_rva + dir_size) to `visit`, in the table's order.
bool ReadRelocations(ByteSource& src, const std::vector<PeSection>& sections, uint32_t dir_rva, uint32_t dir_size,
                     size_t max_abs32, const Abs32Visitor& visit) {
  if (dir_size == 0) return true;
  const PeSection* home = SectionWithRawRvas(sections, dir_rva, 1);
  if (!home) return false;
  // Blocks must end inside both the directory and its section's raw data;
  // positions below count from the directory's start.
  const uint64_t usable = std::min<uint64_t>(dir_size, home->raw_size - (dir_rva - home->rva));
  const uint64_t dir_at = home->raw_offset + static_cast<uint64_t>(dir_rva - home->rva);
  WindowReader reader(src, dir_at + usable);
  size_t count = 0;
  /* Offsets go to `visit` a batch at a time: a call per entry would cost
   * more than reading it. */
  constexpr size_t kBatch = 512;
  uint32_t batch[kBatch];
  size_t batched = 0;

  for (uint64_t block = 0; block < dir_size;) {
    if (usable - block < 8) return false;
    const uint8_t* header = reader.Get(dir_at + block, 8);
    if (!header) return false;
    const uint32_t page = Le32(header), block_size = Le32(header + 4);
    if (block_size < 8 || block_size % 2 != 0 || block_size > usable - block) return false;
    const PeSection* page_home = SectionForPage(sections, page);
    for (uint64_t at = block + 8; at < block + block_size;) {
      size_t got;
      const uint8_t* run = reader.GetRun(dir_at + at, static_cast<size_t>(block + block_size - at), &got);
      if (!run) return false;
      for (size_t i = 0; i < got; i += 2) {
        const uint16_t entry = Le16(run + i);
        // Padding (type 0) and other kinds (DIR64, ...) are no 32-bit addresses.
        if (entry >> 12 != kRelHighLow) continue;
        const uint64_t target = static_cast<uint64_t>(page) + (entry & 0xfff);
        const PeSection* s = page_home ? page_home : SectionWithRawRvas(sections, target, 4);
        if (!s || count++ >= max_abs32) return false;
        batch[batched++] = static_cast<uint32_t>(s->raw_offset + (target - s->rva));
        if (batched == kBatch) {
          visit(batch, batched);
          batched = 0;
        }
      }
      at += got;
    }
    block += block_size;
  }
  if (batched > 0) visit(batch, batched);
  return true;
}

bool Parse(ByteSource& src, size_t max_abs32, bool list_abs32, const Abs32Visitor& visit, PeImage* image) {
  uint8_t dos[kDosHeaderSize];
  if (!ReadRange(src, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
  const uint64_t pe_at = Le32(dos + kLfanewAt);
  uint8_t pe[kSignatureAndFileHeaderSize];
  if (!ReadRange(src, pe_at, pe, sizeof pe) || memcmp(pe, "PE\0\0", 4) != 0) return false;
  image->machine = Le16(pe + 4);
  const size_t section_count = Le16(pe + 6);
  const size_t optional_size = Le16(pe + 20);
  if (section_count > kMaxSections) return false;

  // The optional header's fields this parser needs: magic, image base, the
  // directory count and the directories up to the base relocation table.
  const uint64_t optional_at = pe_at + sizeof pe;
  uint8_t optional[112 + (kBaseRelocDirectory + 1) * kDirectoryEntrySize] = {};
  const size_t wanted = std::min(optional_size, sizeof optional);
  if (optional_size < 2 || !ReadRange(src, optional_at, optional, wanted)) return false;
  const uint16_t magic = Le16(optional);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) return false;
  image->pe32plus = magic == kMagicPe32Plus;
  const size_t count_at = image->pe32plus ? 108 : 92;
  const size_t directories_at = count_at + 4;
  if (optional_size < directories_at) return false;
  image->image_base = image->pe32plus ? Le64(optional + 24) : Le32(optional + 28);
  const uint32_t directory_count = Le32(optional + count_at);
  uint32_t reloc_rva = 0, reloc_size = 0;
  if (directory_count > kBaseRelocDirectory) {
    const size_t reloc_at = directories_at + kBaseRelocDirectory * kDirectoryEntrySize;
    if (optional_size < reloc_at + kDirectoryEntrySize) return false;
    reloc_rva = Le32(optional + reloc_at);
    reloc_size = Le32(optional + reloc_at + 4);
  }

  // The whole optional header and the section table must be in the file.
  const uint64_t table_at = optional_at + optional_size;
  if (table_at > src.Size() || section_count * kSectionHeaderSize > src.Size() - table_at) return false;
  if (!ReadSections(src, table_at, section_count, &image->sections)) return false;
  image->reloc_rva = reloc_rva;
  image->reloc_directory_size = reloc_size;
  std::vector<uint32_t>* abs32 = &image->abs32;
  if (list_abs32) {
    /* Every entry takes two bytes: room for all at once, so that the list
     * never holds twice its size while it grows. */
    abs32->reserve(static_cast<size_t>(std::min<uint64_t>(max_abs32, reloc_size / 2)));
  }
  if (!ReadRelocations(src, image->sections, reloc_rva, reloc_size, max_abs32, [&](const uint32_t* at, size_t n) {
        if (list_abs32) abs32->insert(abs32->end(), at, at + n);
        if (visit) visit(at, n);
      }))
    return false;
  std::sort(abs32->begin(), abs32->end());
  abs32->erase(std::unique(abs32->begin(), abs32->end()), abs32->end());
  if (reloc_size != 0) {
    /* The table, as far as its section's raw data holds it (checked above). */
    const PeSection* home = SectionWithRawRvas(image->sections, reloc_rva, 1);
    image->reloc_offset = home->raw_offset + static_cast<uint64_t>(reloc_rva - home->rva);
    image->reloc_size = static_cast<uint32_t>(std::min<uint64_t>(reloc_size, home->raw_size - (reloc_rva - home->rva)));
  }
  return true;
}

}  // namespace

bool PeImage::OffsetToRva(uint64_t offset, uint32_t* rva) const {
  for (const PeSection& s : sections)
    if (offset >= s.raw_offset && offset - s.raw_offset < s.raw_size) {
      *rva = static_cast<uint32_t>(s.rva + (offset - s.raw_offset));
      return true;
    }
  return false;
}

bool PeImage::RvaToOffset(uint32_t rva, uint64_t* offset) const {
  const PeSection* s = SectionWithRawRvas(sections, rva, 1);
  if (!s) return false;
  *offset = s->raw_offset + static_cast<uint64_t>(rva - s->rva);
  return true;
}

bool PeImage::IsCode(uint64_t offset) const {
  for (const PeSection& s : sections)
    if (s.code && offset >= s.raw_offset && offset - s.raw_offset < s.raw_size) return true;
  return false;
}

bool ParsePeImage(ByteSource& src, PeImage* out, size_t max_abs32, bool list_abs32, const Abs32Visitor& visit) {
  *out = PeImage();
  if (Parse(src, max_abs32, list_abs32, visit, out)) return true;
  *out = PeImage();
  return false;
}

bool VisitAbs32(ByteSource& src, const PeImage& image, size_t max_abs32, const Abs32Visitor& visit) {
  return ReadRelocations(src, image.sections, image.reloc_rva, image.reloc_directory_size, max_abs32, visit);
}

}  // namespace olk
