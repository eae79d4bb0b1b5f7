#include "block_matcher.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "bytes.h"
#include "delta_writers.h"
#include "hash.h"

namespace olk {

namespace {

/* Polynomial rolling hash modulo 2^64: h = sum x[i] * K^(B-1-i). */
constexpr uint64_t kRollMul = 0x9E3779B97F4A7C15ull;
/* Reads come in pieces of this size; the windows hold a few of them. */
constexpr size_t kReadChunk = 1 << 20;

uint64_t PowMul(size_t e) {
  uint64_t r = 1, b = kRollMul;
  for (; e; e >>= 1, b *= b)
    if (e & 1) r *= b;
  return r;
}

uint64_t HashBlock(const uint8_t* p, size_t n) {
  uint64_t h = 0;
  for (size_t i = 0; i < n; ++i) h = h * kRollMul + p[i];
  return h;
}

/* Sequential reader of the new file: holds new[base, base + len) and
 * hashes every byte once, as it first comes in. */
class NewWindow {
 public:
  NewWindow(File& f, size_t cap) : f_(f), size_(f.Size()), buf_(cap) {}

  /* Ensure(): makes [keep, end) present (end clipped to the file). */
  IoStatus Ensure(uint64_t keep, uint64_t end) {
    end = std::min(end, size_);
    if (keep >= base_ && end <= base_ + len_) return IoStatus::kOk;
    if (keep > base_) {
      const size_t drop = static_cast<size_t>(std::min<uint64_t>(keep - base_, len_));
      std::memmove(buf_.data(), buf_.data() + drop, len_ - drop);
      base_ += drop;
      len_ -= drop;
    }
    while (base_ + len_ < end) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size() - len_, size_ - (base_ + len_)));
      if (want == 0) return IoStatus::kIoError; /* window too small for the request */
      size_t got = 0;
      IoStatus s = f_.ReadAt(base_ + len_, buf_.data() + len_, want, &got);
      if (s != IoStatus::kOk) return s;
      if (got == 0) return IoStatus::kIoError; /* the file shrank while it was read */
      hasher_.Update(buf_.data() + len_, got);
      len_ += got;
    }
    return IoStatus::kOk;
  }
  /* Drain(): reads and hashes the rest, for the file's hash. */
  IoStatus Drain() {
    while (base_ + len_ < size_) {
      IoStatus s = Ensure(base_ + len_, std::min<uint64_t>(size_, base_ + len_ + kReadChunk));
      if (s != IoStatus::kOk) return s;
    }
    return IoStatus::kOk;
  }
  const uint8_t* At(uint64_t pos) const { return buf_.data() + (pos - base_); }
  uint64_t size() const { return size_; }
  Hash128 Digest() const { return hasher_.Digest(); }

 private:
  File& f_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t base_ = 0;
  size_t len_ = 0;
  Hasher hasher_;
};

/* Random-access reader of the old file through one window. */
class OldWindow {
 public:
  OldWindow(File& f, uint64_t size) : f_(f), size_(size), buf_(kReadChunk) {}
  /* Get(): `n` bytes (at most kReadChunk, within the file) from `at`. */
  const uint8_t* Get(uint64_t at, size_t n, IoStatus* s) {
    if (at < base_ || at + n > base_ + len_) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), size_ - at));
      size_t got = 0;
      *s = f_.ReadAt(at, buf_.data(), want, &got);
      if (*s != IoStatus::kOk) return nullptr;
      if (got < n) {
        *s = IoStatus::kIoError;
        return nullptr;
      }
      base_ = at;
      len_ = got;
    }
    return buf_.data() + (at - base_);
  }

 private:
  File& f_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t base_ = 0;
  size_t len_ = 0;
};

struct BlockKey {
  uint64_t hash;
  uint32_t block;
  bool operator<(const BlockKey& o) const { return hash != o.hash ? hash < o.hash : block < o.block; }
} __attribute__((packed));


}  // namespace

size_t BlockSizeFor(uint64_t old_size) {
  size_t b = 512;
  while (old_size / b > (1u << 20)) b <<= 1;
  return b;
}

IoStatus ComputeBlockDelta(File& old_file, File& new_file, size_t block_size, DeltaStreams* out, Hash128* old_hash,
                           Hash128* new_hash) {
  const uint64_t old_size = old_file.Size();
  size_t B = std::max<size_t>(block_size, 16);
  while (old_size / B > 0xFFFFFFFFull) B <<= 1; /* block numbers fit the table's 32 bits */
  out->control.clear();
  out->diff.clear();
  out->extra.clear();
  out->records = 0;

  /* The table: one key per whole block of the old file, read in order
   * (and hashed for the file's hash on the way). */
  std::vector<BlockKey> table;
  {
    table.reserve(static_cast<size_t>(old_size / B));
    std::vector<uint8_t> buf(std::max(kReadChunk / B, size_t(1)) * B);
    Hasher hasher;
    for (uint64_t at = 0; at < old_size;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), old_size - at));
      size_t got = 0;
      IoStatus s = old_file.ReadAt(at, buf.data(), want, &got);
      if (s != IoStatus::kOk) return s;
      if (got != want) return IoStatus::kIoError;
      hasher.Update(buf.data(), got);
      for (size_t i = 0; i + B <= got; i += B)
        table.push_back(BlockKey{HashBlock(buf.data() + i, B), static_cast<uint32_t>((at + i) / B)});
      at += got;
    }
    *old_hash = hasher.Digest();
    std::sort(table.begin(), table.end());
  }
  /* A bit per hash prefix, so that most positions of the new file cost no
   * search of the table. */
  unsigned filter_bits = 16;
  while ((size_t(1) << filter_bits) < table.size() * 8 && filter_bits < 30) ++filter_bits;
  std::vector<uint64_t> filter((size_t(1) << filter_bits) / 64 + 1);
  auto slot = [&](uint64_t h) { return static_cast<size_t>((h * 0xD6E8FEB86659FD93ull) >> (64 - filter_bits)); };
  for (const BlockKey& k : table) filter[slot(k.hash) / 64] |= 1ull << (slot(k.hash) % 64);

  NewWindow nw(new_file, 4 * kReadChunk + 2 * B);
  OldWindow ow(old_file, old_size);
  const uint64_t new_size = nw.size();
  const uint64_t out_pow = PowMul(B - 1);
  RecordWriter records(out);
  IoStatus s = IoStatus::kOk;

  uint64_t pos = 0, lit_start = 0;        /* scan position; start of the pending literals */
  uint64_t rec_old = 0, rec_copy = 0;     /* the pending record's copy */
  int64_t diagonal = 0;                   /* old minus new position of the last match */
  uint64_t h = 0;
  bool fresh = true;
  while (table.size() && pos + B <= new_size) {
    if ((s = nw.Ensure(pos > B ? pos - B : 0, pos + B + 1)) != IoStatus::kOk) return s;
    if (fresh) {
      h = HashBlock(nw.At(pos), B);
      fresh = false;
    }
    uint64_t match = ~0ull;
    const size_t f = slot(h);
    if (filter[f / 64] >> (f % 64) & 1) {
      auto it = std::lower_bound(table.begin(), table.end(), BlockKey{h, 0});
      /* Among equal blocks, the one on the last match's diagonal (the
       * data around an overwritten piece stays in place), else the first. */
      const uint64_t want = static_cast<uint64_t>(static_cast<int64_t>(pos) + diagonal);
      for (int tries = 0; it != table.end() && it->hash == h && tries < 16; ++it, ++tries) {
        const uint64_t at = uint64_t(it->block) * B;
        const uint8_t* o = ow.Get(at, B, &s);
        if (!o) return s;
        if (std::memcmp(o, nw.At(pos), B) != 0) continue;
        if (match == ~0ull) match = at;
        if (at == want) {
          match = at;
          break;
        }
      }
    }
    if (match == ~0ull) {
      out->extra.push_back(*nw.At(pos));
      if (pos + B < new_size) h = (h - *nw.At(pos) * out_pow) * kRollMul + *nw.At(pos + B);
      ++pos;
      continue;
    }
    /* Grow backwards over the literals just sent (at most a block: the
     * scan tried every position before)... */
    uint64_t back = 0;
    {
      const uint64_t lim = std::min<uint64_t>({B, pos - lit_start, match});
      if (lim) {
        const uint8_t* o = ow.Get(match - lim, static_cast<size_t>(lim), &s);
        if (!o) return s;
        const uint8_t* n = nw.At(pos - lim);
        while (back < lim && o[lim - 1 - back] == n[lim - 1 - back]) ++back;
      }
    }
    /* ...and forwards as far as both agree. */
    uint64_t len = B;
    for (;;) {
      const uint64_t n_at = pos + len, o_at = match + len;
      const size_t step = static_cast<size_t>(std::min<uint64_t>({kReadChunk / 2, new_size - n_at, old_size - o_at}));
      if (step == 0) break;
      if ((s = nw.Ensure(n_at > B ? n_at - B : 0, n_at + step)) != IoStatus::kOk) return s;
      const uint8_t* o = ow.Get(o_at, step, &s);
      if (!o) return s;
      const uint8_t* n = nw.At(n_at);
      size_t same = 0;
      while (same < step && o[same] == n[same]) ++same;
      len += same;
      if (same < step) break;
    }
    const uint64_t start = pos - back;
    out->extra.resize(out->extra.size() - back);
    records.Put(rec_old, rec_copy, start - lit_start);
    rec_old = match - back;
    rec_copy = back + len;
    diagonal = static_cast<int64_t>(match) - static_cast<int64_t>(pos);
    pos += len;
    lit_start = pos;
    fresh = true;
  }
  /* The tail that no block can match. */
  while (pos < new_size) {
    const size_t step = static_cast<size_t>(std::min<uint64_t>(kReadChunk, new_size - pos));
    if ((s = nw.Ensure(pos, pos + step)) != IoStatus::kOk) return s;
    out->extra.insert(out->extra.end(), nw.At(pos), nw.At(pos) + step);
    pos += step;
  }
  records.Put(rec_old, rec_copy, new_size - lit_start);
  /* Every copied byte is unchanged: the difference stream is one run. */
  SparseWriter diff(&out->diff);
  diff.Same(records.copied());
  diff.Finish();
  if ((s = nw.Drain()) != IoStatus::kOk) return s;
  *new_hash = nw.Digest();
  return IoStatus::kOk;
}

}  // namespace olk
