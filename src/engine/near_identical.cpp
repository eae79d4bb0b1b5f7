#include "near_identical.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "bytes.h"

namespace olk {

namespace {

/* A match off the current diagonal shorter than this costs a record and
 * a seek there and back for a few literal bytes saved, and matches that
 * short are mostly chance: not taken (on two builds of a large script,
 * shorter ones made the patch larger). */
constexpr uint64_t kMinOffDiagonalMatch = kHomeCopy;
constexpr uint32_t kEmpty = ~0u;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

static_assert(kNearSeed == 16, "SameSeed() and SeedHash() read two words");

inline bool SameSeed(const uint8_t* a, const uint8_t* b) {
  return Load64(a) == Load64(b) && Load64(a + 8) == Load64(b + 8);
}

inline uint64_t SeedHash(const uint8_t* p) {
  const uint64_t a = Load64(p) * 0x9E3779B97F4A7C15ull;
  const uint64_t b = Load64(p + 8) * 0xC2B2AE3D27D4EB4Full;
  return (a ^ (b >> 31) ^ (b << 33)) * 0x165667B19E3779F9ull;
}

/* Length of the common prefix of a and b, at most `max`. */
inline uint64_t CommonPrefix(const uint8_t* a, const uint8_t* b, uint64_t max) {
  uint64_t i = 0;
  while (i + 8 <= max) {
    const uint64_t x = Load64(a + i) ^ Load64(b + i);
    if (x) return i + (__builtin_ctzll(x) >> 3);
    i += 8;
  }
  while (i < max && a[i] == b[i]) ++i;
  return i;
}

/* The first old position of each sampled seed, by hash (open addressing). */
class SeedTable {
 public:
  SeedTable(const uint8_t* old_data, uint64_t old_size) : old_(old_data) {
    const uint64_t samples = old_size >= kNearSeed ? (old_size - kNearSeed) / kNearStride + 1 : 0;
    unsigned bits = 10;
    while ((uint64_t(1) << bits) < samples + samples / 2) ++bits;
    shift_ = 64 - bits;
    mask_ = (size_t(1) << bits) - 1;
    slots_.assign(size_t(1) << bits, kEmpty);
    for (uint64_t at = 0; at + kNearSeed <= old_size; at += kNearStride) {
      for (size_t s = Slot(old_data + at);; s = (s + 1) & mask_) {
        if (slots_[s] == kEmpty) {
          slots_[s] = static_cast<uint32_t>(at);
          break;
        }
        if (SameSeed(old_data + slots_[s], old_data + at)) break; /* keep the first */
      }
    }
  }
  /* Find(): an old position whose seed equals the one at `p`, or kEmpty. */
  uint32_t Find(const uint8_t* p) const {
    for (size_t s = Slot(p); slots_[s] != kEmpty; s = (s + 1) & mask_)
      if (SameSeed(old_ + slots_[s], p)) return slots_[s];
    return kEmpty;
  }

 private:
  size_t Slot(const uint8_t* p) const { return static_cast<size_t>(SeedHash(p) >> shift_); }
  const uint8_t* old_;
  unsigned shift_ = 0;
  size_t mask_ = 0;
  std::vector<uint32_t> slots_;
};

/* Writes records as ComputeDelta() does: seeks from the end of the last
 * long copy; every copied byte is unchanged, so the difference stream is
 * one run. */
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
  void Finish() {
    if (copied_) {
      PutVarint(&out_->diff, copied_);
      PutVarint(&out_->diff, 0);
    }
  }

 private:
  DeltaStreams* out_;
  uint64_t home_ = 0, copied_ = 0;
};

/* DiagonalResumes(): whether the current diagonal agrees again within a
 * seed's length after `pos` and from there reaches `reach` in the new
 * file. Then the bytes at `pos` were overwritten in place, and a match
 * elsewhere that reaches no further is chance (in runs of one byte, a
 * table hit would otherwise pull the copy off its place at every change). */
bool DiagonalResumes(const uint8_t* old_data, uint64_t n, const uint8_t* new_data, uint64_t m, uint64_t pos,
                     int64_t diagonal, uint64_t reach) {
  for (uint64_t j = 1; j <= kNearSeed && pos + j + kNearSeed <= m; ++j) {
    const int64_t at = static_cast<int64_t>(pos + j) + diagonal;
    if (at < 0) continue;
    if (static_cast<uint64_t>(at) + kNearSeed > n) return false;
    if (!SameSeed(old_data + at, new_data + pos + j)) continue;
    const uint64_t o = static_cast<uint64_t>(at) + kNearSeed, p = pos + j + kNearSeed;
    return p + CommonPrefix(old_data + o, new_data + p, std::min(n - o, m - p)) >= reach;
  }
  return false;
}

struct Copy {
  uint64_t new_pos, old_pos, len;
};

}  // namespace

bool ComputeNearIdenticalDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                               DeltaStreams* out) {
  if (old_size < kNearMinOldSize || old_size > kMaxDeltaOldSize || new_size < kNearSeed) return false;
  try {
    const SeedTable table(old_data, old_size);
    const uint64_t n = old_size, m = new_size;
    const uint64_t budget = NearIdenticalBudget(m);
    std::vector<Copy> copies;
    uint64_t literals = 0; /* sent so far, before lit_start */
    uint64_t pos = 0, lit_start = 0;
    int64_t diagonal = 0;
    auto cost = [&](uint64_t pending) { return literals + pending + kNearRecordCost * copies.size(); };
    while (pos + kNearSeed <= m) {
      uint64_t match = kEmpty;
      const int64_t on_diagonal = static_cast<int64_t>(pos) + diagonal;
      if (on_diagonal >= 0 && static_cast<uint64_t>(on_diagonal) + kNearSeed <= n &&
          SameSeed(old_data + on_diagonal, new_data + pos)) {
        match = static_cast<uint64_t>(on_diagonal);
      } else {
        const uint32_t found = table.Find(new_data + pos);
        if (found != kEmpty) match = found;
      }
      uint64_t back = 0, len = 0;
      if (match != kEmpty) {
        while (back < pos - lit_start && back < match && old_data[match - back - 1] == new_data[pos - back - 1]) ++back;
        len = kNearSeed + CommonPrefix(old_data + match + kNearSeed, new_data + pos + kNearSeed,
                                       std::min(n - match, m - pos) - kNearSeed);
        if (static_cast<int64_t>(match) != on_diagonal &&
            (back + len < kMinOffDiagonalMatch || DiagonalResumes(old_data, n, new_data, m, pos, diagonal, pos + len)))
          match = kEmpty;
      }
      if (match == kEmpty) {
        ++pos;
        /* Back-growth of a later match can only take back a few of these
         * bytes (any longer match would have been found by its seeds). */
        if (cost(pos - lit_start) > budget + kNearStride + kNearSeed) return false;
        continue;
      }
      literals += pos - back - lit_start;
      copies.push_back(Copy{pos - back, match - back, back + len});
      diagonal = static_cast<int64_t>(match) - static_cast<int64_t>(pos);
      pos += len;
      lit_start = pos;
      if (cost(0) > budget) return false;
    }
    literals += m - lit_start;
    if (cost(0) > budget) return false;

    out->control.clear();
    out->diff.clear();
    out->extra.clear();
    out->records = 0;
    out->extra.reserve(static_cast<size_t>(literals));
    RecordWriter records(out);
    uint64_t at = 0, old_at = 0, copy = 0; /* the pending record */
    for (const Copy& c : copies) {
      records.Put(old_at, copy, c.new_pos - at);
      out->extra.insert(out->extra.end(), new_data + at, new_data + c.new_pos);
      at = c.new_pos + c.len;
      old_at = c.old_pos;
      copy = c.len;
    }
    records.Put(old_at, copy, m - at);
    out->extra.insert(out->extra.end(), new_data + at, new_data + m);
    records.Finish();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace olk
