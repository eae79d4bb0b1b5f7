/*
 * Writers of a delta's control and difference streams (delta.h), shared by
 * the three ways the builder finds matches: the suffix-array delta, the
 * near-identical pass and the block matcher.
 */
#ifndef OLKENG_DELTA_WRITERS_H
#define OLKENG_DELTA_WRITERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes.h"
#include "delta.h"

namespace olk {

/* Writes control records: each seek counts from the end of the last copy
 * of at least kHomeCopy bytes. Records that produce nothing are dropped. */
class RecordWriter {
 public:
  explicit RecordWriter(DeltaStreams* out) : out_(out) {}
  void Put(uint64_t old_pos, uint64_t copy, uint64_t extra) {
    if (copy == 0 && extra == 0) return;
    const int64_t seek = copy ? static_cast<int64_t>(old_pos - home_) : 0;
    PutVarint(&out_->control, ZigZag(seek));
    PutVarint(&out_->control, copy);
    PutVarint(&out_->control, extra);
    ++out_->records;
    copied_ += copy;
    if (copy >= kHomeCopy) home_ = old_pos + copy;
  }
  /* The bytes the records copied so far. */
  uint64_t copied() const { return copied_; }

 private:
  DeltaStreams* out_;
  uint64_t home_ = 0, copied_ = 0;
};

/* Writes the difference stream in its sparse form: runs of unchanged
 * bytes, each followed by the shortest signed little-endian form of a
 * word's difference. */
class SparseWriter {
 public:
  explicit SparseWriter(std::vector<uint8_t>* out) : out_(out) {}
  void Same(uint64_t n = 1) { zeros_ += n; }
  /* Word(): `width` new and old bytes (1 to kMaxDiffBytes) that differ. */
  void Word(const uint8_t* nw, const uint8_t* old, size_t width) {
    uint64_t n = 0, o = 0;
    for (size_t i = 0; i < width; ++i) {
      n |= static_cast<uint64_t>(nw[i]) << (8 * i);
      o |= static_cast<uint64_t>(old[i]) << (8 * i);
    }
    const unsigned bits = static_cast<unsigned>(8 * width);
    const uint64_t mask = bits == 64 ? ~0ull : (1ull << bits) - 1;
    uint64_t d = (n - o) & mask;
    if (d & (1ull << (bits - 1))) d |= ~mask; /* as a signed number */
    const int64_t sd = static_cast<int64_t>(d);
    size_t k = 1;
    while (k < width && (sd < -(int64_t(1) << (8 * k - 1)) || sd >= (int64_t(1) << (8 * k - 1)))) ++k;
    PutVarint(out_, zeros_);
    PutVarint(out_, k);
    for (size_t i = 0; i < k; ++i) out_->push_back(static_cast<uint8_t>(d >> (8 * i)));
    zeros_ = 0;
  }
  void Finish() {
    if (zeros_) {
      PutVarint(out_, zeros_);
      PutVarint(out_, 0);
    }
    zeros_ = 0;
  }

 private:
  std::vector<uint8_t>* out_;
  uint64_t zeros_ = 0;
};

}  // namespace olk

#endif
