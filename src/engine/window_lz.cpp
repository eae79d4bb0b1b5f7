#include "window_lz.h"

#include <lzma.h>

#include <algorithm>
#include <memory>
#include <new>

#include "filled_memory.h"
#include "varint_reader.h"

namespace olk {

namespace {

/* Each segment fills the dictionary whole: the window, then the segment. */
struct Lzma {
  lzma_stream s = LZMA_STREAM_INIT;
  Lzma() { s.allocator = &kLzmaFilledMemory; }
  ~Lzma() { lzma_end(&s); }
};

}  // namespace

Result DecodeWindowedLz(StreamDecoder& in, uint64_t old_size, uint64_t new_size, File& old_file, ByteSink& sink) {
  if (old_size == 0) return Result::kBadPatch;
  VarintReader stream(&in);
  uint8_t shape[2];
  if (stream.Remaining() < 2) return Result::kBadPatch;
  if (Result r = stream.Bytes(shape, 2); r != Result::kOk) return r;
  if (shape[0] < kLzMinLog || shape[0] > kLzSegmentLog || shape[1] < kLzMinLog || shape[1] > kLzWindowLog)
    return Result::kBadPatch;
  const uint64_t segment_size = uint64_t{1} << shape[0];
  const size_t window_size = static_cast<size_t>(std::min(old_size, uint64_t{1} << shape[1]));
  constexpr size_t kIn = 64 * 1024, kOut = 256 * 1024;
  std::unique_ptr<uint8_t[]> inbuf(new (std::nothrow) uint8_t[kIn]);
  std::unique_ptr<uint8_t[]> outbuf(new (std::nothrow) uint8_t[kOut]);
  /* One window for every segment: it and the decoder's dictionary are
   * both held while the decoder copies it in, so keeping it costs no peak
   * memory, and a fresh one each time faulted its pages in again (a tenth
   * of the apply). */
  std::unique_ptr<uint8_t, FreeFilledDeleter> window(static_cast<uint8_t*>(AllocateFilled(window_size)));
  if (!inbuf || !outbuf || !window) return Result::kNoMemory;
  Lzma lz;
  for (uint64_t done = 0; done < new_size;) {
    const uint64_t segment = std::min(segment_size, new_size - done);
    uint64_t start, packed;
    Result r;
    if ((r = stream.Next(&start)) != Result::kOk || (r = stream.Next(&packed)) != Result::kOk) return r;
    if (start > old_size - window_size || packed > stream.Remaining()) return Result::kBadPatch;
    {
      size_t got = 0;
      const IoStatus s = old_file.ReadAt(start, window.get(), window_size, &got);
      if (s != IoStatus::kOk) return s == IoStatus::kInUse ? Result::kFileInUse : Result::kOldFileMismatch;
      if (got != window_size) return Result::kOldFileMismatch;
      lzma_options_lzma opt;
      if (lzma_lzma_preset(&opt, 0)) return Result::kNoMemory;
      opt.dict_size = static_cast<uint32_t>(std::max<uint64_t>(LZMA_DICT_SIZE_MIN, window_size + segment));
      opt.preset_dict = window.get();
      opt.preset_dict_size = static_cast<uint32_t>(window_size);
      lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
      const lzma_ret lr = lzma_raw_decoder(&lz.s, filters);
      if (lr == LZMA_MEM_ERROR) return Result::kNoMemory;
      if (lr != LZMA_OK) return Result::kBadPatch;
    }
    uint64_t left_in = packed, left_out = segment;
    lz.s.avail_in = 0;
    for (;;) {
      if (lz.s.avail_in == 0 && left_in > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kIn, left_in));
        if ((r = stream.Bytes(inbuf.get(), n)) != Result::kOk) return r;
        lz.s.next_in = inbuf.get();
        lz.s.avail_in = n;
        left_in -= n;
      }
      lz.s.next_out = outbuf.get();
      /* One byte more than the segment may hold: a stream that goes on
       * past it is caught here. */
      lz.s.avail_out = static_cast<size_t>(std::min<uint64_t>(kOut, left_out + 1));
      const lzma_ret lr = lzma_code(&lz.s, left_in == 0 ? LZMA_FINISH : LZMA_RUN);
      const size_t made = static_cast<size_t>(lz.s.next_out - outbuf.get());
      if (made > left_out) return Result::kBadPatch;
      if (made > 0 && (r = sink.Put(outbuf.get(), made)) != Result::kOk) return r;
      left_out -= made;
      if (lr == LZMA_STREAM_END) break;
      if (lr == LZMA_MEM_ERROR) return Result::kNoMemory;
      if (lr != LZMA_OK) return Result::kBadPatch;
      /* No progress with all input given: the data ends too soon. */
      if (made == 0 && lz.s.avail_in == 0 && left_in == 0) return Result::kBadPatch;
    }
    if (left_out != 0 || left_in != 0 || lz.s.avail_in != 0) return Result::kBadPatch;
    done += segment;
  }
  return stream.More() ? Result::kBadPatch : Result::kOk;
}

}  // namespace olk
