#include <lzma.h>

#include <algorithm>
#include <new>

#include "bytes.h"
#include "filled_memory.h"
#include "parallel.h"
#include "window_lz.h"

namespace olk {

namespace {

/* Where the window of the segment at `pos` starts: centred on the old
 * position in proportion, which is where a build that kept its order has
 * the segment's bytes. */
uint64_t WindowStart(uint64_t pos, uint64_t segment, uint64_t old_size, uint64_t new_size, uint64_t window) {
  const double centre = (static_cast<double>(pos) + static_cast<double>(segment) / 2) *
                        static_cast<double>(old_size) / static_cast<double>(new_size);
  const double start = centre - static_cast<double>(window) / 2;
  if (start <= 0) return 0;
  return std::min(static_cast<uint64_t>(start), old_size - window);
}

/* One segment as raw LZMA2, its dictionary primed with the window. */
bool EncodeSegment(const uint8_t* window, size_t window_size, const uint8_t* src, size_t n,
                   std::vector<uint8_t>* out) {
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, 6)) return false;
  opt.dict_size = static_cast<uint32_t>(std::max<uint64_t>(LZMA_DICT_SIZE_MIN, window_size + n));
  opt.preset_dict = window;
  opt.preset_dict_size = static_cast<uint32_t>(window_size);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  out->resize(lzma_stream_buffer_bound(n));
  size_t pos = 0;
  lzma_stream s = LZMA_STREAM_INIT;
  s.allocator = &kLzmaFilledMemory;
  if (lzma_raw_encoder(&s, filters) != LZMA_OK) return false;
  s.next_in = src;
  s.avail_in = n;
  s.next_out = out->data();
  s.avail_out = out->size();
  const lzma_ret r = lzma_code(&s, LZMA_FINISH);
  pos = out->size() - s.avail_out;
  lzma_end(&s);
  if (r != LZMA_STREAM_END) return false;
  out->resize(pos);
  return true;
}

}  // namespace

bool EncodeWindowedLz(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                      CoreBudget* budget, std::vector<uint8_t>* out, unsigned segment_log, unsigned window_log) {
  if (old_size == 0 || new_size == 0) return false;
  const uint64_t segment = uint64_t{1} << segment_log;
  const uint64_t window = std::min<uint64_t>(old_size, uint64_t{1} << window_log);
  const size_t count = static_cast<size_t>((new_size + segment - 1) / segment);
  std::vector<std::vector<uint8_t>> packed(count);
  std::vector<uint64_t> starts(count);
  std::vector<char> ok(count, 0);
  RunParallel(
      count,
      [&](size_t i) {
        const uint64_t pos = static_cast<uint64_t>(i) * segment;
        const uint64_t n = std::min<uint64_t>(segment, new_size - pos);
        starts[i] = WindowStart(pos, n, old_size, new_size, window);
        try {
          ok[i] = EncodeSegment(old_data + starts[i], static_cast<size_t>(window), new_data + pos,
                                static_cast<size_t>(n), &packed[i]);
        } catch (const std::bad_alloc&) {
        }
      },
      budget);
  try {
    out->clear();
    out->push_back(static_cast<uint8_t>(segment_log));
    out->push_back(static_cast<uint8_t>(window_log));
    for (size_t i = 0; i < count; ++i) {
      if (!ok[i]) return false;
      PutVarint(out, starts[i]);
      PutVarint(out, packed[i].size());
      PutBytes(out, packed[i].data(), packed[i].size());
      std::vector<uint8_t>().swap(packed[i]);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace olk
