#include "section_index.h"

#include <algorithm>

#include "x86_refs.h"

namespace olk {

SectionIndex::SectionIndex(const ImageLayout& layout, Axis axis) {
  struct Span {
    uint64_t start, end;
  };
  std::vector<Span> spans; /* in the sections' order */
  std::vector<uint64_t> cuts{0};
  for (const ImageSection& s : layout.sections) {
    Span span{0, 0};
    switch (axis) {
      case Axis::kFile:
        span = {s.offset, uint64_t{s.offset} + s.size};
        break;
      case Axis::kCodeFile:
        if (s.code) span = {s.offset, uint64_t{s.offset} + s.size};
        break;
      case Axis::kRaw:
        span = {s.rva, uint64_t{s.rva} + s.size};
        break;
      case Axis::kMemory:
        span = {s.rva, uint64_t{s.rva} + s.virtual_size};
        break;
    }
    spans.push_back(span);
    if (span.start < span.end) {
      cuts.push_back(span.start);
      cuts.push_back(span.end);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  pieces_.clear();
  for (uint64_t cut : cuts) {
    int found = -1;
    for (size_t i = 0; i < spans.size() && found < 0; ++i)
      if (cut >= spans[i].start && cut < spans[i].end) found = static_cast<int>(i);
    /* Neighbours with the same answer are one piece. */
    if (pieces_.empty() || pieces_.back().section != found) {
      if (!pieces_.empty()) pieces_.back().end = cut;
      const uint32_t to_rva =
          found < 0 ? 0 : layout.sections[static_cast<size_t>(found)].rva - layout.sections[static_cast<size_t>(found)].offset;
      pieces_.push_back(Piece{cut, ~0ull, found, to_rva});
    }
  }
}

AddressIndex::AddressIndex(const ImageLayout& layout) {
  const SectionIndex raw(layout, SectionIndex::Axis::kRaw), memory(layout, SectionIndex::Axis::kMemory),
      code(layout, SectionIndex::Axis::kCodeFile);
  std::vector<uint64_t> cuts{0};
  auto cut = [&cuts](int64_t at) {
    if (at >= 0 && at <= int64_t{0xffffffff}) cuts.push_back(static_cast<uint64_t>(at));
  };
  for (const ImageSection& s : layout.sections) {
    cut(s.rva);
    cut(int64_t{s.rva} + s.size);
    cut(int64_t{s.rva} + s.virtual_size);
    /* Code bounds in the file, at the addresses this section gives them. */
    for (const ImageSection& c : layout.sections) {
      if (!c.code) continue;
      cut(int64_t{c.offset} - s.offset + s.rva);
      cut(int64_t{c.offset} + c.size - s.offset + s.rva);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (uint64_t at : cuts) {
    Facts f;
    f.raw = raw.Find(at);
    f.memory = memory.Find(at);
    if (f.raw >= 0) {
      const ImageSection& s = layout.sections[static_cast<size_t>(f.raw)];
      f.code = code.Find(uint64_t{s.offset} + (at - s.rva)) >= 0;
    }
    /* Neighbours with the same answers are one piece. */
    if (facts_.empty() || !(facts_.back() == f)) {
      starts_.push_back(at);
      facts_.push_back(f);
    }
  }
}

const AddressIndex::Facts& AddressIndex::Find(uint32_t rva) const {
  /* The last piece that starts at or below rva (the first starts at 0). */
  const size_t k = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), uint64_t{rva}) - starts_.begin());
  return facts_[k - 1];
}

int SectionIndex::Search(uint64_t x, uint64_t* end) const {
  /* The last piece that starts at or below x (the first starts at 0). */
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), x,
                             [](uint64_t v, const Piece& p) { return v < p.start; });
  last_ = static_cast<size_t>(std::prev(it) - pieces_.begin());
  *end = pieces_[last_].end;
  return pieces_[last_].section;
}

}  // namespace olk
