#include "offset_set.h"

#include <algorithm>

namespace olk {

void OffsetSet::Begin() {
  starts_.assign(2, 0);
  fill_.clear();
  lows_.clear();
}

void OffsetSet::Allocate() {
  const uint32_t windows = this->windows();
  for (uint32_t w = 1; w <= windows; ++w) starts_[w] += starts_[w - 1];
  lows_.assign(starts_[windows], 0);
  fill_.assign(starts_.begin(), starts_.end() - 1);
}

void OffsetSet::Finish() {
  const uint32_t windows = this->windows();
  size_t out = 0;
  for (uint32_t w = 0; w < windows; ++w) {
    const size_t first = starts_[w], end = fill_[w];
    /* Tables list their numbers mostly in order already. */
    const auto from = lows_.begin() + static_cast<std::ptrdiff_t>(first), to = lows_.begin() + static_cast<std::ptrdiff_t>(end);
    if (!std::is_sorted(from, to)) std::sort(from, to);
    starts_[w] = static_cast<uint32_t>(out);
    /* Compacts towards the front: `out` never passes `i`. */
    for (size_t i = first; i < end; ++i) {
      const uint16_t v = lows_[i];
      if (i == first || v != lows_[out - 1]) lows_[out++] = v;
    }
  }
  starts_[windows] = static_cast<uint32_t>(out);
  if (out < lows_.size()) {
    lows_.resize(out);
    lows_.shrink_to_fit();
  }
  std::vector<uint32_t>().swap(fill_);
}

void OffsetSet::Assign(const std::vector<uint32_t>& values) {
  Begin();
  for (uint32_t v : values) Count(v);
  Allocate();
  for (uint32_t v : values) Place(v);
  Finish();
}

OffsetSet::Cursor OffsetSet::LowerBound(uint32_t v) const {
  const uint32_t w = v >> 16;
  if (w >= windows()) return Cursor{lows_.size(), kWindows};
  const auto first = lows_.begin() + starts_[w], last = lows_.begin() + starts_[w + 1];
  const auto it = std::lower_bound(first, last, static_cast<uint16_t>(v));
  return Settle(Cursor{static_cast<size_t>(it - lows_.begin()), w});
}

}  // namespace olk
