/* Encoding side of the codecs (building patch data only). */
#include <algorithm>
#include <cstring>
#include <new>

#include <lzma.h>
#include <zstd.h>

#include "codec.h"
#include "parallel.h"

namespace olk {

namespace {

constexpr double kZstdSlack = 1.08;

int ZstdWindowLogFor(size_t n) {
  int log = 10;
  while (log < kMaxZstdWindowLog && (static_cast<size_t>(1) << log) < n) ++log;
  return log;
}

uint32_t Lzma2DictFor(size_t n) {
  uint32_t dict = 4096;
  while (dict < kMaxLzma2Dict && dict < n) dict <<= 1;
  return dict;
}

bool EncodeZstd(const uint8_t* src, size_t n, int level, std::vector<uint8_t>* out) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (!cctx) return false;
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, ZstdWindowLogFor(n));
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0);
  out->resize(ZSTD_compressBound(n));
  size_t r = ZSTD_compress2(cctx, out->data(), out->size(), src, n);
  ZSTD_freeCCtx(cctx);
  if (ZSTD_isError(r)) return false;
  out->resize(r);
  return true;
}

/* `flat`: no literal context and no position bits (lc=lp=pb=0), which suits
 * the control and difference streams of deltas: their bytes depend little
 * on the byte before or on their position. */
bool EncodeLzma2(const uint8_t* src, size_t n, uint32_t preset, bool flat, std::vector<uint8_t>* out) {
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, preset)) return false;
  if (flat) opt.lc = opt.lp = opt.pb = 0;
  opt.dict_size = Lzma2DictFor(n);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  uint8_t prop = 0;
  if (lzma_properties_encode(&filters[0], &prop) != LZMA_OK) return false;
  out->resize(1 + lzma_stream_buffer_bound(n));
  (*out)[0] = prop;
  size_t pos = 1;
  lzma_ret r = lzma_raw_buffer_encode(filters, nullptr, src, n, out->data(), &pos, out->size());
  if (r != LZMA_OK) return false;
  out->resize(pos);
  return true;
}

}  // namespace

bool EncodeWith(Codec codec, const uint8_t* src, size_t n, int zstd_level, std::vector<uint8_t>* out) {
  switch (codec) {
    case Codec::kStored:
      out->assign(src, src + n);
      return true;
    case Codec::kZstd:
      return EncodeZstd(src, n, zstd_level, out);
    case Codec::kLzma2:
      return EncodeLzma2(src, n, 9 | LZMA_PRESET_EXTREME, false, out);
  }
  return false;
}

bool EncodeBest(const uint8_t* src, size_t n, Effort effort, CoreBudget* budget, Codec* codec,
                std::vector<uint8_t>* out) {
  *codec = Codec::kStored;
  out->assign(src, src + n);
  if (n == 0) return true;
  /* Large inputs get lighter settings: the strongest ones cost several
   * seconds per MiB for a few per cent. */
  const bool large = n > (2u << 20);
  const int zstd_level = effort == Effort::kFast ? 9 : large ? 15 : 19;
  const uint32_t lzma_preset = large ? 6 : (9 | LZMA_PRESET_EXTREME);
  /* Inputs under a MiB also try LZMA2 without literal context. */
  std::vector<uint8_t> candidates[3];
  bool ok[3] = {true, true, true};
  RunParallel(
      effort == Effort::kBest ? (n >= (1u << 20) ? 2 : 3) : 1,
      [&](size_t i) {
        try {
          ok[i] = i == 0 ? EncodeZstd(src, n, zstd_level, &candidates[0])
                         : EncodeLzma2(src, n, lzma_preset, i == 2, &candidates[i]);
        } catch (const std::bad_alloc&) {
          ok[i] = false;
        }
      },
      budget);
  if (!ok[0] || !ok[1] || !ok[2]) return false;
  if (!candidates[2].empty() && (candidates[1].empty() || candidates[2].size() < candidates[1].size()))
    candidates[1].swap(candidates[2]);
  /* zstd decodes several times faster than LZMA2: it wins ties, and on
   * inputs of a MiB or more (where decoding time shows) it wins while it
   * is at most kZstdSlack larger. */
  if (!candidates[0].empty() && candidates[0].size() < out->size()) {
    out->swap(candidates[0]);
    *codec = Codec::kZstd;
  }
  const bool zstd_kept = *codec == Codec::kZstd && n >= (1u << 20) && !candidates[1].empty() &&
                         static_cast<double>(out->size()) <= kZstdSlack * static_cast<double>(candidates[1].size());
  if (!zstd_kept && !candidates[1].empty() && candidates[1].size() < out->size()) {
    out->swap(candidates[1]);
    *codec = Codec::kLzma2;
  }
  return true;
}

}  // namespace olk
