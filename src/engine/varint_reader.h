/* Varints and raw bytes read from a decoded payload stream. */
#ifndef OLKENG_VARINT_READER_H
#define OLKENG_VARINT_READER_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codec.h"

namespace olk {

/* Reads varints from a decoded stream through a small buffer. */
class VarintReader {
 public:
  explicit VarintReader(StreamDecoder* d) : d_(d) {}
  bool More() const { return pos_ < len_ || d_->remaining() > 0; }
  /* Remaining(): the bytes left, buffered or not. */
  uint64_t Remaining() const { return (len_ - pos_) + d_->remaining(); }
  /* Bytes(): the next n raw bytes. */
  Result Bytes(uint8_t* dst, size_t n) {
    size_t have = std::min(n, len_ - pos_);
    std::memcpy(dst, buf_ + pos_, have);
    pos_ += have;
    if (have < n) return d_->Read(dst + have, n - have);
    return Result::kOk;
  }
  Result Next(uint64_t* v) {
    *v = 0;
    if (len_ - pos_ >= 10) { /* fast path: the whole varint is buffered */
      for (int shift = 0; shift < 64; shift += 7) {
        uint8_t b = buf_[pos_++];
        if (shift == 63 && b > 1) return Result::kBadPatch;
        *v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) return Result::kOk;
      }
      return Result::kBadPatch;
    }
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ == len_) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof(buf_), d_->remaining()));
        if (want == 0) return Result::kBadPatch;
        Result r = d_->Read(buf_, want);
        if (r != Result::kOk) return r;
        pos_ = 0;
        len_ = want;
      }
      uint8_t b = buf_[pos_++];
      if (shift == 63 && b > 1) return Result::kBadPatch;
      *v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return Result::kOk;
    }
    return Result::kBadPatch;
  }

 private:
  StreamDecoder* d_;
  uint8_t buf_[4096];
  size_t pos_ = 0, len_ = 0;
};

}  // namespace olk

#endif
