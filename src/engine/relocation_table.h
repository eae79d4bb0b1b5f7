/*
 * A base relocation table as linkers write it, made from a set of
 * addresses: one block for each 4 KiB page that holds any, in ascending
 * order; a block is the page's address, the block's size and one 16-bit
 * entry (type 3, HIGHLOW, and the offset in the page) per address, padded
 * with a zero entry to a multiple of four bytes.
 *
 * The bytes are made on demand, one 64 KiB window of addresses at a time,
 * so that a table of megabytes costs the applier little more than its
 * addresses do (two bytes each).
 */
#ifndef OLKENG_RELOCATION_TABLE_H
#define OLKENG_RELOCATION_TABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "offset_set.h"

namespace olk {

class RelocationTable {
 public:
  /* Build(): the table of `rvas`. Throws std::bad_alloc. */
  void Build(OffsetSet&& rvas);

  uint64_t size() const { return window_at_.empty() ? 0 : window_at_.back(); }

  /* Span(): points `*data` at the table's bytes from `offset` (below
   * size()) on and `*avail` at their count, to the end of one window at
   * most; valid until the next call. Throws std::bad_alloc. */
  void Span(uint64_t offset, const uint8_t** data, size_t* avail);

  /* Bytes(): the whole table. */
  std::vector<uint8_t> Bytes();

 private:
  void MakeWindow(uint32_t w);

  OffsetSet rvas_;
  std::vector<uint32_t> window_at_; /* where each window's blocks start in the table, and its end */
  std::vector<uint8_t> piece_;      /* the blocks of window piece_window_ */
  uint32_t piece_window_ = ~0u;
};

}  // namespace olk

#endif
