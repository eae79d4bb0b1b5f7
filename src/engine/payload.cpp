#include "payload.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "bytes.h"

namespace olk {

namespace {

constexpr size_t kChunk = 64 * 1024;

struct StreamHeader {
  Codec codec = Codec::kStored;
  uint64_t decoded = 0;
  uint64_t encoded = 0;
};

bool ValidCodec(uint8_t c) { return c >= 1 && c <= 3; }

/* Reads varints from a decoded stream through a small buffer. */
class VarintReader {
 public:
  explicit VarintReader(StreamDecoder* d) : d_(d) {}
  bool More() const { return pos_ < len_ || d_->remaining() > 0; }
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

/* Expands the sparse difference stream: pairs of a run of zeros and a run
 * of literal bytes. */
class DiffExpander {
 public:
  explicit DiffExpander(StreamDecoder* d) : varints_(d) {}
  Result Next(uint8_t* dst, size_t n) {
    while (n > 0) {
      if (zeros_ == 0 && lits_ == 0) {
        if (!varints_.More()) return Result::kBadPatch;
        Result r = varints_.Next(&zeros_);
        if (r == Result::kOk) r = varints_.Next(&lits_);
        if (r != Result::kOk) return r;
        continue;
      }
      if (zeros_ > 0) {
        size_t k = static_cast<size_t>(std::min<uint64_t>(zeros_, n));
        std::memset(dst, 0, k);
        dst += k;
        n -= k;
        zeros_ -= k;
        continue;
      }
      size_t k = static_cast<size_t>(std::min<uint64_t>(lits_, n));
      Result r = varints_.Bytes(dst, k);
      if (r != Result::kOk) return r;
      dst += k;
      n -= k;
      lits_ -= k;
    }
    return Result::kOk;
  }
  /* Zeros(): how many of the next bytes are zero, reading the next pair
   * when the current one is used up (0 when literal bytes come next).
   * Lets the caller pass old bytes through unchanged. */
  Result Zeros(uint64_t* n) {
    while (zeros_ == 0 && lits_ == 0) {
      if (!varints_.More()) return Result::kBadPatch;
      Result r = varints_.Next(&zeros_);
      if (r == Result::kOk) r = varints_.Next(&lits_);
      if (r != Result::kOk) return r;
    }
    *n = zeros_;
    return Result::kOk;
  }
  void SkipZeros(uint64_t n) { zeros_ -= n; }
  /* Done(): true when no run is left half used and no pair is left. */
  bool Done() const { return zeros_ == 0 && lits_ == 0 && !varints_.More(); }

 private:
  VarintReader varints_;
  uint64_t zeros_ = 0, lits_ = 0;
};

Result DecodeWhole(const PatchEntry& e, File& patch, ByteSink& sink) {
  Codec codec = e.encoding == Encoding::kStored ? Codec::kStored
              : e.encoding == Encoding::kZstd   ? Codec::kZstd
                                                : Codec::kLzma2;
  StreamDecoder dec;
  Result r = dec.Init(&patch, e.payload_offset, e.payload_size, codec, e.new_size);
  if (r != Result::kOk) return r;
  std::vector<uint8_t> buf;
  try {
    buf.resize(kChunk);
  } catch (const std::bad_alloc&) {
    return Result::kNoMemory;
  }
  uint64_t left = e.new_size;
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
    if ((r = dec.Read(buf.data(), n)) != Result::kOk) return r;
    if ((r = sink.Put(buf.data(), n)) != Result::kOk) return r;
    left -= n;
  }
  return dec.Finish();
}

Result DecodeDelta(const PatchEntry& e, File& patch, File* old_file, ByteSink& sink) {
  if (!old_file) return Result::kBadPatch;
  /* Header: at most 1 + 3 * (1 + 10 + 10) bytes. */
  uint8_t head[64];
  size_t head_len = static_cast<size_t>(std::min<uint64_t>(sizeof head, e.payload_size));
  size_t got = 0;
  if (patch.ReadAt(e.payload_offset, head, head_len, &got) != IoStatus::kOk || got != head_len)
    return Result::kCannotOpenPatch;
  size_t pos = 0;
  auto byte = [&](uint8_t* b) {
    if (pos >= head_len) return false;
    *b = head[pos++];
    return true;
  };
  auto varint = [&](uint64_t* v) {
    *v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b;
      if (!byte(&b)) return false;
      if (shift == 63 && b > 1) return false;
      *v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return true;
    }
    return false;
  };
  uint8_t flags;
  if (!byte(&flags) || flags != 0) return Result::kBadPatch;
  StreamHeader sh[3];
  for (auto& h : sh) {
    uint8_t c;
    if (!byte(&c) || !ValidCodec(c) || !varint(&h.decoded) || !varint(&h.encoded)) return Result::kBadPatch;
    h.codec = static_cast<Codec>(c);
  }
  uint64_t body = e.payload_size - pos;
  if (sh[0].encoded > body || sh[1].encoded > body - sh[0].encoded ||
      sh[2].encoded != body - sh[0].encoded - sh[1].encoded)
    return Result::kBadPatch;
  if (sh[2].decoded > e.new_size) return Result::kBadPatch;

  StreamDecoder ctrl, diff, extra;
  uint64_t off = e.payload_offset + pos;
  Result r;
  if ((r = ctrl.Init(&patch, off, sh[0].encoded, sh[0].codec, sh[0].decoded)) != Result::kOk) return r;
  off += sh[0].encoded;
  if ((r = diff.Init(&patch, off, sh[1].encoded, sh[1].codec, sh[1].decoded)) != Result::kOk) return r;
  off += sh[1].encoded;
  if ((r = extra.Init(&patch, off, sh[2].encoded, sh[2].codec, sh[2].decoded)) != Result::kOk) return r;

  OldFileCache cache(old_file, e.old_size);
  std::vector<uint8_t> buf;
  try {
    buf.resize(kChunk);
  } catch (const std::bad_alloc&) {
    return Result::kNoMemory;
  }
  VarintReader control(&ctrl);
  DiffExpander diffs(&diff);
  uint64_t cursor = 0;
  uint64_t out_left = e.new_size;
  while (control.More()) {
    uint64_t zseek, copy, lit;
    if ((r = control.Next(&zseek)) != Result::kOk || (r = control.Next(&copy)) != Result::kOk ||
        (r = control.Next(&lit)) != Result::kOk)
      return r;
    int64_t seek = UnZigZag(zseek);
    if (seek < 0 ? static_cast<uint64_t>(-(seek + 1)) + 1 > cursor : static_cast<uint64_t>(seek) > e.old_size - cursor)
      return Result::kBadPatch;
    cursor += static_cast<uint64_t>(seek);
    if (copy > e.old_size - cursor || copy > out_left || lit > out_left - copy) return Result::kBadPatch;
    out_left -= copy + lit;
    while (copy > 0) {
      const uint8_t* old_bytes;
      size_t avail;
      if ((r = cache.Span(cursor, &old_bytes, &avail)) != Result::kOk) return r;
      uint64_t zeros;
      if ((r = diffs.Zeros(&zeros)) != Result::kOk) return r;
      size_t n;
      if (zeros > 0) {
        /* Unchanged bytes go straight from the old file. */
        n = static_cast<size_t>(std::min<uint64_t>({copy, avail, zeros}));
        diffs.SkipZeros(n);
        if ((r = sink.Put(old_bytes, n)) != Result::kOk) return r;
      } else {
        n = static_cast<size_t>(std::min<uint64_t>({copy, avail, kChunk}));
        if ((r = diffs.Next(buf.data(), n)) != Result::kOk) return r;
        uint8_t* b = buf.data();
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(b[i] + old_bytes[i]);
        if ((r = sink.Put(b, n)) != Result::kOk) return r;
      }
      cursor += n;
      copy -= n;
    }
    while (lit > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(lit, kChunk));
      if ((r = extra.Read(buf.data(), n)) != Result::kOk) return r;
      if ((r = sink.Put(buf.data(), n)) != Result::kOk) return r;
      lit -= n;
    }
  }
  if (out_left != 0 || !diffs.Done()) return Result::kBadPatch;
  if ((r = ctrl.Finish()) != Result::kOk) return r;
  if ((r = diff.Finish()) != Result::kOk) return r;
  return extra.Finish();
}

}  // namespace

/* ---------------------------------------------------------------------- */

OldFileCache::OldFileCache(File* file, uint64_t size) : file_(file), size_(size) {}

OldFileCache::~OldFileCache() {
  for (Slot& s : slots_) delete[] s.data;
}

Result OldFileCache::Span(uint64_t offset, const uint8_t** data, size_t* avail) {
  if (offset >= size_) return Result::kOldFileMismatch;
  const uint64_t block = offset / kBlockSize;
  const size_t in_block = static_cast<size_t>(offset % kBlockSize);
  Slot* slot = nullptr;
  if (last_ < slots_.size() && slots_[last_].block == block) {
    slot = &slots_[last_];
  } else {
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].block == block) {
        slot = &slots_[i];
        last_ = i;
        break;
      }
    }
  }
  if (!slot) {
    if (slots_.size() < kBlocks) {
      uint8_t* mem = new (std::nothrow) uint8_t[kBlockSize];
      if (!mem) return Result::kNoMemory;
      try {
        slots_.push_back(Slot());
      } catch (const std::bad_alloc&) {
        delete[] mem;
        return Result::kNoMemory;
      }
      slots_.back().data = mem;
      last_ = slots_.size() - 1;
    } else {
      last_ = 0;
      for (size_t i = 1; i < slots_.size(); ++i)
        if (slots_[i].stamp < slots_[last_].stamp) last_ = i;
    }
    slot = &slots_[last_];
    slot->block = ~0ull;
    const uint64_t start = block * kBlockSize;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - start));
    size_t got = 0;
    if (file_->ReadAt(start, slot->data, want, &got) != IoStatus::kOk) return Result::kFileInUse;
    if (got != want) return Result::kOldFileMismatch;
    slot->block = block;
    slot->len = want;
  }
  slot->stamp = ++clock_;
  if (in_block >= slot->len) return Result::kOldFileMismatch;
  *data = slot->data + in_block;
  *avail = slot->len - in_block;
  return Result::kOk;
}

Result DecodePayload(const PatchEntry& entry, File& patch, File* old_file, ByteSink& sink) {
  switch (entry.encoding) {
    case Encoding::kStored:
    case Encoding::kZstd:
    case Encoding::kLzma2:
      return DecodeWhole(entry, patch, sink);
    case Encoding::kDelta:
      return DecodeDelta(entry, patch, old_file, sink);
    case Encoding::kNone:
      break;
  }
  return Result::kBadPatch;
}

}  // namespace olk
