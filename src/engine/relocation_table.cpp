#include "relocation_table.h"

#include <algorithm>

#include "bytes.h"

namespace olk {

namespace {

/* Calls block(page, first, last) for each page of window w that holds
 * addresses: its addresses are indexes [first, last) of the set. */
template <typename Block>
void ForEachBlock(const OffsetSet& set, uint32_t w, Block block) {
  size_t i, end;
  set.WindowRange(w, &i, &end);
  while (i < end) {
    const uint16_t page = set.Low(i) & 0xf000;
    size_t j = i;
    while (j < end && (set.Low(j) & 0xf000) == page) ++j;
    block(w << 16 | page, i, j);
    i = j;
  }
}

/* A block's size: the header and the entries, padded to four bytes. */
uint32_t BlockSize(size_t entries) { return static_cast<uint32_t>(8 + 2 * (entries + (entries & 1))); }

}  // namespace

void RelocationTable::Build(OffsetSet&& rvas) {
  rvas_ = std::move(rvas);
  const uint32_t windows = rvas_.windows();
  window_at_.assign(windows + 1, 0);
  uint32_t at = 0;
  for (uint32_t w = 0; w < windows; ++w) {
    window_at_[w] = at;
    ForEachBlock(rvas_, w, [&](uint32_t, size_t first, size_t last) { at += BlockSize(last - first); });
  }
  window_at_[windows] = at;
  piece_window_ = ~0u;
}

void RelocationTable::MakeWindow(uint32_t w) {
  piece_.clear();
  ForEachBlock(rvas_, w, [&](uint32_t page, size_t first, size_t last) {
    PutLE(&piece_, page, 4);
    PutLE(&piece_, BlockSize(last - first), 4);
    for (size_t k = first; k < last; ++k) PutLE(&piece_, 0x3000 | (rvas_.Low(k) & 0xfff), 2);
    if ((last - first) & 1) PutLE(&piece_, 0, 2);
  });
  piece_window_ = w;
}

void RelocationTable::Span(uint64_t offset, const uint8_t** data, size_t* avail) {
  /* The window whose blocks hold `offset`: the last that starts at or
   * before it (empty windows start where the next one does). */
  const auto it = std::upper_bound(window_at_.begin(), window_at_.end() - 1, offset);
  const uint32_t w = static_cast<uint32_t>(it - window_at_.begin()) - 1;
  if (w != piece_window_) MakeWindow(w);
  const size_t in = static_cast<size_t>(offset - window_at_[w]);
  *data = piece_.data() + in;
  *avail = piece_.size() - in;
}

std::vector<uint8_t> RelocationTable::Bytes() {
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(size()));
  for (uint32_t w = 0; w < rvas_.windows(); ++w) {
    MakeWindow(w);
    out.insert(out.end(), piece_.begin(), piece_.end());
  }
  piece_window_ = ~0u;
  return out;
}

}  // namespace olk
