#include "synthetic_pe.h"

#include <algorithm>

namespace olktest {

void PutLe(std::vector<uint8_t>* bytes, size_t at, uint64_t value, int width) {
  if (bytes->size() < at + width) bytes->resize(at + width);
  for (int i = 0; i < width; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void AddRelocBlock(std::vector<uint8_t>* table, uint32_t page, const std::vector<uint16_t>& entries) {
  const size_t at = table->size();
  PutLe(table, at, page, 4);
  PutLe(table, at + 4, 8 + 2 * entries.size(), 4);
  for (uint16_t e : entries) PutLe(table, table->size(), e, 2);
}

void SetRelocs(PeLayout* layout, std::vector<uint8_t> table) {
  for (SectionPlan& s : layout->sections)
    if (s.name == ".reloc") {
      layout->reloc_rva = s.rva;
      layout->relocs_at = s.raw_offset;
      s.virtual_size = static_cast<uint32_t>(table.size());
    }
  layout->reloc_size = static_cast<uint32_t>(table.size());
  layout->relocs = std::move(table);
}

PeLayout SamplePe(bool pe32plus) {
  PeLayout l;
  l.pe32plus = pe32plus;
  if (pe32plus) {
    l.machine = 0x8664;
    l.image_base = 0x140000000ull;
  }
  l.sections = {{".text", 0x1000, 0x1f0, 0x200, 0x200, kTextFlags},
                {".data", 0x2000, 0x400, 0x400, 0x200, kDataFlags},
                {".reloc", 0x3000, 0, 0x600, 0x200, kRelocFlags}};
  std::vector<uint8_t> table;
  AddRelocBlock(&table, 0x2000, {HighLow(0x010), 0});
  AddRelocBlock(&table, 0x1000, {HighLow(0x020), HighLow(0x004), 10 << 12 | 0x030, HighLow(0x020)});
  SetRelocs(&l, table);
  l.file_size = 0x800;
  return l;
}

std::vector<uint32_t> SampleAbs32() { return {0x204, 0x220, 0x410}; }

std::vector<uint8_t> BuildPe(const PeLayout& l) {
  std::vector<uint8_t> b(0x40);
  b[0] = 'M';
  b[1] = 'Z';
  PutLe(&b, 0x3c, l.lfanew, 4);
  const size_t pe = l.lfanew;
  PutLe(&b, pe, 0x00004550, 4);  // "PE\0\0"
  PutLe(&b, pe + 4, l.machine, 2);
  PutLe(&b, pe + 6, l.section_count >= 0 ? l.section_count : l.sections.size(), 2);
  const size_t directories_at = l.pe32plus ? 112 : 96;
  const size_t optional_size =
      l.optional_size >= 0 ? static_cast<size_t>(l.optional_size) : directories_at + 8 * l.directory_count;
  PutLe(&b, pe + 20, optional_size, 2);
  PutLe(&b, pe + 22, l.pe32plus ? 0x22 : 0x102, 2);  // executable; large address aware or 32-bit

  // The optional header, written in full and then cut to its declared size
  // (a test may declare one too small).
  std::vector<uint8_t> opt;
  PutLe(&opt, 0, l.magic ? l.magic : (l.pe32plus ? 0x20b : 0x10b), 2);
  if (l.pe32plus)
    PutLe(&opt, 24, l.image_base, 8);
  else
    PutLe(&opt, 28, l.image_base, 4);
  PutLe(&opt, 32, 0x1000, 4);  // section alignment
  PutLe(&opt, 36, 0x200, 4);   // file alignment
  PutLe(&opt, directories_at - 4, l.directory_count, 4);
  PutLe(&opt, directories_at + 8 * 5, l.reloc_rva, 4);
  PutLe(&opt, directories_at + 8 * 5 + 4, l.reloc_size, 4);
  opt.resize(optional_size);
  const size_t opt_at = pe + 24;
  if (b.size() < opt_at + opt.size()) b.resize(opt_at + opt.size());
  std::copy(opt.begin(), opt.end(), b.begin() + opt_at);

  size_t at = opt_at + optional_size;
  for (const SectionPlan& s : l.sections) {
    if (b.size() < at + 40) b.resize(at + 40);
    std::copy(s.name.begin(), s.name.begin() + std::min<size_t>(s.name.size(), 8), b.begin() + at);
    PutLe(&b, at + 8, s.virtual_size, 4);
    PutLe(&b, at + 12, s.rva, 4);
    PutLe(&b, at + 16, s.raw_size, 4);
    PutLe(&b, at + 20, s.raw_offset, 4);
    PutLe(&b, at + 36, s.characteristics, 4);
    at += 40;
  }
  // Some bytes in each section, so that its data is not all zeros (never
  // past a given file size: a test may make a section overrun the file).
  const size_t fill_end = l.file_size ? l.file_size : 0x1000000;
  for (const SectionPlan& s : l.sections)
    for (size_t i = 0; i < s.raw_size && s.raw_offset + i < fill_end; ++i)
      PutLe(&b, s.raw_offset + i, 0x90 + (i * 7) % 13, 1);
  for (size_t i = 0; i < l.relocs.size(); ++i) PutLe(&b, l.relocs_at + i, l.relocs[i], 1);
  if (l.file_size) b.resize(l.file_size);
  return b;
}

}  // namespace olktest

namespace olktest {

namespace {

uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

}  // namespace

std::vector<uint8_t> LinkedProgram(uint32_t seed, size_t grown, size_t grow) {
  constexpr size_t kFunctions = 400, kPointers = 64, kGlobals = 256;
  constexpr uint32_t kBase = 0x400000, kTextRva = 0x1000;
  // Each function: a list of pieces, the same whatever moves. A piece is
  // filler bytes, or a call, a global load or a function-pointer push.
  struct Piece {
    int kind;  // 0 filler, 1 call, 2 load global, 3 push function
    uint32_t target;
    std::vector<uint8_t> bytes;
  };
  std::vector<std::vector<Piece>> functions(kFunctions);
  uint32_t state = seed * 2654435761u + 1;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  for (size_t f = 0; f < kFunctions; ++f) {
    const size_t pieces = 4 + next() % 12;
    for (size_t p = 0; p < pieces; ++p) {
      Piece piece{static_cast<int>(next() % 4), 0, {}};
      if (piece.kind == 0) {
        piece.bytes.resize(1 + next() % 12);
        for (auto& b : piece.bytes) b = static_cast<uint8_t>(next());
      } else {
        piece.target = next() % (piece.kind == 2 ? kGlobals : kFunctions);
      }
      functions[f].push_back(piece);
    }
    if (f == grown && grow > 0) {
      /* Inserted code: nops, so that it costs little itself. */
      Piece extra{0, 0, std::vector<uint8_t>(grow, 0x90)};
      functions[f].insert(functions[f].begin() + 1, extra);
    }
    functions[f].push_back(Piece{0, 0, {0xC3}});  // ret
  }
  // Where everything goes: sizes do not depend on addresses.
  std::vector<uint32_t> start(kFunctions);
  uint32_t text_size = 0;
  for (size_t f = 0; f < kFunctions; ++f) {
    start[f] = kTextRva + text_size;
    for (const Piece& p : functions[f]) text_size += p.kind == 0 ? static_cast<uint32_t>(p.bytes.size()) : 5;
  }
  const uint32_t data_rva = AlignUp(kTextRva + text_size, 0x1000);
  const uint32_t data_size = 4 * (kPointers + kGlobals);
  const uint32_t reloc_rva = AlignUp(data_rva + data_size, 0x1000);
  std::vector<uint32_t> relocated;  // rvas of absolute addresses
  std::vector<uint8_t> text, data(data_size);
  for (size_t f = 0; f < kFunctions; ++f) {
    for (const Piece& p : functions[f]) {
      if (p.kind == 0) {
        text.insert(text.end(), p.bytes.begin(), p.bytes.end());
        continue;
      }
      const uint32_t field = kTextRva + static_cast<uint32_t>(text.size()) + 1;
      uint32_t value;
      if (p.kind == 1) {
        text.push_back(0xE8);
        value = start[p.target] - (field + 4);
      } else {
        text.push_back(p.kind == 2 ? 0xA1 : 0x68);
        value = kBase + (p.kind == 2 ? data_rva + 4 * (kPointers + p.target) : start[p.target]);
        relocated.push_back(field);
      }
      PutLe(&text, text.size(), value, 4);
    }
  }
  for (size_t i = 0; i < kPointers; ++i) {
    PutLe(&data, 4 * i, kBase + start[(i * 37) % kFunctions], 4);
    relocated.push_back(data_rva + static_cast<uint32_t>(4 * i));
  }
  for (size_t i = kPointers; i < kPointers + kGlobals; ++i) PutLe(&data, 4 * i, next(), 4);
  // The relocation table: a block per page, padded to four bytes.
  std::sort(relocated.begin(), relocated.end());
  std::vector<uint8_t> table;
  for (size_t i = 0; i < relocated.size();) {
    const uint32_t page = relocated[i] & ~0xfffu;
    std::vector<uint16_t> entries;
    for (; i < relocated.size() && (relocated[i] & ~0xfffu) == page; ++i) entries.push_back(HighLow(relocated[i] & 0xfff));
    if (entries.size() % 2) entries.push_back(0);
    AddRelocBlock(&table, page, entries);
  }
  PeLayout l = SamplePe();
  const uint32_t text_raw = AlignUp(text_size, 0x200), data_raw = AlignUp(data_size, 0x200);
  const uint32_t reloc_raw = AlignUp(static_cast<uint32_t>(table.size()), 0x200);
  l.sections = {{".text", kTextRva, text_size, 0x400, text_raw, kTextFlags},
                {".data", data_rva, data_size, 0x400 + text_raw, data_raw, kDataFlags},
                {".reloc", reloc_rva, 0, 0x400 + text_raw + data_raw, reloc_raw, kRelocFlags}};
  SetRelocs(&l, table);
  l.file_size = 0x400 + text_raw + data_raw + reloc_raw;
  std::vector<uint8_t> file = BuildPe(l);
  std::copy(text.begin(), text.end(), file.begin() + 0x400);
  std::fill(file.begin() + 0x400 + text.size(), file.begin() + 0x400 + text_raw, 0);
  std::copy(data.begin(), data.end(), file.begin() + 0x400 + text_raw);
  return file;
}

}  // namespace olktest
