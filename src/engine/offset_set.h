/*
 * A set of 32-bit numbers (file offsets, addresses) in about two bytes
 * each: the low halves, sorted, and where the numbers of each 64 KiB
 * window begin. An executable's relocations run to millions; the applier
 * keeps them in this form so that its memory stays small.
 *
 * It is built in two passes over the same numbers, in any order: Count()
 * each, Allocate(), Place() each, Finish(). Repeats are dropped.
 */
#ifndef OLKENG_OFFSET_SET_H
#define OLKENG_OFFSET_SET_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "filled_memory.h"

namespace olk {

class OffsetSet {
 public:
  static constexpr uint32_t kWindows = 1u << 16;

  /* The two passes. Throw std::bad_alloc when memory runs out. Numbers
   * placed beyond those counted in their window are dropped. */
  void Begin();
  void Count(uint32_t v) {
    const size_t w = (v >> 16) + 1;
    if (w >= starts_.size()) starts_.resize(w + 1, 0); /* windows up to the largest number only */
    ++starts_[w];
  }
  void Allocate();
  void Place(uint32_t v) {
    const uint32_t w = v >> 16;
    if (w < fill_.size() && fill_[w] < starts_[w + 1]) lows_[fill_[w]++] = static_cast<uint16_t>(v);
  }
  void Finish();

  /* Assign(): the set of `values` (any order), in one call. */
  void Assign(const std::vector<uint32_t>& values);

  size_t size() const { return lows_.size(); }
  /* windows(): how many windows, from the first, may hold numbers. */
  uint32_t windows() const { return starts_.empty() ? 0 : static_cast<uint32_t>(starts_.size() - 1); }
  bool empty() const { return lows_.empty(); }

  /* A position in the set, in ascending order. */
  struct Cursor {
    size_t index = 0;
    uint32_t window = 0;
  };
  /* LowerBound(): the first number at or above v (End() for none). */
  Cursor LowerBound(uint32_t v) const;
  Cursor First() const { return Settle(Cursor{0, 0}); }
  bool AtEnd(const Cursor& c) const { return c.index >= lows_.size(); }
  uint32_t Value(const Cursor& c) const { return c.window << 16 | lows_[c.index]; }
  void Next(Cursor* c) const { *c = Settle(Cursor{c->index + 1, c->window}); }

  /* WindowRange(): the indexes of window w's numbers, [*first, *last). */
  void WindowRange(uint32_t w, size_t* first, size_t* last) const {
    if (w >= windows()) {
      *first = *last = lows_.size();
      return;
    }
    *first = starts_[w];
    *last = starts_[w + 1];
  }
  uint16_t Low(size_t index) const { return lows_[index]; }

 private:
  /* Moves the cursor's window up to the one its index falls in (a binary
   * search: a set may leave thousands of windows empty, or all of them). */
  Cursor Settle(Cursor c) const {
    if (c.index >= lows_.size()) return Cursor{lows_.size(), kWindows};
    if (c.index < starts_[c.window + 1]) return c;
    const auto it = std::upper_bound(starts_.begin() + c.window + 1, starts_.end(), static_cast<uint32_t>(c.index));
    c.window = static_cast<uint32_t>(it - starts_.begin()) - 1;
    return c;
  }

  /* The first index of each window up to the largest number's, and the
   * end; empty until Begin(). Not sized for every possible window: a
   * plain delta's applier makes an empty set for every file, and zeroing
   * 256 KiB for each cost more than a small file's whole apply (their
   * pages fault in too). */
  std::vector<uint32_t> starts_;
  std::vector<uint32_t> fill_;
  /* Filled whole by Allocate(): a large executable's relocations take
   * megabytes, faulted in page by page otherwise. */
  std::vector<uint16_t, FilledAllocator<uint16_t>> lows_;
};

}  // namespace olk

#endif
